#include "host_identity.h"

#include "host_probe.h"

namespace ostrel::setup {
namespace {

std::string inWords(std::chrono::milliseconds duration) {
  if (duration.count() == 1000) return "a second";
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " seconds";
  return std::to_string(duration.count()) + " ms";
}

}  // namespace

Problem checkAnswersLikeHost(const std::string& path, const std::vector<std::string>& arguments,
                             std::chrono::milliseconds deadline) {
  ProbeResult result = probeHost("", path, arguments, deadline, ownEnvironment());
  const std::string refused = "the host path \"" + path + "\" does not name ostrel-native-host: ";
  switch (result.outcome) {
    case ProbeOutcome::kConnected:
    case ProbeOutcome::kUnavailable:
      return std::nullopt;
    case ProbeOutcome::kDidNotStart:
      return "the host path \"" + path + "\" could not be started: " + result.detail;
    case ProbeOutcome::kLeftOut:
      return "the host path \"" + path + "\" was " + result.detail;
    case ProbeOutcome::kUnexpected:
      return refused + "its first message was not a status message but " + result.detail;
    case ProbeOutcome::kNoStatus:
      break;
  }
  std::string why = refused +
                    "started as a browser starts a host, it wrote no status message within " +
                    inWords(deadline);
  if (result.exitStatus || result.exitDescription.find("killed") != std::string::npos) {
    why += " and " + result.exitDescription;
  }
  if (!result.standardError.empty()) {
    why += "; it wrote to standard error: " + result.standardError.substr(0, 200);
    while (!why.empty() && why.back() == '\n') why.pop_back();
  }
  return why;
}

}  // namespace ostrel::setup
