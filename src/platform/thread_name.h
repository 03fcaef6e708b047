#ifndef OSTREL_PLATFORM_THREAD_NAME_H_
#define OSTREL_PLATFORM_THREAD_NAME_H_

#include <string>

namespace ostrel {

// Names the calling thread after a queue label, so that debuggers and
// /proc show which queue a thread serves ("ostrel.native-host.read" becomes
// "ostrel-read"). Best effort: failures are ignored.
void setCurrentThreadName(const std::string& label);

// The short form used for the name: "ostrel-" and the label's last dotted
// component, cut to 15 bytes.
std::string shortThreadName(const std::string& label);

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_THREAD_NAME_H_
