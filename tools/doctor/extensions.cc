// The extensions installed in each browser's profiles set against the
// registrations: each one a registration allows judged by its browser's
// whole verdict, and near misses named with the command that mends them.

#include <algorithm>
#include <set>

#include "checks.h"
#include "fixes.h"
#include "installed_extensions.h"
#include "tools/common/paths.h"
#include "tools/common/shell_words.h"
#include "verdict.h"

namespace ostrel::doctor {
namespace {

using setup::InstalledExtension;
using setup::Profile;
using setup::Target;

std::string described(const InstalledExtension& extension, const Profile& profile) {
  std::string text = extension.id;
  if (!extension.name.empty()) text += " (\"" + extension.name + "\")";
  // A running browser's --load-extension is no profile.
  if (profile.folder.starts_with("--")) return text + ", loaded by the " + profile.folder;
  if (extension.unpacked) text += ", loaded unpacked,";
  return text + " in the profile " + profile.folder;
}

std::optional<std::string> ownFolder(const Target& target) {
  if (target.browser != nullptr) return std::nullopt;
  return common::parentFolder(target.folder);
}

// One seat's view of the registrations: the ids they allow for its
// browser and profile folder (`here`), those allowed anywhere in the family
// (`any`), and the host named.
struct Allowed {
  std::set<std::string> here;
  std::set<std::string> any;
  std::string host;
};

Allowed allowedFor(const Survey& survey, const Target& seat) {
  Allowed allowed;
  const setup::Browser& browser = browserOf(survey, seat);
  for (const FoundManifest& entry : survey.found) {
    if (entry.target.family != seat.family) continue;
    const bool here =
        entry.target.manifestPath == seat.manifestPath ||
        (entry.target.scope == setup::Scope::kSystem && entry.target.browser == &browser);
    for (const std::string& id : entry.manifest.allowed) {
      allowed.any.insert(idOf(seat.family, id));
      if (here) allowed.here.insert(idOf(seat.family, id));
    }
    if (allowed.host.empty() || here) allowed.host = entry.manifest.path;
  }
  return allowed;
}

// The findings about one installed extension; true when a registration
// allows it.
bool reportExtension(const Survey& survey, const Target& seat, const Allowed& allowed,
                     const InstalledExtension& extension, const Profile& profile,
                     Findings& report) {
  const setup::Context& context = survey.context;
  const setup::Family family = seat.family;
  const std::string id = idOf(family, extension.id);
  const Place place{.browser = &browserOf(survey, seat), .userDataDir = ownFolder(seat)};
  const std::string command =
      installCommand(context, place, {allowedFormOf(family, extension.id)}, allowed.host);
  if (allowed.any.contains(id)) {
    const Verdict verdict = checkExtension(
        context, {.browser = place.browser, .id = id, .userDataDir = place.userDataDir},
        survey.running);
    if (verdict.yes) {
      report.fine("allowed and installed: " + described(extension, profile));
    } else {
      report.problem("allowed, but it will not connect: " + described(extension, profile) + ": " +
                     verdict.reason);
      attach(verdict.fix, report);
    }
    return true;
  }
  bool near = false;
  for (const std::string& other : allowed.any) {
    const std::size_t distance = setup::editDistance(other, extension.id, 2);
    if (distance == 0 || distance > 2) continue;
    near = true;
    report.problem("the registration allows " + allowedFormOf(family, other) + ", which is " +
                   std::to_string(distance) + (distance == 1 ? " letter" : " letters") +
                   " off the installed " + described(extension, profile));
    report.fix(command);
    report.advise("run it if the installed one is the extension meant to connect");
  }
  if (near || allowed.here.empty()) return false;
  if (extension.idFromFolder && extension.nativeMessaging == true) {
    report.problem(described(extension, profile) +
                   " asks for nativeMessaging, but was loaded "
                   "without a key: its id is " +
                   extension.id + ", the registration allows " +
                   someOf({allowed.here.begin(), allowed.here.end()}, "none") +
                   "; give its manifest.json the \"key\" of the registered id, or register this "
                   "id");
    report.fix(command);
  } else if (extension.unpacked) {
    report.note("no registration allows " + described(extension, profile) +
                "; if it is the one meant to connect: " + command);
  }
  return false;
}

void reportSeat(const Survey& survey, const Target& seat, const Allowed& allowed,
                const std::vector<Profile>& profiles, Findings& report) {
  report.about(std::string(browserOf(survey, seat).key), "");
  report.heading(seat.label + ": " + std::to_string(profiles.size()) +
                 (profiles.size() == 1 ? " profile" : " profiles") + " found");
  bool anyAllowed = false;
  for (const Profile& profile : profiles) {
    for (const std::string& unread : profile.unread) {
      report.warning("the browser's file " + unread + ": what it holds is not known here");
    }
    for (const InstalledExtension& extension : profile.extensions) {
      anyAllowed = reportExtension(survey, seat, allowed, extension, profile, report) || anyAllowed;
    }
  }
  if (allowed.here.empty() || anyAllowed) return;
  report.problem("no extension the registration allows is installed in any profile found below " +
                 common::parentFolder(profiles.front().folder));
  if (seat.family != setup::Family::kFirefox) return;
  // Firefox's own add-ons are left out already: what is left is the
  // user's, one of which is most likely the add-on meant.
  for (const Profile& profile : profiles) {
    for (const InstalledExtension& extension : profile.extensions) {
      report.note("installed there: the add-on " + described(extension, profile) +
                  "; Firefox compares its id (browser_specific_settings.gecko.id) with "
                  "allowed_extensions; if it is the add-on meant to connect, run: " +
                  installCommand(survey.context, {.browser = &browserOf(survey, seat)},
                                 {extension.id}, allowed.host));
    }
  }
}

}  // namespace

void checkExtensions(Survey& survey, Findings& findings) {
  if (survey.found.empty()) return;
  bool headed = false;
  std::set<const setup::Browser*> seen;
  for (const Target& seat : survey.list.targets) {
    if (seat.scope != setup::Scope::kUser ||
        (seat.browser != nullptr && !seen.insert(seat.browser).second)) {
      continue;
    }
    const std::vector<Profile> profiles =
        profilesFor(survey.context, browserOf(survey, seat), ownFolder(seat), survey.running);
    if (profiles.empty()) continue;
    const Allowed allowed = allowedFor(survey, seat);
    if (allowed.any.empty()) continue;
    if (!headed) findings.heading("Installed extensions:");
    headed = true;
    reportSeat(survey, seat, allowed, profiles, findings);
  }
  findings.about("", "");
}

}  // namespace ostrel::doctor
