#ifndef OSTREL_DOCTOR_MANIFEST_RULES_H_
#define OSTREL_DOCTOR_MANIFEST_RULES_H_

// A host manifest read by exactly the rules of the browser that reads it,
// no stricter and no looser: Chromium's (every member checked in turn, one
// malformed allowed_origins entry rejecting the whole file) and Firefox's
// (its schema: a name of word characters, allowed_extensions of add-on
// ids). Both take the last of a member given twice and skip a UTF-8
// byte-order mark. Says, in plain words naming the member, the first
// reason the browser refuses the file, and whether the manifest lets a
// given extension connect. Reads text only; the host file is looked at by
// the caller.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"
#include "manifest.h"

namespace ostrel::doctor {

using setup::Family;
using setup::Manifest;

struct ManifestJudgement {
  // The members as the browser takes them; nothing when the text is not a
  // JSON object.
  std::optional<Manifest> manifest;
  // Every reason the browser refuses the file, the one it meets first
  // first; empty when it loads it.
  std::vector<std::string> faults;
  // The faults say the file is of the other family's format.
  bool otherFormat = false;
};

// `name` is the host name the file is looked up by (its file name less
// ".json").
ManifestJudgement judgeManifest(std::string_view text, Family family, std::string_view name);

// Whether a manifest the browser loaded lets the extension connect: for
// the Chromium family `id` is the 32-letter extension id, matched against
// allowed_origins as Chromium matches its origin; for Firefox the add-on
// id, which must be listed exactly.
bool allowsExtension(const Manifest& manifest, std::string_view id);

// The extension id an allowed_origins entry names, lower-cased, when it is
// one that Chromium matches against an extension's origin; empty for any
// other entry.
std::string chromiumIdIn(std::string_view allowed);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_MANIFEST_RULES_H_
