#include "fake_app.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "channel/frame.h"
#include "channel/std_streams.h"
#include "descriptors.h"
#include "frame_reader.h"

namespace ostrel::bench {

FakeApp::FakeApp(const std::string& path) : path_(path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());
  listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (listener_ < 0) return;
  standins::setCloseOnExec(listener_);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 128) != 0) {
    standins::closeFd(listener_);
  }
}

FakeApp::~FakeApp() {
  standins::closeFd(listener_);
  ::unlink(path_.c_str());
}

int FakeApp::accept(std::chrono::milliseconds timeout) {
  pollfd ready{listener_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return -1;
  const int fd = ::accept(listener_, nullptr, nullptr);
  if (fd >= 0) standins::setCloseOnExec(fd);
  return fd;
}

void FakeApp::dropWaiting() {
  int fd;
  while ((fd = accept(std::chrono::milliseconds(0))) >= 0) ::close(fd);
}

bool echoFrames(int fd) {
  FrameReader reader(fd);
  bool ok = true;
  while (auto payload = reader.next()) {
    std::vector<std::uint8_t> frame = frameMessage(*payload);
    if (!writeAll(fd, frame)) {
      ok = false;
      break;
    }
  }
  ok = ok && !reader.failed();
  ::close(fd);
  return ok;
}

}  // namespace ostrel::bench
