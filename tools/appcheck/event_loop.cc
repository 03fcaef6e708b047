#include "event_loop.h"

#include <algorithm>
#include <cerrno>

namespace ostrel::appcheck {
namespace {

using Clock = std::chrono::steady_clock;

// How often done() is asked when no descriptor wakes the loop.
constexpr milliseconds kLook{10};

}  // namespace

void EventLoop::add(Watched* watched) { watched_.push_back(watched); }

void EventLoop::remove(Watched* watched) { std::erase(watched_, watched); }

bool EventLoop::runUntil(const std::function<bool()>& done, milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  std::vector<pollfd> descriptors;
  std::vector<std::size_t> counts;
  for (;;) {
    if (done()) return true;
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    if (left <= milliseconds::zero()) return false;
    descriptors.clear();
    counts.clear();
    for (Watched* watched : watched_) {
      const std::size_t before = descriptors.size();
      watched->watch(descriptors);
      counts.push_back(descriptors.size() - before);
    }
    const int wait = static_cast<int>(std::min(left, kLook).count());
    const int ready = ::poll(descriptors.data(), descriptors.size(), wait);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    // serve() may add or remove nothing: the list is walked as watched.
    std::size_t first = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
      watched_[i]->serve(std::span<const pollfd>(descriptors).subspan(first, counts[i]));
      first += counts[i];
    }
  }
}

}  // namespace ostrel::appcheck
