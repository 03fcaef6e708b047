#ifndef OSTREL_TOOLS_APPCHECK_SCENARIOS_H_
#define OSTREL_TOOLS_APPCHECK_SCENARIOS_H_

// The scenarios an application must survive, run with the real host, one
// after the other (see kCheckHelp for the list). Each gives one outcome:
// pass, fail or skip, and what was seen. What the application answers is
// its own protocol: only what every application must do is judged, and
// what came back is shown. When the checker started the application and a
// scenario ended it, the scenario fails and the application is started
// again for the next one.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app_process.h"
#include "check_options.h"
#include "checked_host.h"
#include "event_loop.h"
#include "peers/temp_dir.h"

namespace ostrel::appcheck {

enum class Verdict { kPass, kFail, kSkip };

struct Outcome {
  std::string scenario;
  Verdict verdict = Verdict::kFail;
  std::string seen;
};

class AppChecker {
 public:
  // `host`: the host executable to run.
  AppChecker(CheckOptions options, std::string host);
  ~AppChecker();
  AppChecker(const AppChecker&) = delete;
  AppChecker& operator=(const AppChecker&) = delete;

  // Runs everything, handing each outcome to `report` as soon as it is
  // known. False when a scenario failed.
  bool run(const std::function<void(const Outcome&)>& report);

 private:
  using Host = std::unique_ptr<CheckedHost>;

  Outcome listening();
  Outcome socketFiles() const;
  Outcome replay();
  Outcome noReplay();
  Outcome largeMessage();
  Outcome sideBySide();
  Outcome writesFirst();
  Outcome otherUser();
  Outcome afterConnection(const std::string& name, const std::string& bytes,
                          const std::string& what);

  bool startApp(std::string& why);
  bool restartApp(std::string& why);
  Host startHost(const std::string& path, std::string& why);
  Host connectedHost(std::string& why);
  bool awaitReport(CheckedHost& host, std::size_t index, const char* app,
                   std::chrono::milliseconds timeout, std::string& why);
  bool keptAndRead(CheckedHost& host, std::size_t connectedAt, const Bytes& lead, std::string& why);
  bool endHost(Host& host, std::size_t connectedAt, std::string& why);
  std::string seconds(std::chrono::milliseconds extra = {}) const;
  std::chrono::milliseconds hostPatience() const;

  CheckOptions options_;
  std::string host_;
  std::string absolutePath_;  // the socket's path, for links elsewhere
  EventLoop loop_;
  peers::TempDir scratch_;  // private: links to the socket, a gate
  std::unique_ptr<AppProcess> app_;
  Bytes helloFrame_;
  Bytes filler_;
};

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_SCENARIOS_H_
