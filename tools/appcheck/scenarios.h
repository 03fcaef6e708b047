#ifndef OSTREL_TOOLS_APPCHECK_SCENARIOS_H_
#define OSTREL_TOOLS_APPCHECK_SCENARIOS_H_

// The scenarios an application must survive, run with the real host, one
// after the other (see kCheckHelp for the list). Each gives one outcome:
// pass, fail or skip, and what was seen, in words that say what to change.
// What the application answers is its own protocol: only what every
// application must do is judged, and what came back is shown.
//
// Every wait is bounded by --timeout (a wait for the host's retry, every
// 2 s, by 2.5 s more), and ends at once when the application ends unasked:
// the scenario under way fails, saying so, and the run stops there. It
// stops too when the application cannot be reached at all, or does not
// read frames as the host writes them: nothing after that could pass.
//
// The scenarios live in three files: those about starting and stopping the
// application (restart_scenarios.cc), those with real hosts
// (host_scenarios.cc), and those with connections of the checker's own
// (own_connection_scenarios.cc); this file's .cc holds what they share.

#include <functional>
#include <memory>
#include <optional>
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
  bool stopsTheRun = false;  // nothing after it could pass
};

class AppChecker {
 public:
  // `host`: the host executable to run.
  AppChecker(CheckOptions options, std::string host);
  ~AppChecker();
  AppChecker(const AppChecker&) = delete;
  AppChecker& operator=(const AppChecker&) = delete;

  // Runs everything, handing each outcome to `report` as soon as it is
  // known. False when a scenario failed; `notRun` gets the scenarios left
  // out when the run stopped early.
  bool run(const std::function<void(const Outcome&)>& report, std::vector<std::string>& notRun);

 private:
  using Host = std::unique_ptr<CheckedHost>;

  // restart_scenarios.cc
  Outcome listening();
  Outcome secondInstance();
  Outcome sigterm();
  Outcome replaced();
  Outcome crash();
  Outcome replay();
  // host_scenarios.cc
  Outcome noReplay();
  Outcome largeMessage();
  Outcome sideBySide();
  Outcome twoHellos();
  Outcome writesFirst();
  Outcome stalledHost();
  Outcome needsWholeAnswers(const std::string& name) const;
  // own_connection_scenarios.cc
  Outcome socketFiles();
  Outcome frames();
  Outcome otherUser();
  Outcome probe();
  Outcome midFrame();
  Outcome afterConnections(const std::string& name, const std::vector<Bytes>& pieces,
                           const std::string& what);

  // Shared (scenarios.cc).
  static Outcome fail(const std::string& name, const std::string& why);
  static Outcome skipWithoutCommand(const std::string& name, const std::string& what);
  // Runs the loop until `done` holds (true), `timeout` passes or the
  // application ends unasked (false).
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // The application ended unasked: how, in words.
  std::optional<std::string> died();
  // Whether a connection to the socket is accepted now; why not in `why`.
  bool reachable(std::string& why);
  bool startApp(std::string& why);
  std::optional<Outcome> restore(const std::string& name, Outcome outcome);
  Host startHost(const std::string& path, std::string& why);
  Host connectedHost(std::string& why);
  bool awaitReport(CheckedHost& host, std::size_t index, const char* app,
                   std::chrono::milliseconds timeout, std::string& why);
  bool keptAndRead(CheckedHost& host, std::size_t connectedAt, const Bytes& lead, std::string& why);
  bool endHost(Host& host, std::size_t connectedAt, std::string& why) const;
  // The frame that comes back to `host` starting with `start`, waited for.
  std::optional<Bytes> awaitFrame(CheckedHost& host, std::string_view start);
  // What `host` got last before the echo of a marker sent after `bytes`.
  std::optional<Bytes> answerBefore(CheckedHost& host, const Bytes& bytes, const std::string& mark);
  std::string seconds(std::chrono::milliseconds extra = {}) const;

  CheckOptions options_;
  std::string host_;
  std::string absolutePath_;  // the socket's path, for links elsewhere
  EventLoop loop_;
  peers::TempDir scratch_;  // private: links to the socket, a gate
  std::unique_ptr<AppProcess> app_;
  Bytes helloFrame_;
  Bytes filler_;
  // Whether answers to --request come back whole (writes-first): the
  // scenarios after it that compare or wait for answers need them.
  bool answersWhole_ = true;
};

// A JSON message of exactly `size` bytes (at least 64) whose type is
// `type`, with a member named `name` made of one letter repeated.
std::string messageOfSize(const std::string& type, const std::string& name, std::size_t size);

// "3.0 MiB", "512 KiB", "10 bytes".
std::string amount(std::size_t bytes);

// What the application sent to `hosts`, for a report.
std::string cameBack(std::initializer_list<const CheckedHost*> hosts);

Bytes concat(std::initializer_list<Bytes> pieces);

}  // namespace ostrel::appcheck

#endif  // OSTREL_TOOLS_APPCHECK_SCENARIOS_H_
