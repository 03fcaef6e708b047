// doctor: checks every manifest of the host it can find, starts each host
// they name as a browser would, and says in plain words what is wrong.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "commands.h"
#include "files.h"
#include "host/settings.h"
#include "host_probe.h"
#include "manifest.h"
#include "sandboxes.h"
#include "targets.h"
#include "validation.h"

namespace ostrel::setup {
namespace {

// Collects the report's lines and counts the problems.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void heading(const std::string& text) { out_ << text << "\n"; }
  void fine(const std::string& text) { out_ << "  ok: " << text << "\n"; }
  void note(const std::string& text) { out_ << "  note: " << text << "\n"; }
  void problem(const std::string& text) {
    out_ << "  problem: " << text << "\n";
    ++problems_;
  }
  void problem(const Problem& problem) {
    if (problem) this->problem(*problem);
  }
  int problems() const { return problems_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
};

struct FoundManifest {
  Target target;
  Manifest manifest;
};

std::string socketPath(const Environment& environment) {
  if (const char* path = std::getenv(kSocketPathVariable)) return path;
  return defaultSocketPath(environment.home);
}

// Why nobody answered at `path`, as far as the file system tells.
std::string socketTrouble(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return "nothing is there (" + std::string(std::strerror(errno)) +
           "): the application is not running, or it listens somewhere else";
  }
  if (!S_ISSOCK(info.st_mode)) return "the file there is not a socket";
  return "a socket is there but nobody accepted the connection: the application may have quit "
         "without removing it";
}

void checkMembers(const Target& target, const Manifest& manifest, Report& report) {
  std::string stem = target.manifestPath.substr(target.manifestPath.rfind('/') + 1);
  stem = stem.substr(0, stem.size() - std::strlen(".json"));
  report.problem(checkHostName(manifest.name));
  if (manifest.name != stem) {
    report.problem("the name \"" + manifest.name + "\" differs from the file name \"" + stem +
                   ".json\"; browsers look the host up by file name and then insist they match");
  }
  if (manifest.type != "stdio") {
    report.problem("the type is \"" + manifest.type + R"(", not "stdio")");
  }
  report.problem(checkHostPath(manifest.path));
  for (const std::string& allowed : manifest.allowed) {
    report.problem(target.family == Family::kChromium ? checkChromiumOrigin(allowed)
                                                      : checkFirefoxExtensionId(allowed));
  }
}

// Reads and checks the manifest of one target; nothing when none is there.
std::optional<FoundManifest> examine(const Target& target, Report& report) {
  FileContents contents = readWholeFile(target.manifestPath);
  if (contents.state == FileState::kMissing) return std::nullopt;
  report.heading(target.label + ": " + target.manifestPath);
  if (contents.state == FileState::kUnreadable) {
    report.problem("cannot read it: " + contents.reason);
    return std::nullopt;
  }
  ManifestReading reading = readManifest(contents.text, target.family);
  int before = report.problems();
  for (const std::string& problem : reading.problems) report.problem(problem);
  if (!reading.manifest) return std::nullopt;
  checkMembers(target, *reading.manifest, report);
  if (report.problems() == before) report.fine("the manifest is well formed");
  if (!isOwnManifest(*reading.manifest)) report.note("it was not written by this tool");
  return FoundManifest{target, *reading.manifest};
}

// The arguments the browser gives the host.
std::vector<std::string> browserArguments(const FoundManifest& found) {
  if (found.target.family == Family::kChromium) return {found.manifest.allowed.front()};
  return {found.target.manifestPath, found.manifest.allowed.front()};
}

void reportProbe(const ProbeResult& result, const std::string& socket, Report& report,
                 std::chrono::milliseconds deadline) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(deadline.count()) / 1000.0);
  switch (result.outcome) {
    case ProbeOutcome::kDidNotStart:
      report.problem("the host could not be started: " + result.detail);
      return;
    case ProbeOutcome::kNoStatus:
      report.problem("the host sent no status message within " + std::string(seconds) + " seconds");
      break;
    case ProbeOutcome::kUnexpected:
      report.problem("the host's first message was not a status message: " + result.detail);
      break;
    case ProbeOutcome::kConnected:
      report.fine("the host started and reached the application at " + socket);
      break;
    case ProbeOutcome::kUnavailable:
      report.fine("the host started and sent its status message");
      report.problem("the application did not answer at " + socket + ": " + socketTrouble(socket));
      break;
  }
  if (!result.standardError.empty()) {
    report.problem("the host wrote to standard error, which it never does when healthy: " +
                   result.standardError.substr(0, 300));
  }
  if (result.exitStatus == 0) {
    report.fine("it exited with status 0 when its input closed");
  } else {
    report.problem("when its input closed, the host " + result.exitDescription);
  }
}

// Starts each distinct host once, as the first browser naming it would.
void probeHosts(const Context& context, const std::vector<FoundManifest>& found, Report& report) {
  std::string socket = socketPath(context.environment);
  std::set<std::string> probed;
  for (const FoundManifest& entry : found) {
    const Manifest& manifest = entry.manifest;
    if (manifest.allowed.empty() || checkHostPath(manifest.path) ||
        !probed.insert(manifest.path).second) {
      continue;
    }
    report.heading("Host " + manifest.path + ", started as for " + entry.target.label + ":");
    report.note("it will look for the application's socket at " + socket);
    if (std::getenv(kSocketPathVariable) != nullptr) {
      report.note(std::string(kSocketPathVariable) +
                  " is set in this shell; a browser started elsewhere may not have it");
    }
    ProbeResult result = probeHost(manifest.path, browserArguments(entry), context.probeDeadline);
    reportProbe(result, socket, report, context.probeDeadline);
  }
}

void reportSandboxes(const Environment& environment, Report& report) {
  std::vector<SandboxedBrowser> sandboxed = findSandboxedBrowsers(environment);
  if (sandboxed.empty()) return;
  report.heading("Sandboxed browsers:");
  for (const SandboxedBrowser& entry : sandboxed) {
    report.problem(std::string(entry.browser->displayName) + " is installed as a " +
                   entry.packaging + " (" + entry.location +
                   "); its sandbox does not read host manifests from the usual folders and "
                   "cannot reach the application's socket, so the host will not work with it");
  }
}

}  // namespace

int runDoctor(const Context& context) {
  TargetList list = inspectTargets(context.options, context.environment);
  if (!list.error.empty()) {
    context.err << "error: " << list.error << "\n";
    return kExitUsage;
  }
  Report report(context.out);
  std::vector<FoundManifest> found;
  for (const Target& target : list.targets) {
    if (std::optional<FoundManifest> entry = examine(target, report)) found.push_back(*entry);
  }
  if (found.empty()) {
    report.heading("Manifests:");
    report.problem("no readable manifest named " + manifestFileName(context.options.name) +
                   " was found; register the host with the install command");
  }
  probeHosts(context, found, report);
  reportSandboxes(context.environment, report);
  if (report.problems() == 0) {
    context.out << "No problems found.\n";
    return kExitSuccess;
  }
  context.out << report.problems() << (report.problems() == 1 ? " problem" : " problems")
              << " found.\n";
  return kExitFailure;
}

}  // namespace ostrel::setup
