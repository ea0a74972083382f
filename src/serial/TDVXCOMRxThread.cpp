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

void TDVXCOMRxThread::Execute() {
  TDVXCOMPort* port = port_;
  void* self = this;
  mv::GuiCallQueue* queue = &queue_;
  const std::uint8_t* bytes = rxBytes_.data();
  for (;;) {
    if (Terminated()) return;  // never start a read that nothing would end
    std::uint32_t count = 0;
    const mv::PlatformResult r = platform_.ReadFile(device_, waitEvent_, rxBytes_.data(), kRxBatch, count);
    if (Terminated()) return;
    if (!r) {
      // Includes the other end going away: said once, then the thread ends.
      SyncReport(rtError, "Execute", "ReadFile", __FILE__, __LINE__, r.err, FailureCode(r.err));
      return;
    }
    bytesRead_ = count;
    if (count == 0) continue;
    // What has arrived goes over in one hand-off, a byte per OnRxChar, in
    // order; this worker waits until all of it has been delivered.
    const std::uint32_t purges = port->InputPurges();
    Synchronize([=] {
      for (std::uint32_t i = 0; i < count; ++i) {
        // A handler closed the port (this worker, and the bytes, are gone),
        // or threw the input away (these bytes had arrived before that).
        if (queue->CallReleased() || port->InputPurges() != purges) return;
        if (port->OnRxChar) port->OnRxChar(self, bytes[i]);
        port->Indicator(itRX, true);
        port->Indicator(itRX, false);
      }
    });
  }
}

}  // namespace PLKDVX
