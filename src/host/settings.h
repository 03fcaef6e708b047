#ifndef OSTREL_HOST_SETTINGS_H_
#define OSTREL_HOST_SETTINGS_H_

// The process-wide settings, settled once at start-up before any thread
// exists and only read afterwards, and the rules they follow, which the
// setup tool's doctor applies to the environment a host really received.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ostrel/app.h"

namespace ostrel {

// The rules are libostrel-app's, which applications use too: one
// implementation for both ends of the socket.
inline constexpr const char* kSocketPathVariable = OSTREL_APP_SOCKET_VARIABLE;
inline constexpr const char* kDefaultSocketRelativePath = OSTREL_APP_DEFAULT_SOCKET;
// The longest socket path the host connects to: what fits a socket address
// on every system it runs on.
inline constexpr std::size_t kMaxSocketPathBytes = OSTREL_APP_MAX_SOCKET_PATH;

struct Settings {
  std::string socketPath;
  std::int64_t maxMessageLength;
  // Where the host's executable lies, symbolic links resolved, as it was at
  // start-up: a package upgrade may replace or remove the file while the
  // host runs. Nothing when the system could not tell.
  std::optional<std::string> executable;
};

// The home directory of the user running the process: $HOME when it is an
// absolute path, otherwise (unset, empty or relative) the password
// database's entry for the real user id when that is absolute. Nothing when
// neither gives an absolute path.
std::optional<std::string> homeDirectory();
// The same from a given value of HOME (nullptr: unset).
std::optional<std::string> homeDirectoryFrom(const char* home);

// The socket path by the rules of settleSettings() below, from given values
// of OSTREL_SOCKET_PATH and HOME (nullptr: unset).
std::string socketPathFrom(const char* socketVariable, const char* home);

// Whether the host ever tries to connect to `path`: not empty and at most
// kMaxSocketPathBytes long.
bool connectableSocketPath(std::string_view path);

// `home`, an absolute path, joined with
// "Library/Application Support/ostrel/browser.sock".
std::string defaultSocketPath(const std::string& home);

// OSTREL_SOCKET_PATH when present, whatever its value (the empty string
// included, and never trimmed or expanded); otherwise the default path
// below the home directory, or the empty path (which never connects) when
// there is no home directory. maxMessageLength is always 1 MiB.
Settings settleSettings();

}  // namespace ostrel

#endif  // OSTREL_HOST_SETTINGS_H_
