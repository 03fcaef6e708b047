#ifndef OSTREL_TOOLS_STANDINS_LINE_SPLITTER_H_
#define OSTREL_TOOLS_STANDINS_LINE_SPLITTER_H_

// Cuts text typed or piped on standard input into lines. A line ends at
// "\n" (a "\r" before it is dropped); a last line without a line end is
// handed out when the input ends.

#include <string>
#include <string_view>
#include <vector>

namespace ostrel::standins {

class LineSplitter {
 public:
  std::vector<std::string> feed(std::string_view text);
  // The unfinished last line, if any; called once the input has ended.
  std::vector<std::string> finish();

 private:
  std::string partial_;
};

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_LINE_SPLITTER_H_
