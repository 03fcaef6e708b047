// The entry point. Command-line arguments are ignored: browsers pass an
// origin, or a manifest path and an add-on id, and none of it matters here.
#include "host/run_host.h"
#include "host/settings.h"

int main() { ostrel::runHost(ostrel::settleSettings(), OSTREL_OPEN_PROGRAM); }
