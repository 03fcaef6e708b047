// The scenarios that look at the socket's files or use connections of the
// checker's own: the files' owner and mode, framing, another user's
// process, and connections that send nothing or end inside a frame.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "other_user.h"
#include "own_connection.h"
#include "scenarios.h"
#include "socket_files.h"

namespace ostrel::appcheck {
namespace {

using std::chrono::milliseconds;

// A frame length that reads the same in either byte order (00 01 01 00),
// with room for a JSON message.
constexpr std::size_t kSymmetricLength = 0x00010100;
constexpr std::size_t kSymmetricFrames = 48;  // 3 MiB

std::uint32_t swapped(std::uint32_t length) {
  return (length >> 24) | ((length >> 8) & 0xff00) | ((length << 8) & 0xff0000) | (length << 24);
}

std::string headerText(std::span<const std::uint8_t> header) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x %02x %02x %02x", header[0], header[1], header[2],
                header[3]);
  return text;
}

}  // namespace

// Not const, as every scenario in the run's table.
// NOLINTNEXTLINE(readability-make-member-function-const)
Outcome AppChecker::socketFiles() {
  const SocketFilesVerdict verdict = judgeSocketFiles(options_.socketPath, ::geteuid());
  return {"socket", verdict.pass ? Verdict::kPass : Verdict::kFail, verdict.seen};
}

// A connection of the checker's own writes "hello" and 3 MiB of frames,
// which the application must read; when it closes the connection instead,
// frames whose length reads the same in either byte order tell whether it
// reads lengths big-endian. With --request, its answer's length is looked
// at too.
Outcome AppChecker::frames() {
  const std::string name = "frames";
  Outcome stop{name, Verdict::kFail, "", true};
  OwnConnection own(loop_, options_.socketPath);
  if (!own.connected()) {
    stop.seen = own.connectError();
    return stop;
  }
  own.send(helloFrame_);
  own.send(filler_);
  waitFor([&] { return own.allTaken() || own.ended(); }, options_.timeout);
  if (!own.ended() && !own.allTaken()) {
    stop.seen = "the application stopped reading a connection of the checker's own: of " +
                amount(own.queuedBytes()) + " of \"hello\" and frames of 16 KiB, " +
                amount(own.taken()) + " went through in " + seconds();
    return stop;
  }
  if (own.ended()) {
    const std::size_t through = own.taken();
    const std::string how = own.endedHow();
    own.close();
    OwnConnection symmetric(loop_, options_.socketPath);
    const Bytes frame =
        common::frameOf(messageOfSize("ostrel-app-check", "filler", kSymmetricLength));
    for (std::size_t i = 0; i < kSymmetricFrames && symmetric.connected(); ++i) {
      symmetric.send(frame);
    }
    waitFor([&] { return symmetric.allTaken() || symmetric.ended(); }, options_.timeout);
    const std::uint32_t hello = static_cast<std::uint32_t>(helloFrame_.size() - 4);
    if (symmetric.connected() && symmetric.allTaken() && !symmetric.ended()) {
      symmetric.closeBetweenFrames(options_.timeout);
      stop.seen =
          "the application reads frame lengths big-endian: it closed a connection that "
          "began with \"hello\" (" +
          std::to_string(hello) + " bytes, a length that reads " + std::to_string(swapped(hello)) +
          " byte-swapped), but read 3 MiB of frames of 65792 bytes, a length that reads "
          "the same either way: read the 4-byte length as little-endian, least "
          "significant byte first (libostrel-app's decoder does)";
      return stop;
    }
    stop.seen = "the application ended a connection of the checker's own (" + how + ") after " +
                amount(through) + " of " + amount(own.queuedBytes()) +
                " of \"hello\" and frames of 16 KiB had gone to it: read frames (a 4-byte "
                "little-endian length, then that many bytes) of up to 1 MiB, and keep the "
                "connection";
    return stop;
  }
  std::string answer;
  if (options_.request) {
    own.sendFrame(*options_.request);
    const Bytes& got = own.received();
    waitFor(
        [&] {
          return own.ended() ||
                 (got.size() >= 4 &&
                  (common::lengthOf(std::span(got).first<4>()) > common::kLargestPayload ||
                   got.size() >= 4 + common::lengthOf(std::span(got).first<4>())));
        },
        options_.timeout);
    if (got.size() >= 4) {
      const std::uint32_t length = common::lengthOf(std::span(got).first<4>());
      if (length > common::kLargestPayload) {
        stop.seen = "the answer to " + *options_.request + " begins " +
                    headerText(std::span(got).first<4>()) +
                    ", a length the host reads (little-endian) as " + std::to_string(length) +
                    ", past the 1 MiB limit, and drops the connection";
        if (swapped(length) <= common::kLargestPayload) {
          stop.seen += "; byte-swapped it reads " + std::to_string(swapped(length)) +
                       ": the application writes frame lengths big-endian; write the 4-byte "
                       "length least significant byte first (ostrel_app_encode_frame() does)";
        }
        return stop;
      }
      answer = "; the answer to " + *options_.request + " came framed as the host reads it";
    }
  }
  own.closeBetweenFrames(options_.timeout);
  return {name, Verdict::kPass,
          "a connection of the checker's own wrote \"hello\" and 3 MiB of frames of 16 KiB, and "
          "the application read them all" +
              answer};
}

