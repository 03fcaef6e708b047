#ifndef OSTREL_DOCTOR_SOCKET_CHECK_H_
#define OSTREL_DOCTOR_SOCKET_CHECK_H_

// Where a host started from this environment looks for the application,
// worked out by the host's own rules, and the reason a connection there
// fails, found by trying one. Used by doctor; changes nothing on disk.

#include <string>

#include "host/settings.h"
#include "validation.h"

namespace ostrel::doctor {

using setup::Problem;

struct SocketSetting {
  std::string path;    // what the host will use
  std::string source;  // where that comes from, in words
  // Why the host can never connect with it: empty, relative, too long, or
  // no home folder to put the default below.
  Problem unusable;
};

// From the values of OSTREL_SOCKET_PATH and HOME that a host received
// (nullptr: unset), by the host's own rules: OSTREL_SOCKET_PATH when set,
// otherwise the default below the home folder.
SocketSetting socketSettingFrom(const char* socketVariable, const char* home);

// The same from this process's environment.
SocketSetting hostSocketSetting();

enum class SocketState {
  kAccepting,  // connected, to a program of this user
  kOtherUser,  // connected, to a program of another user
  kMissing,
  kNotSocket,
  kRefused,  // a socket file nobody accepts on
  kDenied,
  kFailed,
};

struct SocketCheck {
  SocketState state = SocketState::kFailed;
  std::string explanation;  // in words, for every state but kAccepting
};

// Connects to `path` once and closes the connection at once.
SocketCheck checkSocket(const std::string& path);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_SOCKET_CHECK_H_
