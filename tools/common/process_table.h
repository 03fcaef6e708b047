#ifndef OSTREL_TOOLS_COMMON_PROCESS_TABLE_H_
#define OSTREL_TOOLS_COMMON_PROCESS_TABLE_H_

// What the system tells about running processes: descriptors, memory,
// threads, CPU time and wake-ups of one process, its children, and the
// processes of one test run. Linux's answers come from /proc, those of
// Apple systems from libproc. Reads only, but for signalThread(). Every answer is
// empty (or false) when the process is gone or the system cannot tell.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::common {

// Open descriptors of `pid`.
std::optional<int> descriptorCount(pid_t pid);

// The numbers of the open descriptors of this process, and what one refers
// to: a file's path, or a description of some other kind of file
// ("pipe:[1234]" on Linux); "closed" when it is not open.
std::vector<int> ownDescriptors();
std::string ownDescriptorTarget(int fd);

// Resident set now (VmRSS), and its peak so far (VmHWM), in KiB.
std::optional<std::uint64_t> residentKiB(pid_t pid);
std::optional<std::uint64_t> peakResidentKiB(pid_t pid);

// The ids of the threads of `pid` (on Apple systems, libproc's thread
// handles, cut to the width of an id: good for counting them).
std::vector<pid_t> threadIds(pid_t pid);

// CPU time used so far by all threads, in nanoseconds.
std::optional<std::uint64_t> cpuNanos(pid_t pid);

// Voluntary context switches so far, summed over all threads: each one is a
// thread going to sleep, so their growth counts wake-ups.
std::optional<std::uint64_t> voluntarySwitches(pid_t pid);

// Sends `signal` to one thread of `pid`, as threadIds() names it; false
// when that failed, and always on Apple systems, which cannot.
bool signalThread(pid_t pid, pid_t thread, int signal);

struct ProcessEntry {
  pid_t pid;
  char state;  // 'Z' for a zombie
};
// The processes whose parent is `pid`.
std::vector<ProcessEntry> childrenOf(pid_t pid);

// True while a process with this id exists and is not a zombie.
bool isAlive(pid_t pid);

// Live processes whose environment holds exactly `entry` ("NAME=value")
// and, when `executable` is not empty, whose program is that file, among
// those whose environment the system shows (see environmentOf).
std::vector<pid_t> processesWith(const std::string& entry, const std::string& executable = "");

// The processes of `user`, by the owner of their /proc entry (Linux) or
// their real user (Apple systems): the only ones whose files a tool that
// may run as root should let itself be led to.
std::vector<pid_t> processesOf(uid_t user);

// The program `pid` runs (links resolved); empty when the system does not
// tell.
std::string programOf(pid_t pid);

// Who a process acts as and what it runs, for deciding whose it is: a
// set-user-id program started by one user runs with the program owner's
// effective and saved ids and the starter's real id, so a process is one
// user's only when all four ids are that user's. Apple systems keep no
// file-system id apart: it is the effective one there.
struct ProcessIdentity {
  uid_t realUser = 0;
  uid_t effectiveUser = 0;
  uid_t savedUser = 0;
  uid_t fileSystemUser = 0;
  // The executable file (/proc/PID/exe, proc_pidpath), links resolved;
  // empty when the system does not tell.
  std::string executable;
};
// Nothing when the process is gone or its ids cannot be read.
std::optional<ProcessIdentity> identityOf(pid_t pid);

// True when every one of the four ids is `user`.
inline bool actsOnlyAs(const ProcessIdentity& identity, uid_t user) {
  return identity.realUser == user && identity.effectiveUser == user &&
         identity.savedUser == user && identity.fileSystemUser == user;
}

// The arguments of `pid`, its program's name first, and its environment
// ("NAME=value" each). Absent when the process is gone or not this user's
// (root sees every process's); on Apple systems the environment is absent
// too where the kernel leaves it out (of processes it restricts).
std::optional<std::vector<std::string>> commandLineOf(pid_t pid);
std::optional<std::vector<std::string>> environmentOf(pid_t pid);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_PROCESS_TABLE_H_
