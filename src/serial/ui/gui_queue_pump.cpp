#include "serial/ui/gui_queue_pump.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <cerrno>
#include <cstdint>

namespace mv {

GuiQueuePump::GuiQueuePump(GuiCallQueue& queue, QObject* parent) : QObject(parent), queue_(queue) {
  queue_.BindToCurrentThread();
  fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &GuiQueuePump::Serve);
    const int fd = fd_;
    queue_.SetWakeHook([fd] {
      const std::uint64_t one = 1;
      ssize_t r;
      do {
        r = ::write(fd, &one, sizeof one);
      } while (r < 0 && errno == EINTR);
    });
  } else {
    // No eventfd: fall back to a queued call per wake (allocates, but works).
    queue_.SetWakeHook([this] {
      QMetaObject::invokeMethod(
          this, [this] { Serve(); }, Qt::QueuedConnection);
    });
  }
}

GuiQueuePump::~GuiQueuePump() {
  queue_.SetWakeHook(nullptr);
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void GuiQueuePump::Serve() {
  if (fd_ >= 0) {
    std::uint64_t n = 0;
    while (::read(fd_, &n, sizeof n) < 0 && errno == EINTR) {
    }
  }
  queue_.ServePending();
  // A pass ends after a few milliseconds while calls keep coming: come back
  // for the rest once the event loop has run timers, painting and input.
  if (!queue_.HasPending()) return;
  if (fd_ >= 0) {
    const std::uint64_t one = 1;
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  } else {
    QMetaObject::invokeMethod(
        this, [this] { Serve(); }, Qt::QueuedConnection);
  }
}

}  // namespace mv
