#ifndef OSTREL_TOOLS_COMMON_PRINTABLE_TEXT_H_
#define OSTREL_TOOLS_COMMON_PRINTABLE_TEXT_H_

// The one rule by which the tools print text that came from outside them
// (a peer's message, a program's output, a file's name or contents) on a
// terminal or into a log: whatever the text holds, it is shown on one line
// and it can neither steer the terminal nor make what follows it read in
// another order. Written as escapes:
//   - line end, carriage return and tab as \n, \r, \t;
//   - every other C0 control and DEL as \xNN;
//   - every C1 control (U+0080 to U+009F, among them U+009B, which opens a
//     terminal command like ESC [), the line and paragraph separators, and
//     every format character, visible or not (the bidirectional marks,
//     embeddings, overrides and isolates such as U+202E, the zero-width
//     characters, the byte order mark, the tags), as \uXXXX (\UXXXXXXXX
//     past U+FFFF);
//   - every byte that is not part of valid UTF-8 (an 8-bit C1 control such
//     as a lone 0x9B among them) as \xNN.
// Everything else, the backslash included, is shown as it is: the result is
// for reading, and a text that spells an escape looks like one.

#include <string>
#include <string_view>

namespace ostrel::common {

// True for the characters that printableText() writes as an escape.
bool isEscapedCharacter(char32_t character);

// `text` as it may be printed.
std::string printableText(std::string_view text);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_PRINTABLE_TEXT_H_
