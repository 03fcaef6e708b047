#ifndef OSTREL_TESTS_STANDINS_TOOL_PROCESS_H_
#define OSTREL_TESTS_STANDINS_TOOL_PROCESS_H_

// A stand-in tool run as a real child process for tests: its standard
// input is a pipe the test writes, its standard output and error are
// collected. Every wait has a deadline; nothing sleeps.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "peers/temp_dir.h"
#include "tools/common/child_process.h"

namespace ostrel::standins::tests {

inline constexpr std::chrono::seconds kDeadline{20};

class ToolProcess {
 public:
  // `env` entries ("NAME=value") are added to the test's own environment.
  explicit ToolProcess(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env = {});

  bool started() const { return child_.started(); }
  void write(const std::string& text);
  void closeInput() { child_.closeInput(); }
  void signal(int number) { child_.signal(number); }

  // Collects output until `text` shows on standard output (or error, with
  // `onErrors`). False when the deadline passes first or both streams end.
  bool waitForOutput(const std::string& text, bool onErrors = false);

  // Collects everything and returns the wait status, or nothing past the deadline.
  std::optional<int> wait();

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  bool pump(std::chrono::steady_clock::time_point deadline);

  common::ChildProcess child_;
  std::string out_;
  std::string err_;
};

using peers::TempDir;

// Writes an executable shell script named `name` into `dir`; its path.
std::string writeScript(const TempDir& dir, const std::string& name, const std::string& body);

}  // namespace ostrel::standins::tests

#endif  // OSTREL_TESTS_STANDINS_TOOL_PROCESS_H_
