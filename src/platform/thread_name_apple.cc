#include <pthread.h>

#include "platform/thread_name.h"

namespace ostrel {

void setCurrentThreadName(const std::string& label) {
  ::pthread_setname_np(shortThreadName(label).c_str());
}

}  // namespace ostrel
