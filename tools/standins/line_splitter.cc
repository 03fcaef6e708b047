#include "line_splitter.h"

namespace ostrel::standins {
namespace {

std::string withoutCarriageReturn(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::vector<std::string> LineSplitter::feed(std::string_view text) {
  std::vector<std::string> lines;
  partial_ += text;
  std::size_t start = 0;
  std::size_t end;
  while ((end = partial_.find('\n', start)) != std::string::npos) {
    lines.push_back(withoutCarriageReturn(partial_.substr(start, end - start)));
    start = end + 1;
  }
  partial_.erase(0, start);
  return lines;
}

std::vector<std::string> LineSplitter::finish() {
  std::vector<std::string> lines;
  if (!partial_.empty()) lines.push_back(withoutCarriageReturn(std::move(partial_)));
  partial_.clear();
  return lines;
}

}  // namespace ostrel::standins
