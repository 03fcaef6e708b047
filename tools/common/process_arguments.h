#ifndef OSTREL_TOOLS_COMMON_PROCESS_ARGUMENTS_H_
#define OSTREL_TOOLS_COMMON_PROCESS_ARGUMENTS_H_

// Reads a process's arguments and environment from the block Apple
// systems' kernel gives for sysctl KERN_PROCARGS2, as ps reads it: the
// argument count (an int, in the machine's order), the executable's path
// and the NUL bytes that pad it, then each argument, then each environment
// entry, every one NUL-terminated; the environment ends at an empty string
// or the block's end, and what follows it (the system's own strings) is
// not the process's. Every length is checked against the block: an
// argument count the block does not hold, or a string without its NUL,
// is no answer. Portable, so that it is tested everywhere.
//
// As with ps, an empty first argument cannot be told from the padding.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::common {

struct ProcessArguments {
  std::string executable;  // as the kernel recorded it at exec
  std::vector<std::string> arguments;
  // Absent when the block holds none: the kernel leaves the environment
  // out of some processes' blocks (those the system restricts), and a
  // process with no environment at all is not worth telling from them.
  std::optional<std::vector<std::string>> environment;
};

std::optional<ProcessArguments> readProcessArguments(std::string_view block);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_PROCESS_ARGUMENTS_H_
