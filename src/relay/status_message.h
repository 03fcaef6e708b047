#ifndef OSTREL_RELAY_STATUS_MESSAGE_H_
#define OSTREL_RELAY_STATUS_MESSAGE_H_

// The only messages the host composes itself: what it tells the browser
// about the application.
//
//   connected:    {"type":"status","app":"connected"}    35 bytes
//   disconnected: {"type":"status","app":"unavailable"}  37 bytes

#include "channel/payload.h"

namespace ostrel {

Payload statusMessage(bool connected);

}  // namespace ostrel

#endif  // OSTREL_RELAY_STATUS_MESSAGE_H_
