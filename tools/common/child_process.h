#ifndef OSTREL_TOOLS_COMMON_CHILD_PROCESS_H_
#define OSTREL_TOOLS_COMMON_CHILD_PROCESS_H_

// A program started the way a browser starts a native-messaging host: its
// standard input, output and error are pipes to this process, every signal
// is at its default disposition and none is blocked, no descriptor above 2
// is open unless it is to be inherited, and the environment and working
// directory are the ones given, whatever this process has. The descriptors
// this side keeps are close-on-exec and blocking. It neither reads nor writes the pipes; the
// destructor kills and reaps a child that is still running.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::common {

struct Launch {
  std::vector<std::string> argv{};         // argv[0]: a path, or a name looked up in PATH
  std::vector<std::string> environment{};  // the child's whole environment, "NAME=value"
  std::string workingDirectory{};          // empty: this process's own
  bool ownProcessGroup = false;            // so that Ctrl-C in a terminal reaches only us
  // Descriptors the child gets too, at the same numbers (some browsers hand
  // a host more than its three streams).
  std::vector<int> inherited{};
};

class ChildProcess {
 public:
  // Starts the program at once; see started() and startError().
  explicit ChildProcess(const Launch& launch);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return started_; }
  // Why it did not start: "cannot start PATH: No such file or directory".
  const std::string& startError() const { return startError_; }
  // Its process id; -1 once it has been reaped.
  pid_t pid() const { return pid_; }

  int input() const { return input_; }    // we write its standard input here
  int output() const { return output_; }  // and read its standard output here
  int errors() const { return errors_; }  // and its standard error here
  void closeInput();
  void closeOutput();
  void closeErrors();

  // Sends `number` to the child while it has not been reaped.
  void signal(int number) const;

  // The wait status once the child has ended within `timeout` (0: only a
  // look), or nothing while it runs. Reaps it: afterwards pid() is -1 and
  // every call gives the same status.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);

 private:
  bool started_ = false;
  pid_t pid_ = -1;
  std::optional<int> status_;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  std::string startError_;
};

// This process's environment with `overrides` ("NAME=value") in place of
// the entries of the same name.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_CHILD_PROCESS_H_
