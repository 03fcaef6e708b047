#include "platform/hang_up.h"

namespace ostrel {

bool pollReportsUnaskedHangUp() { return true; }

}  // namespace ostrel
