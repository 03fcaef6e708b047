#ifndef OSTREL_E2E_CHROMIUM_PROCESS_H_
#define OSTREL_E2E_CHROMIUM_PROCESS_H_

// A headless Chromium started for one test: its own process group, a fresh
// profile folder, one unpacked extension, its output in a log file. The
// destructor stops the whole group. It knows nothing of native messaging.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ostrel::e2e {

// The Chromium program to run: $OSTREL_E2E_CHROMIUM when set, else the
// first "chromium" on PATH; nothing when there is none.
std::optional<std::string> findChromium();

class ChromiumProcess {
 public:
  struct Launch {
    std::string program;
    std::string userDataDir;
    std::string extensionDir;
    std::string logPath;
    // Added to (or replacing in) the test's own environment.
    std::vector<std::string> environment;
  };

  ChromiumProcess() = default;
  ~ChromiumProcess();
  ChromiumProcess(const ChromiumProcess&) = delete;
  ChromiumProcess& operator=(const ChromiumProcess&) = delete;

  // False (with `error` set) when the program could not be started.
  bool start(const Launch& launch, std::string& error);

  // True once the browser process has ended; `description` then says how.
  bool hasExited();
  const std::string& exitDescription() const { return exitDescription_; }

  // Ends the process group: SIGTERM, then SIGKILL if it lingers.
  void stop();

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  std::string exitDescription_;
};

// The last `lines` lines of the file at `path`.
std::string tailOfFile(const std::string& path, int lines);

}  // namespace ostrel::e2e

#endif  // OSTREL_E2E_CHROMIUM_PROCESS_H_
