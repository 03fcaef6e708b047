#include "platform/timer_source.h"

#include <cassert>

#include "platform/event_thread.h"
#include "platform/queue_core.h"

namespace ostrel {

using detail::Clock;
using detail::Registration;

TimerSource::TimerSource(std::shared_ptr<EventThread> queue)
    : queue_(std::move(queue)), registration_(std::make_shared<Registration>()) {
  registration_->isTimer = true;
  queue_->core_->attach(registration_);
}

TimerSource::~TimerSource() { cancel(); }

bool TimerSource::start() { return queue_->start(); }

void TimerSource::schedule(std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval) {
  const Clock::time_point first = Clock::now() + firstDelay;
  queue_->core_->update(
      [&](Registration& r) {
        r.nextFire = first;
        r.interval = interval;
        r.scheduled = true;
      },
      *registration_);
}

void TimerSource::setEventHandler(std::function<void()> handler) {
  auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
  queue_->core_->update([&](Registration& r) { r.eventHandler = shared; }, *registration_);
}

bool TimerSource::resume() {
  if (!queue_->start()) return false;
  const Clock::time_point now = Clock::now();
  queue_->core_->update(
      [&](Registration& r) {
        assert(r.suspended && "a timer resumed out of turn");
        r.suspended = false;
        // Skip the marks that passed while suspended.
        if (r.scheduled && r.interval > Clock::duration::zero() && r.nextFire <= now) {
          r.nextFire += r.interval * ((now - r.nextFire) / r.interval + 1);
        }
      },
      *registration_);
  return true;
}

void TimerSource::suspend() {
  queue_->core_->update(
      [](Registration& r) {
        assert(!r.suspended && "a timer suspended out of turn");
        r.suspended = true;
      },
      *registration_);
}

void TimerSource::cancel() {
  queue_->core_->update([](Registration& r) { r.cancelled = true; }, *registration_);
}

}  // namespace ostrel
