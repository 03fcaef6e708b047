// The entry point. Command-line arguments are ignored: browsers pass an
// origin, or a manifest path and an add-on id, and none of it matters here.
#include "host/build_facts.h"
#include "host/run_host.h"
#include "host/settings.h"
#include "platform/descriptors.h"

int main() {
  // Before anything else opens a descriptor: a closed standard stream must
  // not be taken by one of the host's own (its wake-up pipes, its socket).
  // Without /dev/null there is nothing safe to run.
  if (!ostrel::fillClosedStandardDescriptors()) return 1;
  ostrel::runHost(ostrel::settleSettings(), ostrel::builtAppLaunch());
}
