#ifndef OSTREL_SETUP_MANIFEST_H_
#define OSTREL_SETUP_MANIFEST_H_

// The native-messaging host manifest: composing the JSON text the setup tool
// writes, and reading one back, with plain-word complaints about missing or
// mistyped members. Reading checks the shape only; whether the values make
// sense is for the validation checks.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"

namespace ostrel::setup {

// The "description" of every manifest this tool writes; uninstall removes
// only manifests that carry it.
inline constexpr std::string_view kOwnDescription =
    "Ostrel native messaging host (written by ostrel-native-host-setup)";

inline constexpr std::string_view kDefaultHostName = "com.ostrel.native_host";

struct Manifest {
  std::string name;
  std::string description;
  std::string path;
  std::string type;
  Family family = Family::kChromium;
  // "allowed_origins" for the Chromium family, "allowed_extensions" for Firefox.
  std::vector<std::string> allowed;
};

// A manifest with the tool's description and type "stdio".
Manifest ownManifest(std::string name, std::string path, Family family,
                     std::vector<std::string> allowed);

bool isOwnManifest(const Manifest& manifest);

// The JSON text, indented, ending with a newline. The same manifest always
// gives the same bytes.
std::string renderManifest(const Manifest& manifest);

struct ManifestReading {
  // Nothing when the text is not a JSON object.
  std::optional<Manifest> manifest;
  // One sentence per fault found; empty when the shape is right.
  std::vector<std::string> problems;
};

// Reads a manifest found in a folder of a browser of `family`.
ManifestReading readManifest(std::string_view text, Family family);

// "allowed_origins" or "allowed_extensions".
std::string_view allowedMember(Family family);

// `name` + ".json".
std::string manifestFileName(std::string_view name);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_MANIFEST_H_
