#include "host_probe.h"

#include <fcntl.h>
#include <signal.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channel/frame.h"
#include "host/settings.h"
#include "tools/common/bytes.h"
#include "tools/common/child_process.h"
#include "tools/common/exit_status.h"
#include "tools/common/printable_text.h"
#include "tools/common/stream_io.h"
#include "tools/common/trusted_path.h"

extern char** environ;  // NOLINT: the POSIX name

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

// Why a program did not start, in the words that help: a script with CRLF
// line endings names an interpreter "/bin/sh\r" that does not exist.
std::string startFailure(const std::string& path, const std::string& error) {
  // Its first bytes only, and from a regular file only: never blocks.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return error;
  struct stat info {};
  char head[256];
  ssize_t got = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    while ((got = ::read(fd, head, sizeof head)) < 0 && errno == EINTR) {
    }
  }
  ::close(fd);
  std::string first(head, got > 0 ? static_cast<std::size_t>(got) : 0);
  if (!first.starts_with("#!")) return error;
  first = first.substr(
      2, first.find('\n') == std::string::npos ? std::string::npos : first.find('\n') - 2);
  std::size_t begin = first.find_first_not_of(' ');
  if (begin == std::string::npos) return error;
  std::string interpreter = first.substr(begin, first.find(' ', begin) - begin);
  if (interpreter.ends_with('\r')) {
    interpreter.pop_back();
    return "interpreter \"" + interpreter +
           "\\r\" not found: the script has CRLF (Windows) line endings; convert it with: sed "
           "-i 's/\\r$//' " +
           path;
  }
  if (::access(interpreter.c_str(), X_OK) != 0) {
    return "interpreter \"" + interpreter + "\", named on the script's first line, " +
           (errno == ENOENT ? "is not there"
                            : "cannot be run: " + std::string(std::strerror(errno)));
  }
  return error;
}

// Reads the first frame the program writes. The length is checked before
// anything is allocated for it: the program may be anything at all.
void readFirstFrame(int output, milliseconds deadline, ProbeResult& result) {
  Clock::time_point until = Clock::now() + deadline;
  std::optional<common::Bytes> header = common::readBytes(output, kFrameHeaderSize, deadline);
  if (!header) {  // kNoStatus
    result.outputEnded = Clock::now() < until;
    return;
  }
  std::uint32_t length =
      decodeFrameLength(std::span<const std::uint8_t, kFrameHeaderSize>(*header));
  if (length > kMaxMessageLength) {
    result.outcome = ProbeOutcome::kUnexpected;
    // Most likely text: show what came with those four bytes.
    std::string text = common::textOf(*header);
    if (common::waitReadable(output, milliseconds(100))) common::readAvailable(output, text);
    if (text.size() > 200) text.resize(200);
    result.detail = "text where a frame should be: \"" + common::printableText(text) +
                    "\" (read as a frame header, it announces " + std::to_string(length) +
                    " bytes, over the 1 MiB limit)";
    return;
  }
  if (std::optional<common::Bytes> payload = common::readBytes(output, length, left(until))) {
    classify(common::textOf(*payload), result);
  }
}

// Collects what the program writes to standard error until that stream
// ends (the program has ended) or `until` passes.
void collectErrors(int errors, Clock::time_point until, std::string& into) {
  while (common::waitReadable(errors, left(until))) {
    if (!common::readAvailable(errors, into)) break;
  }
  if (into.size() > kMaxStandardError) into.resize(kMaxStandardError);
}

// Why `path`, reached by the trusted walk with links followed, may be
// changed by a user other than this one; empty when it may not.
std::string fileProblem(const std::string& path) {
  const common::FilePlace place = common::reachFile(path, true);
  if (!place.problem.empty()) return place.problem;
  const struct stat& entry = place.entry;
  if (entry.st_mode == 0) return {};  // missing: not the walk's to say
  if (entry.st_uid != ::geteuid() && entry.st_uid != 0) {
    return common::foreignOwnerProblem(entry, place.path);
  }
  if ((entry.st_mode & S_IWOTH) != 0) return place.path + " may be changed by every user";
  if ((entry.st_mode & S_IWGRP) != 0 && entry.st_gid != ::getegid()) {
    return place.path + " may be changed by the members of group " + std::to_string(entry.st_gid);
  }
  return {};
}

}  // namespace

std::vector<std::string> browserArguments(Family family, const std::string& manifestPath,
                                          const std::string& allowed) {
  if (family == Family::kChromium) return {allowed};
  return {manifestPath, allowed};
}

std::vector<std::string> hostEnvironment(const std::vector<std::string>& source) {
  std::vector<std::string> built;
  for (std::string_view name : {std::string_view("HOME"), std::string_view(kSocketPathVariable)}) {
    for (const std::string& entry : source) {
      if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
        built.push_back(entry);
        break;
      }
    }
  }
  built.emplace_back("PATH=/usr/bin:/bin");
  return built;
}

std::vector<std::string> ownEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  return entries;
}

std::string untrustedStart(const std::string& manifest, const std::string& host) {
  if (!host.starts_with('/')) return host + " is not an absolute path";
  std::string problem = manifest.empty() ? std::string() : fileProblem(manifest);
  if (problem.empty()) problem = fileProblem(host);
  if (problem.empty()) return {};
  return "not started, since another user could choose what runs: " + problem;
}

ProbeResult probeHost(const std::string& manifestPath, const std::string& path,
                      const std::vector<std::string>& arguments, std::chrono::milliseconds deadline,
                      const std::vector<std::string>& environment) {
  ProbeResult result;
  result.path = path;
  if (std::string why = untrustedStart(manifestPath, path); !why.empty()) {
    result.outcome = ProbeOutcome::kLeftOut;
    result.detail = std::move(why);
    return result;
  }
  common::Launch launch{.argv = {path}, .environment = hostEnvironment(environment)};
  launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
  common::ChildProcess host(launch);
  if (!host.started()) {
    result.outcome = ProbeOutcome::kDidNotStart;
    result.detail = startFailure(path, host.startError());
    return result;
  }
  readFirstFrame(host.output(), deadline, result);
  // Once it has spoken, the host runs: a wrapper has started it by now.
  result.environment = receivedEnvironment(host.pid());

  host.closeInput();
  Clock::time_point exitBy = Clock::now() + deadline;
  collectErrors(host.errors(), exitBy, result.standardError);
  std::optional<int> status = host.waitExit(left(exitBy));
  if (!status) {
    host.signal(SIGKILL);
    host.waitExit(common::kDeadline);
    result.exitDescription = "did not exit after its input closed, and was stopped";
    return result;
  }
  if (WIFEXITED(*status)) result.exitStatus = WEXITSTATUS(*status);
  result.exitDescription = common::describeWaitStatus(*status);
  return result;
}

}  // namespace ostrel::setup
