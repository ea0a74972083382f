#include "serial/TDVXCOMTxThread.h"

#include <cerrno>

#include "serial/TDVXCOMPort.h"

namespace PLKDVX {

TDVXCOMTxThread::TDVXCOMTxThread(mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                                 TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port)
    : TDVXCOMThread(" Tx Thread", queue, platform, device, std::move(indicator), std::move(report), port) {
  mv::PlatformResult r = platform_.CreateEvent(txRequestEvent_);
  if (r) r = platform_.CreateEvent(waitEvent_);
  if (!r) {
    ReportNow(rtError, "TDVXCOMTxThread", "CreateEvent", __FILE__, __LINE__, r.err);
    initFailed_ = true;
    Terminate();
  }
  Start();
}

TDVXCOMTxThread::~TDVXCOMTxThread() {
  Terminate();
  if (const mv::PlatformResult r = platform_.PurgeComm(device_, mv::kPurgeTxAbort); !r)
    ReportNow(rtError, "~TDVXCOMTxThread", "PurgeComm", __FILE__, __LINE__, r.err);
  if (txRequestEvent_) platform_.SetEvent(txRequestEvent_);  // wakes an idle worker
  if (waitEvent_) platform_.SetEvent(waitEvent_);            // ends a write about to start
  WaitFor();
  if (txRequestEvent_) platform_.CloseEvent(txRequestEvent_);
  if (waitEvent_) platform_.CloseEvent(waitEvent_);
  txRequestEvent_ = waitEvent_ = nullptr;
}

bool TDVXCOMTxThread::TxBusy() const {
  std::lock_guard<std::mutex> lock(mu_);
  return txBusy_;
}

bool TDVXCOMTxThread::TxData(const std::uint8_t* buffer, int length) {
  bool busy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    busy = txBusy_;
  }
  if (busy) {
    ReportNow(rtError, "TDVXCOMTxThread", "Tx is busy", __FILE__, __LINE__, 0);
    return false;
  }
  {
    // Only this (GUI) thread sets the flag, so it is still clear here.
    std::lock_guard<std::mutex> lock(mu_);
    data_ = buffer;
    length_ = static_cast<std::uint32_t>(length);
    txAborting_ = false;
    txBusy_ = true;  // before the worker can see the request
  }
  const mv::PlatformResult r =
      txRequestEvent_ ? platform_.SetEvent(txRequestEvent_) : mv::PlatformResult::Fail(EBADF);
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

bool TDVXCOMTxThread::TxAbort() {
  bool busy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    busy = txBusy_;
    if (busy) txAborting_ = true;
  }
  if (!busy) {
    ReportNow(rtWarning, "TDVXCOMTxThread", "Tx not in progress", __FILE__, __LINE__, 0);
    return false;
  }
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
    const std::uint8_t* data;
    std::uint32_t length;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!txBusy_) continue;
      if (txAborting_) {  // abandoned before it started
        txAborting_ = false;
        txBusy_ = false;
        continue;
      }
      data = data_;
      length = length_;
    }
    std::uint32_t written = 0;
    const mv::PlatformResult r = platform_.WriteFile(device_, waitEvent_, data, length, written);
    if (Terminated()) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (txAborting_) {  // abandoned: no OnTxData
        txAborting_ = false;
        txBusy_ = false;
        continue;
      }
    }
    if (!r) {
      // The thread ends; TxBusy stays set until the port is reopened.
      SyncReport(rtError, "Execute", "WriteFile", __FILE__, __LINE__, r.err);
      return;
    }
    bytesWritten_ = written;
    const int len = static_cast<int>(written);
    {
      // The transmission is over: the transmitter is free from now on, before
      // its end is handed to the GUI thread. A frame sent from a handler that
      // runs before that hand-off (the answer to this frame can be delivered
      // first) is accepted, and waits in the request event for this loop.
      std::lock_guard<std::mutex> lock(mu_);
      txBusy_ = false;
      txAborting_ = false;
    }
    TDVXCOMTxThread* thread = this;
    Synchronize([=] {
      if (port->OnTxData) port->OnTxData(self, len);
      if (!thread->TxBusy()) port->Indicator(itTX, false);  // a newer frame may be on its way
    });
  }
}

}  // namespace PLKDVX
