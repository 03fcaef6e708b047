#include "host/settings.h"

#include <sys/types.h>

#include <cstdlib>
#include <functional>

#include "channel/frame.h"
#include "platform/executable_path.h"

namespace ostrel {
namespace {

// The text that `produce` writes as snprintf does (libostrel-app's
// convention): its length first, then the text in a buffer that fits it.
// Nothing when it gives no text.
std::optional<std::string> textFrom(const std::function<ssize_t(char*, std::size_t)>& produce) {
  std::string text(128, '\0');
  for (;;) {
    const ssize_t length = produce(text.data(), text.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < text.size()) {
      text.resize(static_cast<std::size_t>(length));
      return text;
    }
    text.resize(static_cast<std::size_t>(length) + 1);
  }
}

}  // namespace

// The rules themselves live in libostrel-app, which applications use too.

std::optional<std::string> homeDirectory() { return homeDirectoryFrom(std::getenv("HOME")); }

std::optional<std::string> homeDirectoryFrom(const char* home) {
  return textFrom([home](char* buffer, std::size_t size) {
    return ostrel_app_home_directory(home, buffer, size);
  });
}

std::string socketPathFrom(const char* socketVariable, const char* home) {
  return textFrom([socketVariable, home](char* buffer, std::size_t size) {
           return ostrel_app_socket_path_from(socketVariable, home, buffer, size);
         })
      .value_or("");
}

bool connectableSocketPath(std::string_view path) {
  return !path.empty() && path.size() <= kMaxSocketPathBytes;
}

std::string defaultSocketPath(const std::string& home) {
  return socketPathFrom(nullptr, home.c_str());
}

Settings settleSettings() {
  Settings settings{.socketPath = {}, .maxMessageLength = kMaxMessageLength, .executable = {}};
  settings.socketPath = socketPathFrom(std::getenv(kSocketPathVariable), std::getenv("HOME"));
  settings.executable = executablePath();
  return settings;
}

}  // namespace ostrel
