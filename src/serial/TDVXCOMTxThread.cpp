#include "serial/TDVXCOMTxThread.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "serial/TDVXCOMPort.h"

namespace PLKDVX {

namespace {

// How long TxData waits for a transmitter that is finishing its last write.
// The drive's answer to a frame can reach the GUI thread before the worker
// that wrote the frame has been scheduled again to mark itself free; the next
// frame, sent from that answer's handler, would then be refused. The worker
// only has to run a few instructions, so the wait is short, and nothing is
// served meanwhile (no event handler runs inside TxData). A transmitter that
// is really busy (a stalled line) costs the caller this much, then refuses.
constexpr auto kFinishingWriteWait = std::chrono::milliseconds(5);

}  // namespace

TDVXCOMTxThread::TDVXCOMTxThread(mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                                 TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port)
    : TDVXCOMThread(" Tx Thread", queue, platform, device, std::move(indicator), std::move(report), port) {
  CreateEvents("TDVXCOMTxThread", {&txRequestEvent_, &waitEvent_});
  Start();
}

TDVXCOMTxThread::~TDVXCOMTxThread() {
  {
    // Together, under the lock the worker holds when it decides to write: it
    // either sees Terminated or starts its write with the wake-up set.
    std::lock_guard<std::mutex> lock(mu_);
    Terminate();
    if (waitEvent_) platform_.SetEvent(waitEvent_);
  }
  if (const mv::PlatformResult r = platform_.PurgeComm(device_, mv::kPurgeTxAbort); !r)
    ReportNow(rtError, "~TDVXCOMTxThread", "PurgeComm", __FILE__, __LINE__, r.err);
  if (txRequestEvent_) platform_.SetEvent(txRequestEvent_);  // wakes an idle worker
  WaitFor();
  if (txRequestEvent_) platform_.CloseEvent(txRequestEvent_);
  if (waitEvent_) platform_.CloseEvent(waitEvent_);
  txRequestEvent_ = waitEvent_ = nullptr;
}

void TDVXCOMTxThread::SetFrameTakenHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  frameTaken_ = std::move(hook);
}

bool TDVXCOMTxThread::TxBusy() const {
  std::lock_guard<std::mutex> lock(mu_);
  return txBusy_;
}

bool TDVXCOMTxThread::TxData(const std::uint8_t* buffer, int length) {
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (!freeCv_.wait_for(lock, kFinishingWriteWait, [&] { return !txBusy_; })) {
      lock.unlock();
      ReportNow(rtError, "TDVXCOMTxThread", "Tx is busy", __FILE__, __LINE__, 0);
      return false;
    }
    // The worker is done with the previous buffer (the flag is cleared only
    // after its write has returned), so the copy may be overwritten.
    if (length <= kTxCopySize) {
      std::memcpy(copy_.data(), buffer, static_cast<std::size_t>(length));
      data_ = copy_.data();
    } else {
      data_ = buffer;
    }
    length_ = static_cast<std::uint32_t>(length);
    txAborting_ = false;
    txBusy_ = true;  // before the worker can see the request
  }
  const mv::PlatformResult r = txRequestEvent_ ? platform_.SetEvent(txRequestEvent_) : mv::PlatformResult::Fail(EBADF);
  if (!r) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      txBusy_ = false;
    }
    ReportNow(rtError, "TxData", "SetEvent", __FILE__, __LINE__, r.err);
    return false;
  }
  if (indicator_) indicator_(itTX, true);
  return true;
}

void TDVXCOMTxThread::EndTransmissionLocked() {
  txBusy_ = false;
  txAborting_ = false;
}

void TDVXCOMTxThread::EndTransmission() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    EndTransmissionLocked();
  }
  freeCv_.notify_all();
}

// Once this has said yes, no byte of the frame is handed to the driver any
// more and its buffer is never read again. A frame whose write has not begun
// is dropped here (the worker begins a write only under the lock, and only
// of a frame still waiting); a write under way is woken and waited for (a
// write hands the driver what it takes at once, so this is short); then what
// the driver still holds is thrown away. Either way the transmitter is free
// when this returns, unless its worker has ended after a failed write.
bool TDVXCOMTxThread::TxAbort() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (!txBusy_) {
      lock.unlock();
      ReportNow(rtWarning, "TDVXCOMTxThread", "Tx not in progress", __FILE__, __LINE__, 0);
      return false;
    }
    txAborting_ = true;
    if (writing_) {
      platform_.SetEvent(waitEvent_);
      writeEndedCv_.wait(lock, [&] { return !writing_; });
    } else if (!outOfService_) {
      EndTransmissionLocked();
    }
  }
  freeCv_.notify_all();
  if (const mv::PlatformResult r = platform_.PurgeComm(device_, mv::kPurgeTxAbort); !r)
    ReportNow(rtError, "TxAbort", "PurgeComm", __FILE__, __LINE__, r.err);
  return true;
}

void TDVXCOMTxThread::Execute() {
  TDVXCOMPort* port = port_;
  void* self = this;
  for (;;) {
    if (const mv::PlatformResult r = platform_.WaitForSingleObject(txRequestEvent_); !r) {
      SyncReport(rtError, "TDVXCOMTxThread", "WaitForSingleObject", __FILE__, __LINE__, r.err);
      return;
    }
    platform_.ResetEvent(txRequestEvent_);
    if (Terminated()) return;
    std::function<void()> frameTaken;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!txBusy_) continue;
      frameTaken = frameTaken_;
    }
    if (frameTaken) frameTaken();
    const std::uint8_t* data;
    std::uint32_t length;
    {
      // The moment the write begins, decided under the lock that TxAbort and
      // the destructor take: the frame still waiting then is the one written
      // (an aborted one is gone, a newer one may have come meanwhile).
      std::lock_guard<std::mutex> lock(mu_);
      if (Terminated()) return;
      if (!txBusy_) continue;
      data = data_;
      length = length_;
      platform_.ResetEvent(waitEvent_);  // a wake-up meant for an earlier frame
      writing_ = true;
    }
    std::uint32_t written = 0;
    const mv::PlatformResult r = platform_.WriteFile(device_, waitEvent_, data, length, written);
    bool abandoned;
    {
      std::lock_guard<std::mutex> lock(mu_);
      writing_ = false;
      abandoned = txAborting_;
      if (abandoned && !Terminated()) EndTransmissionLocked();  // no OnTxData
    }
    writeEndedCv_.notify_all();
    if (Terminated()) return;
    if (abandoned) {
      freeCv_.notify_all();
      continue;
    }
    if (!r) {
      // The thread ends; TxBusy stays set until the port is reopened.
      {
        std::lock_guard<std::mutex> lock(mu_);
        outOfService_ = true;
      }
      SyncReport(rtError, "Execute", "WriteFile", __FILE__, __LINE__, r.err, rcTxFailed);
      return;
    }
    bytesWritten_ = written;
    const int len = static_cast<int>(written);
    // The transmission is over: the transmitter is free from now on, before
    // its end is handed to the GUI thread. A frame sent from a handler that
    // runs before that hand-off (the answer to this frame can be delivered
    // first) is accepted, and waits in the request event for this loop.
    EndTransmission();
    Synchronize([=] {
      if (port->OnTxData) port->OnTxData(self, len);
      // The handler may have closed the port, which ends and frees this
      // worker: from here on only the port is asked (a newer frame may be on
      // its way).
      if (!port->TxInProgress()) port->Indicator(itTX, false);
    });
  }
}

}  // namespace PLKDVX
