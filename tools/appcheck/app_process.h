#ifndef OSTREL_TOOLS_APPCHECK_APP_PROCESS_H_
#define OSTREL_TOOLS_APPCHECK_APP_PROCESS_H_

// The application under check when the checker starts it itself: the
// command, in a process group of its own, with OSTREL_SOCKET_PATH set to
// the socket checked, and its output read as it comes (the last lines are
// kept, to show when it fails). Stopping it is SIGTERM to its group, as a
// session ending does; whatever is left is killed when the object goes.

#include <sys/types.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "event_loop.h"
#include "tools/common/child_process.h"

namespace ostrel::appcheck {

class AppProcess : public Watched {
 public:
  AppProcess(EventLoop& loop, std::vector<std::string> command, std::string socketPath);
  ~AppProcess() override;
  AppProcess(const AppProcess&) = delete;
  AppProcess& operator=(const AppProcess&) = delete;

  // Starts the command; false with the reason in `why`.
  bool start(std::string& why);
  // How it ended, in words, once it has; nothing while it runs.
  std::optional<std::string> ended();
  // The same, but only when it ended unasked: not by stop() or crash().
  std::optional<std::string> endedUnasked();
  // SIGTERM to its group, then waits up to `timeout` for it to end; false
  // when it did not (it is killed then).
  bool stop(milliseconds timeout);
  // SIGKILL to its group, as a crash ends it, and waits for it.
  void crash();
  // Its last lines of output, each on a line of its own that starts with
  // "    | ", for a report; empty when it said nothing.
  std::string lastLines() const;
  // Its last line of output, as it said it; empty when it said nothing.
  std::string lastLine() const;

  void watch(std::vector<pollfd>& into) override;
  void serve(std::span<const pollfd> mine) override;

 private:
  void take(int fd, bool& ended, std::string& partial);
  void killGroup();

  EventLoop& loop_;
  std::vector<std::string> command_;
  std::string socketPath_;
  std::unique_ptr<common::ChildProcess> child_;
  pid_t group_ = -1;
  bool asked_ = false;  // to end, by stop() or crash()
  bool outputEnded_ = true;
  bool errorsEnded_ = true;
  std::string partialOutput_;  // a line not ended yet, per stream
  std::string partialErrors_;
  std::deque<std::string> lines_;
};

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_APP_PROCESS_H_
