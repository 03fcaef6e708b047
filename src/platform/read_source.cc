#include "platform/read_source.h"

#include <cassert>

#include "platform/event_thread.h"
#include "platform/queue_core.h"

namespace ostrel {

using detail::Registration;

ReadSource::ReadSource(int fd, std::shared_ptr<EventThread> queue)
    : queue_(std::move(queue)), registration_(std::make_shared<Registration>()) {
  registration_->fd = fd;
  queue_->core_->attach(registration_);
}

ReadSource::~ReadSource() { cancel(); }

void ReadSource::setEventHandler(std::function<void()> handler) {
  auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
  queue_->core_->update([&](Registration& r) { r.eventHandler = shared; }, *registration_);
}

void ReadSource::setCancelHandler(std::function<void()> handler) {
  auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
  queue_->core_->update([&](Registration& r) { r.cancelHandler = shared; }, *registration_);
}

void ReadSource::resume() {
  queue_->core_->update(
      [](Registration& r) {
        assert(r.suspended && "a read source resumed out of turn");
        r.suspended = false;
      },
      *registration_);
}

void ReadSource::suspend() {
  queue_->core_->update(
      [](Registration& r) {
        assert(!r.suspended && "a read source suspended out of turn");
        r.suspended = true;
      },
      *registration_);
}

void ReadSource::cancel() {
  queue_->core_->update([](Registration& r) { r.cancelled = true; }, *registration_);
}

}  // namespace ostrel
