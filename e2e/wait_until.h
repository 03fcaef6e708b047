#ifndef OSTREL_E2E_WAIT_UNTIL_H_
#define OSTREL_E2E_WAIT_UNTIL_H_

// Polls a condition that no descriptor can signal (a file appearing, a
// process's state in /proc) until it holds or the deadline passes.

#include <chrono>
#include <thread>

namespace ostrel::e2e {

template <typename Condition>
bool waitUntil(std::chrono::milliseconds deadline, Condition condition) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_WAIT_UNTIL_H_
