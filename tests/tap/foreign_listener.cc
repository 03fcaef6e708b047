#include "foreign_listener.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/descriptors.h"
#include "support/test_support.h"

namespace ostrel::tests {
namespace {

// The child's whole life; only system calls after fork().
[[noreturn]] void serve(const std::string& path, bool bindAsRoot, int stop, int report) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const auto* named = reinterpret_cast<const sockaddr*>(&address);
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  bool ok =
      listener >= 0 && (!bindAsRoot || ::bind(listener, named, sizeof address) == 0) &&
      ::setgroups(0, nullptr) == 0 && ::setgid(kOtherUser) == 0 && ::setuid(kOtherUser) == 0 &&
      (bindAsRoot || ::bind(listener, named, sizeof address) == 0) && ::listen(listener, 8) == 0;
  if (!ok || ::write(report, "r", 1) != 1) ::_exit(1);
  std::vector<pollfd> fds = {{stop, POLLIN, 0}, {listener, POLLIN, 0}};
  ForeignTally tally;
  char buffer[4096];
  while (::poll(fds.data(), fds.size(), 30000) > 0 && fds[0].revents == 0) {
    if (fds[1].revents != 0) {
      int connection = ::accept(listener, nullptr, nullptr);
      if (connection >= 0) fds.push_back({connection, POLLIN, 0});
      ++tally.connections;
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) tally.bytes += got;
      if (got <= 0) fds[i].events = 0;  // ended: no longer watched
    }
  }
  char text[64];
  int length = std::snprintf(text, sizeof text, "%d %lld\n", tally.connections, tally.bytes);
  ::_exit(::write(report, text, static_cast<std::size_t>(length)) == length ? 0 : 1);
}

}  // namespace

ForeignListener::ForeignListener(const std::string& path, bool bindAsRoot) {
  int stop[2];
  int report[2];
  if (!openPipe(stop) || !openPipe(report)) {
    error_ = std::strerror(errno);
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(stop[1]);
    ::close(report[0]);
    serve(path, bindAsRoot, stop[0], report[1]);
  }
  ::close(stop[0]);
  ::close(report[1]);
  stop_ = stop[1];
  report_ = report[0];
  if (pid_ < 0 || readBytes(report_, 1) != Bytes{'r'}) {
    error_ = "the server did not start as uid " + std::to_string(kOtherUser);
  }
}

ForeignListener::~ForeignListener() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (stop_ >= 0) ::close(stop_);
  if (report_ >= 0) ::close(report_);
}

std::optional<ForeignTally> ForeignListener::finish() {
  ::close(stop_);
  stop_ = -1;
  std::string text;
  if (!waitUntil([&] { return !common::readAvailable(report_, text); })) return std::nullopt;
  ForeignTally tally;
  if (std::sscanf(text.c_str(), "%d %lld", &tally.connections, &tally.bytes) != 2) {
    return std::nullopt;
  }
  return tally;
}

}  // namespace ostrel::tests
