#include "platform/thread_name.h"

namespace ostrel {

std::string shortThreadName(const std::string& label) {
  const std::size_t dot = label.rfind('.');
  std::string name = "ostrel-" + (dot == std::string::npos ? label : label.substr(dot + 1));
  if (name.size() > 15) name.resize(15);
  return name;
}

}  // namespace ostrel
