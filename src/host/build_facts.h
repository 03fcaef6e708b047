#ifndef OSTREL_HOST_BUILD_FACTS_H_
#define OSTREL_HOST_BUILD_FACTS_H_

// What a host was built with: its version and what "open_app" starts. The
// same facts are kept in the executable file as one block of text, so that
// a program can read them from the file without running the host:
//
//   OSTREL_BUILD_FACTS
//   version=<version>
//   open_program=<program>
//   app_command=<word>        (one line per word; none without a command)
//   END_OSTREL_BUILD_FACTS
//
// each line ending in a newline, and in each value a backslash written as
// two backslashes and a newline as a backslash and "n". Compiled into each
// host executable itself (not a library), with that build's build_config.h.

#include "host/open_app.h"

namespace ostrel {

// What "open_app" starts in this build.
AppLaunch builtAppLaunch();

}  // namespace ostrel

#endif  // OSTREL_HOST_BUILD_FACTS_H_
