#include "host/run_host.h"

#include <signal.h>

#include <cstdlib>

#include "channel/std_streams.h"
#include "host/classify.h"
#include "host/open_app.h"
#include "platform/launch.h"
#include "relay/relay.h"

namespace ostrel {

void runHost(const Settings& settings, const AppLaunch& launch) {
  // Before anything is written anywhere: a write to a closed pipe or socket
  // must fail with an error, not end the process. And before anything is
  // launched: the system reaps what "open_app" starts.
  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR || !reapChildrenAutomatically()) std::exit(1);

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

  relay->shutdown();
  std::exit(0);
}

}  // namespace ostrel
