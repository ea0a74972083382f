// Transmit worker: writes the buffers the port hands it, one at a time.
//
// A buffer of up to kTxCopySize bytes (every frame of the drive's link) is
// copied when it is accepted, so the caller may build the next frame in the
// same memory at once, whatever happens on the line. A longer buffer is sent
// straight from the caller's memory, which must then stay unchanged until
// OnTxData, or until TxAbort has returned: from then on the worker neither
// reads it nor writes any more of it.
#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "serial/TDVXCOMThread.h"

namespace PLKDVX {

class TDVXCOMTxThread : public TDVXCOMThread {
 public:
  TDVXCOMTxThread(mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                  TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port);
  ~TDVXCOMTxThread() override;

  static constexpr int kTxCopySize = 512;

  // GUI thread. See above for who owns the buffer meanwhile.
  bool TxData(const std::uint8_t* buffer, int length);
  bool TxAbort();
  bool TxBusy() const;
  // Test seam: runs on the worker each time it has taken a frame, before it
  // writes it. Set before the first TxData.
  void SetFrameTakenHook(std::function<void()> hook);

 protected:
  void Execute() override;

 private:
  mv::EventHandle txRequestEvent_ = nullptr;
  mv::EventHandle waitEvent_ = nullptr;
  // Marks the transmitter free and tells a TxData waiting for that.
  void EndTransmission();
  void EndTransmissionLocked();  // mu_ held; the caller tells freeCv_

  mutable std::mutex mu_;  // guards the request fields below
  std::condition_variable freeCv_;
  std::condition_variable writeEndedCv_;
  bool txBusy_ = false;
  bool txAborting_ = false;
  bool writing_ = false;       // the worker is inside WriteFile with the frame
  bool outOfService_ = false;  // the worker ended after a failed write
  const std::uint8_t* data_ = nullptr;
  std::uint32_t length_ = 0;
  std::uint32_t bytesWritten_ = 0;
  std::function<void()> frameTaken_;
  std::array<std::uint8_t, kTxCopySize> copy_{};  // read by the worker only while txBusy_
};

}  // namespace PLKDVX
