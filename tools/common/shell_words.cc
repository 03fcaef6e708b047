#include "tools/common/shell_words.h"

namespace ostrel::common {

std::string shellWord(std::string_view word) {
  constexpr std::string_view kLiteral =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+=:,@%";
  if (!word.empty() && word.find_first_not_of(kLiteral) == std::string_view::npos) {
    return std::string(word);
  }
  std::string text = "'";
  for (char c : word) text += c == '\'' ? std::string_view("'\\''") : std::string_view(&c, 1);
  return text + "'";
}

std::string shellWords(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    text += shellWord(word);
  }
  return text;
}

std::string firstShellWord(std::string_view text) {
  std::string word;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'') {
      quoted = !quoted;
    } else if (!quoted && c == '\\' && i + 1 < text.size()) {
      word += text[++i];
    } else if (!quoted && (c == ' ' || c == '\n')) {
      break;
    } else {
      word += c;
    }
  }
  return word;
}

}  // namespace ostrel::common
