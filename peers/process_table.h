#ifndef OSTREL_PEERS_PROCESS_TABLE_H_
#define OSTREL_PEERS_PROCESS_TABLE_H_

// What Linux's /proc tells about running processes: descriptors, memory,
// threads, CPU time and wake-ups of one process, its children, and the
// processes of one test run. Reads only; kills nothing. Every answer is
// empty (or false) when the process or the file is gone, and on systems
// without /proc.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::peers {

// Open descriptors of `pid`.
std::optional<int> descriptorCount(pid_t pid);

// Resident set now (VmRSS), and its peak so far (VmHWM), in KiB.
std::optional<std::uint64_t> residentKiB(pid_t pid);
std::optional<std::uint64_t> peakResidentKiB(pid_t pid);

// The ids of the threads of `pid`.
std::vector<pid_t> threadIds(pid_t pid);

// CPU time used so far by all threads, in nanoseconds.
std::optional<std::uint64_t> cpuNanos(pid_t pid);

// Voluntary context switches so far, summed over all threads: each one is a
// thread going to sleep, so their growth counts wake-ups.
std::optional<std::uint64_t> voluntarySwitches(pid_t pid);

struct ProcessEntry {
  pid_t pid;
  char state;  // 'Z' for a zombie
};
// The processes whose parent is `pid`.
std::vector<ProcessEntry> childrenOf(pid_t pid);

// True while a process with this id exists and is not a zombie.
bool isAlive(pid_t pid);

// Live processes whose environment holds exactly `entry` ("NAME=value")
// and, when `executable` is not empty, whose program is that file.
std::vector<pid_t> processesWith(const std::string& entry, const std::string& executable = "");

}  // namespace ostrel::peers

#endif  // OSTREL_PEERS_PROCESS_TABLE_H_
