#include "platform/read_source.h"

#include "platform/queue_core.h"
#include "platform/serial_queue.h"

namespace ostrel {

using detail::Registration;

ReadSource::ReadSource(int fd, SerialQueue& queue)
    : fd_(fd), queue_(queue.core_), registration_(std::make_shared<Registration>()) {
  registration_->fd = fd;
  queue_->attach(registration_);
}

ReadSource::~ReadSource() { cancel(); }

void ReadSource::setEventHandler(std::function<void()> handler) {
  auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
  queue_->update([&](Registration& r) { r.eventHandler = shared; }, *registration_);
}

void ReadSource::setCancelHandler(std::function<void()> handler) {
  auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
  queue_->update([&](Registration& r) { r.cancelHandler = shared; }, *registration_);
}

void ReadSource::resume() {
  queue_->update(
      [](Registration& r) {
        if (r.suspendCount > 0) --r.suspendCount;
      },
      *registration_);
}

void ReadSource::cancel() {
  queue_->update([](Registration& r) { r.cancelled = true; }, *registration_);
}

}  // namespace ostrel
