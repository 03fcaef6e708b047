#include "platform/hang_up.h"

namespace ostrel {

// Apple systems build poll on kqueue. A descriptor watched for no events is
// not watched at all, and the only event that a closed pipe or a socket
// shut down for writing raises, POLLIN, comes just as well for a message
// still waiting to be read. So the host's input is not watched while a
// write to the application waits: the host then ends when that write is
// done, when the application goes away, or when the browser ends the host.
std::optional<short> inputHangUpEvents() { return std::nullopt; }

}  // namespace ostrel