// A process of another user: kept out by the folders, or refused by the
// application's own check. Only what such a process really reaches fails.
Outcome AppChecker::otherUser() {
  const std::string name = "other-user";
  if (::geteuid() != 0) {
    return {name, Verdict::kSkip, "run as root to check that another user's process is refused"};
  }
  std::vector<char> scratch(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwnam_r(options_.otherUser.c_str(), &entry, scratch.data(), scratch.size(), &found) !=
          0 ||
      found == nullptr) {
    return {name, Verdict::kSkip,
            "there is no user " + options_.otherUser + "; name one with --other-user"};
  }
  if (found->pw_uid == 0 || socketAt(options_.socketPath) == std::nullopt) {
    return {name, Verdict::kSkip, options_.otherUser + " is root, or no socket is there"};
  }
  struct stat socket {};
  if (::stat(options_.socketPath.c_str(), &socket) == 0 && socket.st_uid == found->pw_uid) {
    return {name, Verdict::kSkip,
            "the application runs as " + options_.otherUser + "; name another with --other-user"};
  }
  const Bytes written =
      concat({helloFrame_, options_.request ? common::frameOf(*options_.request) : Bytes{}});
  const OtherUserTry tried =
      tryAsOtherUser(loop_, options_.socketPath, found->pw_uid, found->pw_gid,
                     common::asText(written), options_.timeout);
  const std::string who = "a process of " + options_.otherUser + " (user id " +
                          std::to_string(found->pw_uid) +
                          "; its real, effective, saved and file-system ids)";
  const std::string keeps = whatKeepsOut(options_.socketPath, found->pw_uid, found->pw_gid);
  switch (tried.kind) {
    case OtherUserTry::kKeptOut:
      return {name, Verdict::kPass,
              who + " cannot reach the socket: " + (keeps.empty() ? "the system" : keeps) +
                  " keeps other users out (" + tried.detail +
                  "); the application's own peer check is not needed while it does"};
    case OtherUserTry::kRefused:
      return {name, Verdict::kPass,
              who + " reached the socket, and " + tried.detail +
                  ": the application's own check "
                  "refused it"};
    case OtherUserTry::kNothingListens:
      return fail(name, who + ": " + tried.detail);
    case OtherUserTry::kNotTried:
      return {name, Verdict::kSkip, who + ": " + tried.detail};
    default:
      return fail(name, who + " reached the socket, and " + tried.detail +
                            ": close a connection from another user's process at once, "
                            "unanswered (ostrel_app_accept() does; the peer's user id comes from "
                            "SO_PEERCRED on Linux, getpeereid on macOS), or keep the socket where "
                            "other users cannot reach it (a folder of mode 0700)");
  }
}

// After connections of the checker's own that send `pieces` (each its own
// connection) and close, the application must serve on: a further
// connection of its own must be read (by then an application that runs one
// event loop has seen the earlier ones end), and so must a host.
Outcome AppChecker::afterConnections(const std::string& name, const std::vector<Bytes>& pieces,
                                     const std::string& what) {
  for (const Bytes& piece : pieces) {
    OwnConnection own(loop_, options_.socketPath);
    if (!own.connected()) return fail(name, own.connectError());
    own.send(piece);
    // Closed here, where the bytes stop: inside a frame, on purpose.
    waitFor([&] { return own.allTaken() || own.ended(); }, options_.timeout);
  }
  OwnConnection after(loop_, options_.socketPath);
  if (!after.connected()) return fail(name, "after " + what + ": " + after.connectError());
  after.send(concat({helloFrame_, filler_}));
  waitFor([&] { return after.allTaken() || after.ended(); }, options_.timeout);
  if (!after.allTaken() || after.ended()) {
    return fail(name, "after " + what + ", a connection of the checker's own was not read: " +
                          (after.ended() ? after.endedHow() : "it stopped reading"));
  }
  after.closeBetweenFrames(options_.timeout);
  std::string why;
  Host host = connectedHost(why);
  if (!host || !keptAndRead(*host, 0, helloFrame_, why) || !endHost(host, 0, why)) {
    return fail(name, "after " + what + ", a host: " + why);
  }
  return {name, Verdict::kPass, "after " + what + ", a host was served; " + cameBack({host.get()})};
}

Outcome AppChecker::probe() {
  return afterConnections("probe", {Bytes{}},
                          "a connection that sent nothing and closed (as the setup tool's doctor "
                          "makes)");
}

Outcome AppChecker::midFrame() {
  const Bytes header = {0xe8, 0x03, 0x00, 0x00};  // 1000 bytes
  Bytes cut = header;
  const std::string start = messageOfSize("ostrel-app-check", "cut", 1000).substr(0, 100);
  cut.insert(cut.end(), start.begin(), start.end());
  return afterConnections(
      "mid-frame", {Bytes(header.begin(), header.begin() + 2), cut},
      "a connection that ended 2 bytes into a frame's length, and one that "
      "ended 100 bytes into a frame of 1000 (as hosts killed by their browser)");
}

}  // namespace ostrel::appcheck
