// Apple systems: libproc's proc_pidinfo and friends. CPU times come in
// Mach time units and are converted; context switches are counted all
// together, the voluntary ones not apart. Arguments and environment come
// from sysctl KERN_PROCARGS2, as ps reads them: the kernel gives them for
// this user's processes (every process's, to root).
#include <fcntl.h>
#include <libproc.h>
#include <limits.h>
#include <mach/mach_time.h>
#include <stdlib.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <algorithm>

#include "tools/common/process_arguments.h"
#include "tools/common/process_table.h"

namespace ostrel::common {
namespace {

std::optional<proc_taskinfo> taskInfo(pid_t pid) {
  proc_taskinfo info{};
  if (::proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &info, sizeof info) != sizeof info) {
    return std::nullopt;
  }
  return info;
}

std::optional<proc_bsdinfo> bsdInfo(pid_t pid) {
  proc_bsdinfo info{};
  if (::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != sizeof info) {
    return std::nullopt;
  }
  return info;
}

// The block KERN_PROCARGS2 gives for `pid`, read. A buffer shorter than
// the block gets its last bytes, not its first, so the size is asked
// first and the buffer made larger than that: one filled to its end may
// have been cut (the process ran another program meanwhile) and is no
// answer. The kernel takes no buffer over KERN_ARGMAX and the count.
std::optional<ProcessArguments> argumentsOf(pid_t pid) {
  int argumentMaxName[2] = {CTL_KERN, KERN_ARGMAX};
  int argumentMax = 0;
  std::size_t size = sizeof argumentMax;
  if (::sysctl(argumentMaxName, 2, &argumentMax, &size, nullptr, 0) != 0 || argumentMax <= 0) {
    return std::nullopt;
  }
  const std::size_t most = static_cast<std::size_t>(argumentMax) + sizeof(int);
  int name[3] = {CTL_KERN, KERN_PROCARGS2, static_cast<int>(pid)};
  std::size_t needed = 0;
  if (::sysctl(name, 3, nullptr, &needed, nullptr, 0) != 0 || needed >= most) return std::nullopt;
  std::string block(std::min(needed + 4096, most), '\0');
  size = block.size();
  if (::sysctl(name, 3, block.data(), &size, nullptr, 0) != 0 || size >= block.size()) {
    return std::nullopt;
  }
  block.resize(size);
  return readProcessArguments(block);
}

// A list that proc_pidinfo fills, grown until it fits.
template <typename Entry>
std::optional<std::vector<Entry>> listOf(pid_t pid, int flavor) {
  std::vector<Entry> entries(64);
  for (;;) {
    const int bytes = ::proc_pidinfo(pid, flavor, 0, entries.data(),
                                     static_cast<int>(entries.size() * sizeof(Entry)));
    if (bytes <= 0) return std::nullopt;
    const std::size_t count = static_cast<std::size_t>(bytes) / sizeof(Entry);
    if (count < entries.size()) {
      entries.resize(count);
      return entries;
    }
    entries.resize(entries.size() * 2);
  }
}

}  // namespace

std::optional<int> descriptorCount(pid_t pid) {
  const auto descriptors = listOf<proc_fdinfo>(pid, PROC_PIDLISTFDS);
  if (!descriptors) return std::nullopt;
  return static_cast<int>(descriptors->size());
}

std::vector<int> ownDescriptors() {
  std::vector<int> open;
  for (const proc_fdinfo& entry :
       listOf<proc_fdinfo>(::getpid(), PROC_PIDLISTFDS).value_or(std::vector<proc_fdinfo>{})) {
    open.push_back(entry.proc_fd);
  }
  return open;
}

std::string ownDescriptorTarget(int fd) {
  if (::fcntl(fd, F_GETFD) < 0) return "closed";
  char path[PATH_MAX];
  if (::fcntl(fd, F_GETPATH, path) == 0) return path;
  return "descriptor:" + std::to_string(fd);
}

std::optional<std::uint64_t> residentKiB(pid_t pid) {
  const auto info = taskInfo(pid);
  if (!info) return std::nullopt;
  return info->pti_resident_size / 1024;
}

std::optional<std::uint64_t> peakResidentKiB(pid_t pid) {
  rusage_info_v4 usage{};
  if (::proc_pid_rusage(pid, RUSAGE_INFO_V4, reinterpret_cast<rusage_info_t*>(&usage)) != 0) {
    return std::nullopt;
  }
  return usage.ri_lifetime_max_phys_footprint / 1024;
}

