// ostrel-standin-app: stands in for the desktop application. Listens on the
// host's socket, prints every frame it receives, echoes frames back on
// request and sends lines typed on standard input as frames.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app_options.h"
#include "channel/frame.h"
#include "console.h"
#include "line_splitter.h"
#include "out_queue.h"
#include "payload_text.h"
#include "peers/fake_app.h"
#include "platform/descriptors.h"
#include "signal_pipe.h"
#include "tools/common/bytes.h"
#include "tools/common/frame_splitter.h"

namespace ostrel::standins {
namespace {

using common::asBytes;

std::string sizeText(std::size_t bytes) { return std::to_string(bytes) + " B"; }

struct Connection {
  int id = 0;
  int fd = -1;
  common::FrameSplitter splitter;
  OutQueue out;
  bool closing = false;  // close once `out` has drained
};

class StandinApp {
 public:
  explicit StandinApp(AppOptions options) : options_(std::move(options)) {}

  int run(const std::string& path) {
    if (!signals_.install()) {
      printError(std::string("cannot set up signal handling: ") + std::strerror(errno));
      return 1;
    }
    listener_ = std::make_unique<peers::FakeApp>(path);
    if (!listener_->listening()) {
      printError(listener_->error());
      return 1;
    }
    printEvent("app: listening on " + path + (options_.echo ? " (echoing frames back)" : ""));
    while (!stopping_) pollOnce();
    for (auto& [id, connection] : connections_) closeDescriptor(connection->fd);
    listener_->stop();
    printEvent("app: stopped");
    return 0;
  }

 private:
  void pollOnce() {
    std::vector<pollfd> fds;
    fds.push_back({signals_.fd(), POLLIN, 0});
    fds.push_back({listener_->fd(), POLLIN, 0});
    fds.push_back({stdinOpen_ ? STDIN_FILENO : -1, POLLIN, 0});
    std::vector<int> ids;
    for (auto& [id, connection] : connections_) {
      const short events = POLLIN | (connection->out.empty() ? 0 : POLLOUT);
      fds.push_back({connection->fd, events, 0});
      ids.push_back(id);
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) return;  // EINTR: go round again
    if (fds[0].revents) onSignal();
    if (fds[1].revents) onListenerReady();
    if (fds[2].revents) onStdin();
    for (std::size_t i = 0; i < ids.size(); ++i) {
      // A line typed on standard input ("/close") may have closed it already.
      if (fds[3 + i].revents && connections_.contains(ids[i])) {
        onConnectionReady(ids[i], fds[3 + i].revents);
      }
    }
  }

  void onSignal() {
    bool childEnded = false;
    if (signals_.drain(childEnded)) stopping_ = true;
  }

  void onListenerReady() {
    while (auto accepted = listener_->accept(std::chrono::milliseconds(0))) {
      auto connection = std::make_unique<Connection>();
      connection->id = ++lastId_;
      connection->fd = accepted->release();
      setNonBlocking(connection->fd);
      printEvent("app: host connected (#" + std::to_string(lastId_) + ")");
      connections_[lastId_] = std::move(connection);
    }
    if (!held_.empty()) {
      for (std::string& line : held_) sendToAll(line);
      held_.clear();
    }
  }

  void onStdin() {
    char buffer[65536];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      stdinOpen_ = false;  // keep serving the host; only a signal or /quit stops
      for (std::string& line : lines_.finish()) onLine(line);
      return;
    }
    for (std::string& line : lines_.feed({buffer, static_cast<std::size_t>(n)})) onLine(line);
  }

  void onLine(const std::string& line) {
    if (line.empty()) return;
    if (line == "/quit") {
      stopping_ = true;
    } else if (line == "/close") {
      closeAll();
    } else if (line == "/help") {
      printEvent("app: commands: /close closes the connection(s), /quit stops, /help lists these");
    } else if (line.front() == '/' && !options_.raw) {
      printError("unknown command " + line.substr(0, kDefaultShownBytes) +
                 " (/help lists them; --raw sends it as it is)");
    } else if (!options_.raw && !isJson(line)) {
      printError("not sent, not JSON (--raw sends it anyway): " +
                 line.substr(0, kDefaultShownBytes));
    } else if (connections_.empty() || closingAll()) {
      held_.push_back(line);
      printEvent("app: no host connected; the line is sent when one connects");
    } else {
      sendToAll(line);
    }
  }

  bool closingAll() const {
    for (const auto& [id, connection] : connections_) {
      if (!connection->closing) return false;
    }
    return true;
  }

