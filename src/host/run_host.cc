#include "host/run_host.h"

#include <signal.h>

#include <cstdlib>

#include "channel/std_streams.h"
#include "host/classify.h"
#include "host/open_app.h"
#include "platform/descriptors.h"
#include "platform/launch.h"
#include "relay/relay.h"

namespace ostrel {

void runHost(const Settings& settings, const AppLaunch& launch) {
  // Before anything is written anywhere: a write to a closed pipe or socket
  // must fail with an error, not end the process. And before anything is
  // launched: the system reaps what "open_app" starts.
  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR || !reapChildrenAutomatically()) std::exit(1);
  // A write to a browser that has stopped reading must not block where the
  // end of input cannot be seen: standard output is made non-blocking, and
  // such a write waits while the input is watched (see Relay). A pipe or a
  // socket only, which the browser made for this host alone; a terminal or
  // a file is left as it is.
  if (isPipeOrSocket(kStandardOutput) && !setNonBlocking(kStandardOutput)) std::exit(1);

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
