#ifndef OSTREL_TOOLS_COMMON_SHELL_WORDS_H_
#define OSTREL_TOOLS_COMMON_SHELL_WORDS_H_

// Words written for a POSIX shell, and read back: a word that needs it is
// put in single quotes, each ' in it written '\''. The only quoter of the
// tools, for scripts they write and commands they print.

#include <string>
#include <string_view>
#include <vector>

namespace ostrel::common {

// `word` as the shell reads it back: as it is when it holds only
// characters the shell takes literally, otherwise quoted.
std::string shellWord(std::string_view word);

// `words`, each as shellWord() writes it, separated by spaces.
std::string shellWords(const std::vector<std::string>& words);

// The first word of `text` as the shell reads it, for text that
// shellWord() wrote (quotes and backslashes undone, up to the first
// unquoted space or line end).
std::string firstShellWord(std::string_view text);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_SHELL_WORDS_H_