  void sendToAll(const std::string& line) {
    const std::vector<std::uint8_t> frame = frameMessage(asBytes(line));
    for (auto& [id, connection] : connections_) {
      if (connection->closing) continue;
      connection->out.append(frame);
      printEvent("app → host  #" + std::to_string(id) + "  " + sizeText(line.size()) + "  " +
                 describePayload(asBytes(line), shownBytes()));
    }
  }

  // Frames already typed still go out before each connection closes.
  void closeAll() {
    std::vector<int> ids;
    for (auto& [id, connection] : connections_) {
      connection->closing = true;
      if (!connection->out.flush(connection->fd) || connection->out.empty()) ids.push_back(id);
    }
    for (int id : ids) closeNow(id);
  }

  void closeNow(int id) {
    closeDescriptor(connections_.at(id)->fd);
    connections_.erase(id);
    printEvent("app: closed the connection to the host (#" + std::to_string(id) + ")");
  }

  void onConnectionReady(int id, short revents) {
    Connection& connection = *connections_.at(id);
    bool open = true;
    if (revents & POLLOUT) open = connection.out.flush(connection.fd);
    if (open && (revents & (POLLIN | POLLHUP | POLLERR))) open = readFrom(connection);
    if (open && (revents & POLLOUT) == 0 && !connection.out.empty()) {
      open = connection.out.flush(connection.fd);
    }
    if (!open) {
      drop(id);
    } else if (connection.closing && connection.out.empty()) {
      closeNow(id);
    }
  }

  // False when the connection has ended or failed.
  bool readFrom(Connection& connection) {
    const std::span<std::uint8_t> room = connection.splitter.room(65536);
    const ssize_t n = ::read(connection.fd, room.data(), room.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      if (n < 0) printEvent(std::string("app: read failed: ") + std::strerror(errno));
      connection.splitter.end();
      return false;
    }
    connection.splitter.commit(static_cast<std::size_t>(n));
    while (const auto payload = connection.splitter.next()) onFrame(connection, *payload);
    if (connection.splitter.broken()) {
      printEvent("app: host sent a frame header announcing " +
                 std::to_string(connection.splitter.brokenLength()) +
                 " bytes, over the 1 MiB limit; closing the connection");
      return false;
    }
    return true;
  }

  void onFrame(Connection& connection, std::span<const std::uint8_t> payload) {
    const std::string id = "#" + std::to_string(connection.id);
    printEvent("app ← host  " + id + "  " + sizeText(payload.size()) + "  " +
               describePayload(payload, shownBytes()));
    if (!options_.echo) return;
    connection.out.append(frameMessage(payload));
    printEvent("app → host  " + id + "  " + sizeText(payload.size()) + "  (echo)");
  }

  void drop(int id) {
    Connection& connection = *connections_.at(id);
    std::string text = "app: host disconnected (#" + std::to_string(id) + ")";
    const std::size_t lost = connection.splitter.pendingBytes() + connection.out.size();
    if (lost > 0 && !connection.splitter.broken()) {
      text += "; " + std::to_string(lost) + " bytes of unfinished frames dropped";
    }
    printEvent(text);
    closeDescriptor(connection.fd);
    connections_.erase(id);
  }

  std::size_t shownBytes() const { return options_.full ? 0 : kDefaultShownBytes; }

  AppOptions options_;
  SignalPipe signals_;
  std::unique_ptr<peers::FakeApp> listener_;
  LineSplitter lines_;
  std::map<int, std::unique_ptr<Connection>> connections_;
  std::vector<std::string> held_;
  int lastId_ = 0;
  bool stdinOpen_ = true;
  bool stopping_ = false;
};

}  // namespace
}  // namespace ostrel::standins

namespace ostrel::standins {
namespace {

int appMain(int argc, char** argv) {
  if (!ostrel::fillClosedStandardDescriptors()) return 1;
  setProgramName("ostrel-standin-app");
  std::string error;
  const auto options = parseAppOptions(argc, argv, error);
  if (!options) {
    printError(error.empty() ? "see --help for the options" : error);
    return 2;
  }
  if (options->help) {
    printPlain(kAppHelp);
    return 0;
  }
  const auto path = resolveSocketPath(options->socketPath, error);
  if (!path) {
    printError(error);
    return 2;
  }
  return StandinApp(*options).run(*path);
}

}  // namespace
}  // namespace ostrel::standins

int main(int argc, char** argv) { return ostrel::standins::appMain(argc, argv); }
