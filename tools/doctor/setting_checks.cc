// What surrounds the registrations: the browsers' policies, the running
// browsers' environment, and browsers installed in a sandbox.

#include <algorithm>
#include <cstdlib>
#include <set>

#include "browser_presence.h"
#include "checks.h"
#include "fixes.h"
#include "host/settings.h"
#include "policies.h"
#include "sandboxes.h"
#include "verdict.h"

namespace ostrel::doctor {
namespace {

using setup::Browser;

// The Chromium-family browsers whose policies count for this run: those of
// the targets, and for a profile folder the browser that runs it.
std::vector<const Browser*> policyBrowsers(const Survey& survey) {
  std::vector<const Browser*> browsers;
  for (const setup::Target& target : survey.list.targets) {
    const Browser* browser = &browserOf(survey, target);
    if (browser->family == setup::Family::kChromium &&
        std::find(browsers.begin(), browsers.end(), browser) == browsers.end()) {
      browsers.push_back(browser);
    }
  }
  return browsers;
}

// Whether `browser` is here: it runs, or looks installed.
bool isHere(const Survey& survey, const Browser& browser) {
  for (const RunningBrowser& running : survey.running) {
    if (running.browser == &browser) return true;
  }
  return setup::installationSign(browser, survey.context.environment).has_value();
}

// The policies of one browser: what stops it, a problem where it is here,
// and a note where it is not.
void reportPoliciesOf(const Survey& survey, const Browser& browser, Findings& report) {
  const setup::Context& context = survey.context;
  const NativeMessagingPolicies policies = readPolicies(browser, context.environment);
  const bool here = isHere(survey, browser);
  const std::string who = std::string(browser.displayName) + ": ";
  const std::string absent =
      " (" + std::string(browser.displayName) + " is not installed here, so this stops nothing)";
  auto stops = [&](const std::optional<std::string>& why, const std::string& file) {
    if (!why) return false;
    report.about(std::string(browser.key), file);
    here ? report.problem(who + *why) : report.note(who + *why + absent);
    return here;
  };
  if (stops(hostBlockedBy(policies, context.options.name),
            policies.blocklist ? policies.blocklist->file : "")) {
    report.advise("ask the administrator to add " + context.options.name +
                  " to NativeMessagingAllowlist");
  }
  stops(extensionBlockedBy(policies, "*", false),
        policies.extensions ? policies.extensions->file : "");
  if (auto why = userLevelHostsOffBy(policies)) {
    report.about(std::string(browser.key), policies.userLevelHosts->file);
    bool perUser = false;
    bool systemWide = false;
    const FoundManifest* shown = nullptr;
    for (const FoundManifest& entry : survey.found) {
      if (&browserOf(survey, entry.target) != &browser) continue;
      (entry.target.scope == setup::Scope::kUser ? perUser : systemWide) = true;
      shown = &entry;
    }
    if (here && perUser && !systemWide) {
      report.problem(who + *why +
                     ": the per-user registration is useless; a system-wide one would work");
      attach(runnable(installCommand(context, {.browser = &browser, .scope = setup::Scope::kSystem},
                                     shown->manifest.allowed, shown->manifest.path),
                      true, context.environment),
             report);
    } else {
      report.note(who + *why);
    }
  }
  for (const std::string& unreadable : policies.unreadable) {
    report.warning(std::string(browser.displayName) + " skips the policy file " + unreadable);
  }
  for (const std::string& ignored : policies.ignored) report.note(who + ignored);
}

}  // namespace

void checkPolicies(Survey& survey, Findings& findings) {
  const std::vector<const Browser*> browsers = policyBrowsers(survey);
  if (browsers.empty()) return;
  findings.about("", "");
  findings.heading("Policies:");
  std::string pages;
  for (const Browser* browser : browsers) {
    reportPoliciesOf(survey, *browser, findings);
    if (pages.find(browser->policyPage) == std::string::npos) {
      pages += (pages.empty() ? "" : ", ") + std::string(browser->policyPage);
    }
  }
  findings.about("", "");
  findings.note(
      "policies pushed from the cloud (a browser signed in to a managed account or enrolled in "
      "cloud management) are not in any file; see them at " +
      pages);
}

// Which environment the hosts are started with, and what running
// browsers show.
void checkEnvironment(Survey& survey, Findings& findings) {
  const setup::Environment& environment = survey.context.environment;
  findings.about("", "");
  findings.heading("Environment:");
  auto set = [](const char* name, const char* value) {
    return std::string(name) + (value != nullptr ? "=" + std::string(value) : " unset");
  };
  if (survey.running.empty()) {
    findings.note(
        "no browser of this user runs now, so this shell's environment is assumed for the hosts "
        "a browser starts (HOME=" +
        environment.home + ", " + set(kSocketPathVariable, std::getenv(kSocketPathVariable)) +
        "); a browser started otherwise passes its own");
  }
  for (const RunningBrowser& browser : survey.running) {
    findings.about(std::string(browser.browser->key), "");
    if (!browser.withheld.empty()) findings.note(browser.withheld);
    const std::string who = browser.program + " (pid " + std::to_string(browser.pid) + ")";
    std::string words = who + " runs";
    if (!browser.userDataDir.empty()) words += " with --user-data-dir=" + browser.userDataDir;
    if (!browser.environment) {
      findings.note(words + "; its environment cannot be read, so this shell's is assumed");
      continue;
    }
    const char* home = entryValue(*browser.environment, "HOME");
    findings.note(words + ", with " + set("HOME", home) + " and " +
                  set(kSocketPathVariable, entryValue(*browser.environment, kSocketPathVariable)) +
                  ": the hosts it starts get these");
    if (home == nullptr || environment.home != home) {
      findings.warning(who + " has " + (home == nullptr ? "no HOME" : set("HOME", home)) +
                       ", not " + environment.home +
                       ": the host it starts looks for the application below another home "
                       "folder than this shell's");
    }
  }
  if (environment.platform == setup::Platform::kMacOS &&
      std::getenv(kSocketPathVariable) != nullptr) {
    findings.note(std::string(kSocketPathVariable) +
                  " is set in this shell; a browser started from the Dock or Finder does not get "
                  "what a shell profile sets (launchctl setenv does reach it)");
  }
}

void checkSandboxes(Survey& survey, Findings& findings) {
  const std::vector<SandboxedBrowser> sandboxed = findSandboxedBrowsers(survey.context.environment);
  if (sandboxed.empty()) return;
  findings.about("", "");
  findings.heading("Sandboxed browsers (none of what follows has been seen working here):");
  for (const SandboxedBrowser& entry : sandboxed) {
    const Browser& browser = *entry.browser;
    findings.about(std::string(browser.key), entry.location);
    const std::string what = std::string(browser.displayName) + " is installed as a " +
                             entry.packaging + " (" + entry.location + ")";
    if (browser.family == setup::Family::kFirefox) {
      findings.warning(what +
                       ": confined, it reads no manifest and starts no host itself; it "
                       "reaches hosts only through the WebExtensions portal of "
                       "xdg-desktop-portal, where that is installed, with the preference "
                       "widget.use-xdg-desktop-portal.native-messaging set to 1 (or 2: detect), "
                       "and the portal asks the user once whether the add-on may start the host; "
                       "not verified here");
    } else if (entry.packaging == "Snap") {
      findings.warning(what +
                       ": a Chromium-family Snap starts no native-messaging host at all; "
                       "use the browser from a distribution package");
    } else {
      findings.warning(what +
                       ": it reaches a host only through a wrapper script that starts it "
                       "outside the sandbox with flatpak-spawn --host, registered in the "
                       "sandbox's own folder (~/.var/app/" +
                       std::string(browser.flatpakId) +
                       "/config/...), and only with --talk-name=org.freedesktop.Flatpak granted" +
                       (entry.talksToHost ? " (it is granted)" : " (it is not granted)") +
                       "; not verified here");
      if (!entry.talksToHost) {
        findings.fix("flatpak override --user --talk-name=org.freedesktop.Flatpak " +
                     std::string(browser.flatpakId));
      }
    }
  }
}

}  // namespace ostrel::doctor
