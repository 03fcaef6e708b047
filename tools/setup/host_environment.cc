#include "host_environment.h"

namespace ostrel::setup {

const char* valueIn(const ReceivedEnvironment& environment, std::string_view name) {
  for (const std::string& entry : environment.entries) {
    if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
      return entry.c_str() + name.size() + 1;
    }
  }
  return nullptr;
}

}  // namespace ostrel::setup
