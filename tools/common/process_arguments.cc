#include "tools/common/process_arguments.h"

#include <algorithm>
#include <cstring>

namespace ostrel::common {
namespace {

// The NUL-terminated string at the front of `rest`, which then begins
// after it; false when there is no NUL.
bool takeString(std::string_view& rest, std::string& out) {
  const std::size_t end = rest.find('\0');
  if (end == std::string_view::npos) return false;
  out.assign(rest.substr(0, end));
  rest.remove_prefix(end + 1);
  return true;
}

}  // namespace

std::optional<ProcessArguments> readProcessArguments(std::string_view block) {
  int count = 0;
  if (block.size() < sizeof count) return std::nullopt;
  std::memcpy(&count, block.data(), sizeof count);
  std::string_view rest = block.substr(sizeof count);
  ProcessArguments read;
  // Each argument takes at least its NUL: a count beyond that is a lie.
  if (count < 0 || static_cast<std::size_t>(count) > rest.size() ||
      !takeString(rest, read.executable)) {
    return std::nullopt;
  }
  rest.remove_prefix(std::min(rest.find_first_not_of('\0'), rest.size()));
  read.arguments.resize(static_cast<std::size_t>(count));
  for (std::string& argument : read.arguments) {
    if (!takeString(rest, argument)) return std::nullopt;
  }
  std::vector<std::string> environment;
  std::string entry;
  while (takeString(rest, entry) && !entry.empty()) environment.push_back(entry);
  if (!environment.empty()) read.environment = std::move(environment);
  return read;
}

}  // namespace ostrel::common
