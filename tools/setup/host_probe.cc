#include "host_probe.h"

#include <signal.h>
#include <simdjson.h>
#include <sys/wait.h>

#include "channel/frame.h"
#include "tools/common/bytes.h"
#include "tools/common/child_process.h"
#include "tools/common/exit_status.h"
#include "tools/common/stream_io.h"

namespace ostrel::setup {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kMaxStandardError = 4096;

milliseconds left(Clock::time_point until) {
  auto rest = std::chrono::duration_cast<milliseconds>(until - Clock::now());
  return rest.count() > 0 ? rest : milliseconds(0);
}

void classify(const std::string& payload, ProbeResult& result) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  std::string_view type;
  std::string_view app;
  bool parsed = parser.parse(simdjson::padded_string(payload)).get(root) == simdjson::SUCCESS &&
                root["type"].get_string().get(type) == simdjson::SUCCESS &&
                root["app"].get_string().get(app) == simdjson::SUCCESS;
  if (parsed && type == "status" && app == "connected") {
    result.outcome = ProbeOutcome::kConnected;
  } else if (parsed && type == "status" && app == "unavailable") {
    result.outcome = ProbeOutcome::kUnavailable;
  } else {
    result.outcome = ProbeOutcome::kUnexpected;
    result.detail = payload.substr(0, 200);
  }
}

// Reads the first frame the program writes. The length is checked before
// anything is allocated for it: the program may be anything at all.
void readFirstFrame(int output, milliseconds deadline, ProbeResult& result) {
  Clock::time_point until = Clock::now() + deadline;
  std::optional<peers::Bytes> header = peers::readBytes(output, kFrameHeaderSize, deadline);
  if (!header) return;  // kNoStatus
  std::uint32_t length =
      decodeFrameLength(std::span<const std::uint8_t, kFrameHeaderSize>(*header));
  if (length > kMaxMessageLength) {
    result.outcome = ProbeOutcome::kUnexpected;
    result.detail = "a frame header announcing " + std::to_string(length) +
                    " bytes, over the 1 MiB limit (" + peers::textOf(*header) + ")";
    return;
  }
  if (std::optional<peers::Bytes> payload = peers::readBytes(output, length, left(until))) {
    classify(peers::textOf(*payload), result);
  }
}

// Collects what the program writes to standard error until that stream
// ends (the program has ended) or `until` passes.
void collectErrors(int errors, Clock::time_point until, std::string& into) {
  while (peers::waitReadable(errors, left(until))) {
    if (!peers::readAvailable(errors, into)) break;
  }
  if (into.size() > kMaxStandardError) into.resize(kMaxStandardError);
}

}  // namespace

std::vector<std::string> browserArguments(Family family, const std::string& manifestPath,
                                          const std::string& allowed) {
  if (family == Family::kChromium) return {allowed};
  return {manifestPath, allowed};
}

ProbeResult probeHost(const std::string& path, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds deadline) {
  ProbeResult result;
  peers::Launch launch{.argv = {path}, .environment = peers::environmentWith({})};
  launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
  peers::ChildProcess host(launch);
  if (!host.started()) {
    result.outcome = ProbeOutcome::kDidNotStart;
    result.detail = host.startError();
    return result;
  }
  readFirstFrame(host.output(), deadline, result);

  host.closeInput();
  Clock::time_point exitBy = Clock::now() + deadline;
  collectErrors(host.errors(), exitBy, result.standardError);
  std::optional<int> status = host.waitExit(left(exitBy));
  if (!status) {
    host.signal(SIGKILL);
    host.waitExit(peers::kDeadline);
    result.exitDescription = "did not exit after its input closed, and was stopped";
    return result;
  }
  if (WIFEXITED(*status)) result.exitStatus = WEXITSTATUS(*status);
  result.exitDescription = peers::describeWaitStatus(*status);
  return result;
}

}  // namespace ostrel::setup
