#include "package_manifest.h"

namespace ostrel::setup {

ManifestOwner ownerOf(const Manifest& manifest) {
  if (isOwnManifest(manifest)) return ManifestOwner::kThisTool;
  if (manifest.description == kPackageDescription) return ManifestOwner::kPackage;
  return ManifestOwner::kSomeoneElse;
}

std::string_view ownerPhrase(ManifestOwner owner) {
  switch (owner) {
    case ManifestOwner::kThisTool:
      return "installed by this tool";
    case ManifestOwner::kPackage:
      return "installed by the ostrel-native-host package";
    case ManifestOwner::kSomeoneElse:
      break;
  }
  return "installed by someone else";
}

std::string packageManifestNote() {
  return "it belongs to the ostrel-native-host package, which was built with the extension's "
         "ids: the package manager removes it with the package, and this tool leaves it alone";
}

}  // namespace ostrel::setup
