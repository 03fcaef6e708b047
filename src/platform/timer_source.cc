#include "platform/timer_source.h"

#include "platform/queue_core.h"
#include "platform/serial_queue.h"

namespace ostrel {

using detail::Clock;
using detail::Registration;

TimerSource::TimerSource(std::shared_ptr<SerialQueue> queue)
    : queue_(std::move(queue)), registration_(std::make_shared<Registration>()) {
  registration_->isTimer = true;
  queue_->core_->attach(registration_);
}

TimerSource::~TimerSource() { cancel(); }

void TimerSource::schedule(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval,
                           std::chrono::nanoseconds leeway) {
  const Clock::time_point first = Clock::now() + firstDelay;
  queue_->core_->update(
      [&](Registration& r) {
        r.nextFire = first;
        r.interval = interval;
        r.leeway = leeway;
        r.scheduled = true;
      },
      *registration_);
}

void TimerSource::setEventHandler(std::function<void()> handler) {
  auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
  queue_->core_->update([&](Registration& r) { r.eventHandler = shared; }, *registration_);
}

bool TimerSource::resume() {
  bool done = false;
  const Clock::time_point now = Clock::now();
  queue_->core_->update(
      [&](Registration& r) {
        if (r.suspendCount != 1 || r.cancelled) return;
        r.suspendCount = 0;
        done = true;
        // Skip the marks that passed while suspended.
        if (r.scheduled && r.interval > Clock::duration::zero() && r.nextFire <= now) {
          r.nextFire += r.interval * ((now - r.nextFire) / r.interval + 1);
        }
      },
      *registration_);
  return done;
}

bool TimerSource::suspend() {
  bool done = false;
  queue_->core_->update(
      [&](Registration& r) {
        if (r.suspendCount != 0 || r.cancelled) return;
        r.suspendCount = 1;
        done = true;
      },
      *registration_);
  return done;
}

void TimerSource::cancel() {
  queue_->core_->update([](Registration& r) { r.cancelled = true; }, *registration_);
}

}  // namespace ostrel
