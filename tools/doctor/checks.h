#ifndef OSTREL_DOCTOR_CHECKS_H_
#define OSTREL_DOCTOR_CHECKS_H_

// The checks of the doctor's full report, each adding its findings about
// one part of the deployment, in the order they are printed: the
// registrations (every manifest found, judged by its browser's rules),
// the policies, the extensions installed in the profiles, the browsers
// that will look for the host and find nothing, the running browsers'
// environment, each host started as its browser starts it, and sandboxed
// browsers. They share what was surveyed once: the places registrations
// lie, the running browsers, and the manifests their browsers load.

#include <string>
#include <vector>

#include "commands.h"
#include "findings.h"
#include "manifest.h"
#include "running_browsers.h"
#include "targets.h"

namespace ostrel::doctor {

struct FoundManifest {
  setup::Target target;
  setup::Manifest manifest;
};

struct Survey {
  const setup::Context& context;
  // Every browser's folders in both scopes (or what the options name), and
  // the own profile folder of each running Chromium-family browser.
  setup::TargetList list;
  std::vector<RunningBrowser> running;    // this user's, reading below this home
  std::vector<FoundManifest> found = {};  // by checkRegistrations: what the browsers load
};

// The browser whose rules a target is read by: its own, or for a profile
// folder the browser running with it, the one named, or Chromium.
const setup::Browser& browserOf(const Survey& survey, const setup::Target& target);

using Check = void (*)(Survey& survey, Findings& findings);

void checkRegistrations(Survey& survey, Findings& findings);
void checkPolicies(Survey& survey, Findings& findings);
void checkExtensions(Survey& survey, Findings& findings);
void checkUncovered(Survey& survey, Findings& findings);
void checkEnvironment(Survey& survey, Findings& findings);
void checkHosts(Survey& survey, Findings& findings);
void checkSandboxes(Survey& survey, Findings& findings);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_CHECKS_H_
