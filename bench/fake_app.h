#ifndef OSTREL_BENCH_FAKE_APP_H_
#define OSTREL_BENCH_FAKE_APP_H_

// The application's side of a benchmark run: a listening Unix-domain socket
// in a private folder, and the connection a contestant makes to it. What is
// done on the connection (echo, sink, source) is up to the caller, on its
// own thread. Blocking descriptors throughout.

#include <chrono>
#include <string>

namespace ostrel::bench {

class FakeApp {
 public:
  explicit FakeApp(const std::string& path);
  FakeApp(const FakeApp&) = delete;
  FakeApp& operator=(const FakeApp&) = delete;
  ~FakeApp();

  bool listening() const { return listener_ >= 0; }
  const std::string& path() const { return path_; }

  // The next connection, or -1 when none comes within `timeout`. The caller
  // owns the descriptor.
  int accept(std::chrono::milliseconds timeout);

  // Accepts and closes every connection already waiting.
  void dropWaiting();

 private:
  std::string path_;
  int listener_ = -1;
};

// Echoes every frame on `fd` back until the stream ends; true if the
// stream ended cleanly. Closes `fd`.
bool echoFrames(int fd);

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_FAKE_APP_H_