std::vector<pid_t> threadIds(pid_t pid) {
  std::vector<pid_t> ids;
  for (const std::uint64_t handle :
       listOf<std::uint64_t>(pid, PROC_PIDLISTTHREADS).value_or(std::vector<std::uint64_t>{})) {
    ids.push_back(static_cast<pid_t>(handle));
  }
  return ids;
}

std::optional<std::uint64_t> cpuNanos(pid_t pid) {
  const auto info = taskInfo(pid);
  mach_timebase_info_data_t timebase{};
  if (!info || ::mach_timebase_info(&timebase) != KERN_SUCCESS || timebase.denom == 0) {
    return std::nullopt;
  }
  return (info->pti_total_user + info->pti_total_system) * timebase.numer / timebase.denom;
}

std::optional<std::uint64_t> voluntarySwitches(pid_t pid) {
  const auto info = taskInfo(pid);
  if (!info) return std::nullopt;
  return static_cast<std::uint64_t>(info->pti_csw);
}

bool signalThread(pid_t /*pid*/, pid_t /*thread*/, int /*signal*/) { return false; }

namespace {

// The processes proc_listpids lists for `type` and `what` (a parent, a
// user), growing the buffer until they all fit.
std::vector<pid_t> listedProcesses(std::uint32_t type, std::uint32_t what) {
  std::vector<pid_t> pids(256);
  int bytes = 0;
  for (;;) {
    bytes = ::proc_listpids(type, what, pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
    if (bytes < 0) return {};
    if (static_cast<std::size_t>(bytes) < pids.size() * sizeof(pid_t)) break;
    pids.resize(pids.size() * 2);
  }
  pids.resize(static_cast<std::size_t>(bytes) / sizeof(pid_t));
  std::erase_if(pids, [](pid_t pid) { return pid <= 0; });
  return pids;
}

}  // namespace

std::vector<ProcessEntry> childrenOf(pid_t pid) {
  std::vector<ProcessEntry> children;
  for (pid_t child : listedProcesses(PROC_PPID_ONLY, static_cast<std::uint32_t>(pid))) {
    // A zombie has no BSD information left to give.
    const auto info = bsdInfo(child);
    children.push_back({child, !info || info->pbi_status == SZOMB ? 'Z' : 'R'});
  }
  return children;
}

bool isAlive(pid_t pid) {
  const auto info = bsdInfo(pid);
  return info && info->pbi_status != SZOMB;
}

std::vector<pid_t> processesWith(const std::string& entry, const std::string& executable) {
  std::string wanted;
  if (!executable.empty()) {
    char resolved[PATH_MAX];
    wanted = ::realpath(executable.c_str(), resolved) != nullptr ? resolved : executable;
  }
  std::vector<pid_t> found;
  for (pid_t pid : listedProcesses(PROC_ALL_PIDS, 0)) {
    const auto read = argumentsOf(pid);
    if (!read || !read->environment ||
        std::find(read->environment->begin(), read->environment->end(), entry) ==
            read->environment->end()) {
      continue;
    }
    if (!wanted.empty() && programOf(pid) != wanted) continue;
    if (isAlive(pid)) found.push_back(pid);
  }
  return found;
}

std::vector<pid_t> processesOf(uid_t user) {
  return listedProcesses(PROC_RUID_ONLY, static_cast<std::uint32_t>(user));
}

std::string programOf(pid_t pid) {
  char path[PROC_PIDPATHINFO_MAXSIZE];
  const int length = ::proc_pidpath(pid, path, sizeof path);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// The BSD information's real, effective and saved user ids, read between
// two looks at the executable: a process that runs another program
// meanwhile may have other ids, and gives no answer. There is no
// file-system id apart: the effective one stands for it.
std::optional<ProcessIdentity> identityOf(pid_t pid) {
  const std::string executable = programOf(pid);
  const auto info = bsdInfo(pid);
  if (!info || programOf(pid) != executable) return std::nullopt;
  return ProcessIdentity{.realUser = info->pbi_ruid,
                         .effectiveUser = info->pbi_uid,
                         .savedUser = info->pbi_svuid,
                         .fileSystemUser = info->pbi_uid,
                         .executable = executable};
}

std::optional<std::vector<std::string>> commandLineOf(pid_t pid) {
  auto read = argumentsOf(pid);
  if (!read) return std::nullopt;
  return std::move(read->arguments);
}

std::optional<std::vector<std::string>> environmentOf(pid_t pid) {
  auto read = argumentsOf(pid);
  if (!read) return std::nullopt;
  return std::move(read->environment);
}

}  // namespace ostrel::common
