// Transmit worker: writes the buffers the port hands it, one at a time.
//
// A buffer of up to kTxCopySize bytes (every frame of the drive's link) is
// copied when it is accepted, so the caller may build the next frame in the
// same memory at once, whatever happens on the line. A longer buffer is sent
// straight from the caller's memory, which must then stay unchanged until
// OnTxData or TxAbort.
#pragma once

#include <array>
#include <condition_variable>
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

 protected:
  void Execute() override;

 private:
  mv::EventHandle txRequestEvent_ = nullptr;
  mv::EventHandle waitEvent_ = nullptr;
  // Marks the transmitter free and tells a TxData waiting for that.
  void EndTransmission();

  mutable std::mutex mu_;  // guards the request fields below
  std::condition_variable freeCv_;
  bool txBusy_ = false;
  bool txAborting_ = false;
  const std::uint8_t* data_ = nullptr;
  std::uint32_t length_ = 0;
  std::uint32_t bytesWritten_ = 0;
  std::array<std::uint8_t, kTxCopySize> copy_{};  // read by the worker only while txBusy_
};

}  // namespace PLKDVX
