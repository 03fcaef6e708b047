#ifndef OSTREL_SETUP_PACKAGE_MANIFEST_H_
#define OSTREL_SETUP_PACKAGE_MANIFEST_H_

// Who wrote a manifest: this tool, the ostrel-native-host package (a package
// built with extension ids carries its system-wide manifests as its own
// files), or someone else. Told by the manifest's description alone; the
// tool never removes or rewrites a package's manifest, the package manager
// does.

#include <string>
#include <string_view>

#include "manifest.h"

namespace ostrel::setup {

// The "description" of the manifests the package carries, which the build
// writes with this library (package_files.h).
inline constexpr std::string_view kPackageDescription =
    "Ostrel native messaging host (installed by the ostrel-native-host package)";

enum class ManifestOwner { kThisTool, kPackage, kSomeoneElse };

ManifestOwner ownerOf(const Manifest& manifest);

// "installed by this tool", "installed by the ostrel-native-host package" or
// "installed by someone else".
std::string_view ownerPhrase(ManifestOwner owner);

// For a manifest the package owns: how it goes away, in one sentence.
std::string packageManifestNote();

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_PACKAGE_MANIFEST_H_
