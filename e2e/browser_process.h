#ifndef OSTREL_E2E_BROWSER_PROCESS_H_
#define OSTREL_E2E_BROWSER_PROCESS_H_

// A browser started for one test: its own process group, standard input on
// /dev/null, its output in a log file. The destructor stops the whole
// group. It knows neither which browser it runs nor native messaging.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/child_process.h"

namespace ostrel::e2e {

// The program to run: the value of the environment variable `variable`
// when set, else the first `name` on PATH; nothing when there is none.
std::optional<std::string> findProgram(const std::string& variable, const std::string& name);

class BrowserProcess {
 public:
  struct Launch {
    std::vector<std::string> command;  // the program, then its arguments
    std::string logPath;
    // Added to (or replacing in) the test's own environment.
    std::vector<std::string> environment;
  };

  BrowserProcess() = default;
  ~BrowserProcess() { stop(); }
  BrowserProcess(const BrowserProcess&) = delete;
  BrowserProcess& operator=(const BrowserProcess&) = delete;

  // False (with `error` set) when the program could not be started.
  bool start(const Launch& launch, std::string& error);

  // True once the browser process has ended; `exitDescription` then says how.
  bool hasExited();
  const std::string& exitDescription() const { return exitDescription_; }

  // Ends the process group: SIGTERM, then SIGKILL if it lingers.
  void stop();

 private:
  std::unique_ptr<common::ChildProcess> child_;
  pid_t group_ = -1;
  std::string exitDescription_;
};

// The last `lines` lines of the file at `path`.
std::string tailOfFile(const std::string& path, int lines);

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_BROWSER_PROCESS_H_
