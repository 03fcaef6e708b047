// Apple systems: libproc's proc_pidinfo and friends. CPU times come in
// Mach time units and are converted; context switches are counted all
// together, the voluntary ones not apart.
#include <fcntl.h>
#include <libproc.h>
#include <limits.h>
#include <mach/mach_time.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <unistd.h>

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

std::vector<pid_t> processesWith(const std::string& /*entry*/, const std::string& /*executable*/) {
  return {};
}

std::vector<pid_t> processesOf(uid_t user) {
  return listedProcesses(PROC_RUID_ONLY, static_cast<std::uint32_t>(user));
}

std::string programOf(pid_t pid) {
  char path[PROC_PIDPATHINFO_MAXSIZE];
  const int length = ::proc_pidpath(pid, path, sizeof path);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// Not read yet: no process counts as anyone's.
std::optional<ProcessIdentity> identityOf(pid_t /*pid*/) { return std::nullopt; }

std::optional<std::vector<std::string>> commandLineOf(pid_t /*pid*/) { return std::nullopt; }

std::optional<std::vector<std::string>> environmentOf(pid_t /*pid*/) { return std::nullopt; }

}  // namespace ostrel::common
