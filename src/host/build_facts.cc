// How this host was built, as text in the file, for
// "ostrel-native-host-setup doctor", which reads it without running the
// host. The host itself never reads it: its behaviour, arguments and
// output are the same with or without it.
//
//   OSTREL_BUILD_FACTS
//   version=<version>
//   open_program=<program started with the bundle's path>
//   app_command=<word>        one line per word; none without a command
//   END_OSTREL_BUILD_FACTS
//
// In each value a backslash is written \\ and a line end \n.

#include "launch_programs.h"  // generated per host build: OSTREL_BUILD_FACTS

extern "C" {
// Kept by the compiler although nothing refers to it.
extern const char ostrelBuildFacts[];
[[gnu::used]] const char ostrelBuildFacts[] = OSTREL_BUILD_FACTS;
}
