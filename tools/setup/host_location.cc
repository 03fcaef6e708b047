#include "host_location.h"

#include <string>
#include <vector>

namespace ostrel::setup {
namespace {

// The path's components, with empty ones and "." left out, and ".."
// taking back the one before it.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  return parts;
}

constexpr const char* kMoveFirst =
    "; move the application to /Applications first, open it from there, and register the host "
    "inside it";

}  // namespace

Problem checkLastingHostLocation(std::string_view path, Platform platform) {
  if (platform != Platform::kMacOS || path.empty() || path.front() != '/') return std::nullopt;
  const std::vector<std::string_view> parts = components(path);
  const std::string shown = "\"" + std::string(path) + "\"";
  for (const std::string_view part : parts) {
    if (part == "AppTranslocation") {
      return "the host path " + shown +
             " lies in a copy that macOS made to run the application in place (App "
             "Translocation), which is gone after a restart" +
             kMoveFirst;
    }
  }
  if (parts.size() > 1 && parts.front() == "Volumes") {
    return "the host path " + shown +
           " lies on a disk image or another volume under /Volumes, which is gone once it is "
           "ejected" +
           kMoveFirst;
  }
  return std::nullopt;
}

Problem checkHomeOutsideSandbox(std::string_view home, Platform platform) {
  if (platform != Platform::kMacOS) return std::nullopt;
  const std::vector<std::string_view> parts = components(home);
  for (std::size_t i = 0; i + 3 < parts.size(); ++i) {
    if (parts[i] == "Library" && parts[i + 1] == "Containers" && parts[i + 3] == "Data") {
      return "the home folder \"" + std::string(home) + "\" is the sandbox container of " +
             std::string(parts[i + 2]) +
             ": this tool was started from a sandboxed application, whose children inherit its "
             "sandbox, so manifests written below this home would lie inside the container, "
             "where no browser reads them; register the host from outside the sandbox (an "
             "installer, or a helper that is not sandboxed)";
    }
  }
  return std::nullopt;
}

}  // namespace ostrel::setup
