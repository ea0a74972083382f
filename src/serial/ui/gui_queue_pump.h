// Serves the port workers' GUI hand-off queue from the Qt event loop: the
// queue's wake hook writes to an eventfd (any thread, no allocation) and a
// socket notifier on the GUI thread runs ServePending when it is readable.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "serial/gui_queue.h"

namespace mv {

class GuiQueuePump : public QObject {
  Q_OBJECT
 public:
  // Binds the queue to the calling (GUI) thread and installs the wake hook.
  explicit GuiQueuePump(GuiCallQueue& queue, QObject* parent = nullptr);
  ~GuiQueuePump() override;  // removes the wake hook
  GuiQueuePump(const GuiQueuePump&) = delete;
  GuiQueuePump& operator=(const GuiQueuePump&) = delete;

  bool Ok() const { return fd_ >= 0; }

 private:
  void Serve();

  GuiCallQueue& queue_;
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace mv
