#include "serial/TDVXCOMRxThread.h"

#include "serial/TDVXCOMPort.h"

namespace PLKDVX {

TDVXCOMRxThread::TDVXCOMRxThread(mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                                 TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port)
    : TDVXCOMThread(" Rx Thread", queue, platform, device, std::move(indicator), std::move(report), port) {
  CreateEvents("TDVXCOMRxThread", {&waitEvent_});
  Start();
}

TDVXCOMRxThread::~TDVXCOMRxThread() {
  Terminate();
  if (const mv::PlatformResult r = platform_.PurgeComm(device_, mv::kPurgeRxAbort); !r)
    ReportNow(rtError, "~TDVXCOMRxThread", "PurgeComm", __FILE__, __LINE__, r.err);
  // Also wakes a worker that is just about to start a read.
  if (waitEvent_) platform_.SetEvent(waitEvent_);
  WaitFor();
  if (waitEvent_) {
    if (const mv::PlatformResult r = platform_.CloseEvent(waitEvent_); !r)
      ReportNow(rtError, "~TDVXCOMRxThread", "CloseHandle", __FILE__, __LINE__, r.err);
    waitEvent_ = nullptr;
  }
}

void TDVXCOMRxThread::Deliver(void* delivery) {
  // Copied first: once a handler has closed the port, the worker is gone.
  const Delivery& d = *static_cast<const Delivery*>(delivery);
  TDVXCOMPort* const port = d.port;
  void* const sender = d.sender;
  const mv::GuiCallQueue* const queue = d.queue;
  const std::uint32_t count = d.count;
  const std::uint32_t purges = d.purges;
  const std::uint8_t* const bytes = d.bytes.data();
  for (std::uint32_t i = 0; i < count; ++i) {
    // A handler closed the port (this worker, and the bytes, are gone), or
    // threw the input away (these bytes had arrived before that).
    if (queue->CallReleased() || port->InputPurges() != purges) return;
    if (port->OnRxChar) port->OnRxChar(sender, bytes[i]);
    port->Indicator(itRX, true);
    port->Indicator(itRX, false);
  }
}

void TDVXCOMRxThread::Execute() {
  for (Delivery& d : deliveries_) {
    d.port = port_;
    d.sender = this;
    d.queue = &queue_;
  }
  std::size_t next = 0;  // the buffer the next burst is read into
  for (;;) {
    if (Terminated()) break;  // never start a read that nothing would end
    Delivery& d = deliveries_[next];
    std::uint32_t count = 0;
    const mv::PlatformResult r = platform_.ReadFile(device_, waitEvent_, d.bytes.data(), kRxBatch, count);
    const std::uint32_t purges = port_->InputPurges();
    if (Terminated()) break;
    if (!r) {
      // Includes the other end going away: said once (after what was read
      // before), then the thread ends.
      queue_.Await(rec_);
      SyncReport(rtError, "Execute", "ReadFile", __FILE__, __LINE__, r.err, FailureCode(r.err));
      return;
    }
    if (count == 0) continue;
    queue_.Await(rec_);  // the burst before goes first, and whole
    if (Terminated()) break;
    d.count = count;
    d.purges = purges;
    queue_.Post(rec_, &Deliver, &d);
    next ^= 1;
  }
  // Nothing of this worker's may run on the GUI thread once it has ended.
  queue_.Await(rec_);
}

}  // namespace PLKDVX
