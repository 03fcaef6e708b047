#ifndef OSTREL_SETUP_PLATFORM_H_
#define OSTREL_SETUP_PLATFORM_H_

// Which operating system's folder layout the setup tool uses. Both layouts
// are always compiled in, so either can be tested anywhere; CMake picks the
// file that says which one is current.

namespace ostrel::setup {

enum class Platform { kLinux, kMacOS };

Platform currentPlatform();

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_PLATFORM_H_
