#ifndef OSTREL_TOOLS_STANDINS_TESTS_TOOL_PROCESS_H_
#define OSTREL_TOOLS_STANDINS_TESTS_TOOL_PROCESS_H_

// A stand-in tool run as a real child process for tests: its standard
// input is a pipe the test writes, its standard output and error are
// collected. Every wait has a deadline; nothing sleeps.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::standins::testing {

inline constexpr std::chrono::seconds kDeadline{20};

class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~ToolProcess();

  bool started() const { return pid_ > 0; }
  void write(const std::string& text);
  void closeInput();
  void signal(int number);

  // Collects output until `text` shows on standard output (or error, with
  // `onErrors`). False when the deadline passes first or both streams end.
  bool waitForOutput(const std::string& text, bool onErrors = false);

  // Collects everything and returns the wait status, or nothing past the deadline.
  std::optional<int> wait();

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  bool pump(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  std::string out_;
  std::string err_;
};

// A fresh private folder under the temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // Writes an executable shell script named `name` and returns its path.
  std::string script(const std::string& name, const std::string& body) const;

 private:
  std::string path_;
};

}  // namespace ostrel::standins::testing

#endif  // OSTREL_TOOLS_STANDINS_TESTS_TOOL_PROCESS_H_
