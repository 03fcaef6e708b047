#include "host/run_host.h"

#include <signal.h>

#include <cstdlib>

#include "channel/std_streams.h"
#include "host/classify.h"
#include "host/lifeline.h"
#include "host/open_app.h"
#include "platform/launch.h"
#include "relay/relay.h"

namespace ostrel {
namespace {

// How long the host may still run once its browser has closed its input,
// or once it has begun to end: browsers end a host that lingers after a few
// seconds.
constexpr std::chrono::milliseconds kEndGrace{1000};

}  // namespace

void runHost(const Settings& settings, const AppLaunch& launch) {
  // Before anything is written anywhere: a write to a closed pipe or socket
  // must fail with an error, not end the process. And before anything is
  // launched: the system reaps what "open_app" starts.
  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR || !reapChildrenAutomatically()) std::exit(1);
  // Before anything is written: a write to a browser that has stopped
  // reading blocks (standard output is left as the host found it), and the
  // end of input must still end the host then.
  static Lifeline lifeline(kStandardInput, kEndGrace);
  if (!lifeline.start()) std::exit(1);

  const std::shared_ptr<Relay> relay = Relay::create(
      {.socketPath = settings.socketPath, .maxMessageLength = settings.maxMessageLength});
  if (!relay->start()) std::exit(1);  // no thread to read or reconnect on: nothing can work

  while (std::optional<Payload> payload = readMessage(kStandardInput, settings.maxMessageLength)) {
    const std::optional<std::string_view> type = actedOnType(*payload);
    if (type == "open_app") {
      openApp(settings.executable, launch);
    } else {
      relay->forward(std::move(*payload), type);
    }
  }

  lifeline.endSoon();  // the shutdown below may wait for a write to a browser that does not read
  relay->shutdown();
  std::exit(0);
}

}  // namespace ostrel
