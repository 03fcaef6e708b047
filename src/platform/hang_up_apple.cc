#include "platform/hang_up.h"

namespace ostrel {

bool pollReportsUnaskedHangUp() { return false; }

}  // namespace ostrel
