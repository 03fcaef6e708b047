#ifndef OSTREL_E2E_PROCESS_TABLE_H_
#define OSTREL_E2E_PROCESS_TABLE_H_

// Looks through /proc for processes of one test run, recognised by an
// environment entry that only that run sets. Reads only; kills nothing.

#include <sys/types.h>

#include <string>
#include <vector>

namespace ostrel::e2e {

// Live (not zombie) processes whose environment holds exactly `entry`
// ("NAME=value") and, when `executable` is not empty, whose program is that
// file.
std::vector<pid_t> processesWith(const std::string& entry, const std::string& executable = "");

// True while a process with this id exists and is not a zombie.
bool isAlive(pid_t pid);

// True when every thread of the process sleeps, waiting for an event
// (state S): none runs, is runnable or waits on the disk.
bool allThreadsAsleep(pid_t pid);

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_PROCESS_TABLE_H_
