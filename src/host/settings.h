#ifndef OSTREL_HOST_SETTINGS_H_
#define OSTREL_HOST_SETTINGS_H_

// The two process-wide settings, settled once at start-up before any thread
// exists and only read afterwards.

#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

inline constexpr const char* kSocketPathVariable = "OSTREL_SOCKET_PATH";
inline constexpr const char* kDefaultSocketRelativePath =
    "Library/Application Support/ostrel/browser.sock";

struct Settings {
  std::string socketPath;
  std::int64_t maxMessageLength;
};

// The home directory of the user running the process: $HOME when set,
// otherwise the password database's entry for the real user id.
std::optional<std::string> homeDirectory();

// `home` joined with "Library/Application Support/ostrel/browser.sock".
std::string defaultSocketPath(const std::string& home);

// OSTREL_SOCKET_PATH when present, whatever its value (the empty string
// included, and never trimmed or expanded); otherwise the default path
// below the home directory. maxMessageLength is always 1 MiB.
Settings settleSettings();

}  // namespace ostrel

#endif  // OSTREL_HOST_SETTINGS_H_
