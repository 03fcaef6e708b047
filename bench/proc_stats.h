#ifndef OSTREL_BENCH_PROC_STATS_H_
#define OSTREL_BENCH_PROC_STATS_H_

// What Linux's /proc tells about a running process, summed over all its
// threads where that matters. Absent when the process or the file is gone.

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace ostrel::bench {

// CPU time used so far by all threads, in nanoseconds (schedstat).
std::optional<std::uint64_t> cpuNanos(pid_t pid);

// Voluntary context switches so far, summed over all threads: each one is a
// thread going to sleep, so their growth counts wake-ups.
std::optional<std::uint64_t> voluntarySwitches(pid_t pid);

// Resident set now, and its peak so far, in KiB.
std::optional<std::uint64_t> residentKiB(pid_t pid);
std::optional<std::uint64_t> peakResidentKiB(pid_t pid);

// Number of threads now.
std::optional<std::uint64_t> threadCount(pid_t pid);

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_PROC_STATS_H_
