#ifndef OSTREL_TESTS_SUPPORT_TEST_SUPPORT_H_
#define OSTREL_TESTS_SUPPORT_TEST_SUPPORT_H_

// What the tests use to play the host's peers: the names of the peers
// library (peers/) under ostrel::tests, and the built host running as a
// child process, started as a browser starts it.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "peers/fake_app.h"
#include "peers/temp_dir.h"
#include "tools/common/bytes.h"
#include "tools/common/child_process.h"
#include "tools/common/exit_status.h"
#include "tools/common/stream_io.h"

namespace ostrel::tests {

using common::Bytes;
using common::bytesOf;
using common::frameOf;
using common::kDeadline;
using common::milliseconds;
using common::readBytes;
using common::readFrame;
using common::readsEndOfStream;
using common::textOf;
using common::waitReadable;
using common::waitUntil;
using common::writeBytes;
using peers::AppConnection;
using peers::FakeApp;
using peers::TempDir;

// An environment value that leaves the variable out.
inline constexpr const char* kUnset = "\x01unset";

// The built host on real pipes, started as a browser starts it: an origin
// as its argument, default signal dispositions and no blocked signal,
// nothing open but its three streams, its own folder as working directory.
// Its environment is explicit: `environment` (a value of kUnset leaves
// the variable out) and, from the test's own, only PATH and the
// sanitizers' options. Give OSTREL_SOCKET_PATH, or HOME, whenever the
// test depends on where the host connects.
class HostProcess {
 public:
  // `inherited` descriptors stay open in the host at the same numbers, as
  // some browsers hand them over.
  HostProcess(const std::string& executable, const std::map<std::string, std::string>& environment,
              const std::vector<std::string>& arguments =
                  {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
              const std::vector<int>& inherited = {});

  bool started() const { return child_.started(); }
  pid_t pid() const { return child_.pid(); }
  int output() const { return child_.output(); }

  bool send(const Bytes& bytes) const { return writeBytes(child_.input(), bytes); }
  bool sendFrame(std::string_view payload) const { return send(frameOf(payload)); }
  std::optional<Bytes> readFrame(milliseconds timeout = kDeadline) const;
  // True when nothing arrives on standard output within `quiet`.
  bool staysQuiet(milliseconds quiet) const;
  void closeInput() { child_.closeInput(); }
  void closeOutput() { child_.closeOutput(); }
  // The wait status once the host has ended, or nothing on time-out.
  std::optional<int> waitExit(milliseconds timeout = kDeadline) { return child_.waitExit(timeout); }
  // Everything the host wrote to standard error so far.
  std::string errorOutput();

 private:
  common::ChildProcess child_;
  std::string errorText_;
};

// Closes the host's input, as a browser does, and tells whether it then
// exited with status 0 having written nothing to standard error.
bool endsCleanly(HostProcess& host);

// True when `waitStatus` (absent: the process did not end in time) says
// the process exited with status 0.
bool exitedWithZero(const std::optional<int>& waitStatus);

// The bytes waiting to be read on `fd` (FIONREAD), or -1.
int pendingBytes(int fd);

// As many bytes as a test waits to see queued at a peer that does not
// read, to know that the host is writing to it and will soon wait for room:
// less than any system's buffers hold (a macOS Unix-domain socket takes
// 8 KiB, counted against the sender; a macOS pipe 16 KiB at first).
inline constexpr int kQueuedBytes = 4096;

// The path of the built host executable (set by the build).
std::string hostExecutable();

// Status payloads as the host writes them.
inline constexpr std::string_view kConnected = R"({"type":"status","app":"connected"})";
inline constexpr std::string_view kUnavailable = R"({"type":"status","app":"unavailable"})";

}  // namespace ostrel::tests

#endif  // OSTREL_TESTS_SUPPORT_TEST_SUPPORT_H_
