// Transmit worker: writes the buffers the port hands it, one at a time,
// straight from the caller's memory.
#pragma once

#include <mutex>

#include "serial/TDVXCOMThread.h"

namespace PLKDVX {

class TDVXCOMTxThread : public TDVXCOMThread {
 public:
  TDVXCOMTxThread(mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                  TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port);
  ~TDVXCOMTxThread() override;

  // GUI thread. The buffer stays the caller's and must not change until the
  // transmission has ended (OnTxData) or been aborted.
  bool TxData(const std::uint8_t* buffer, int length);
  bool TxAbort();
  bool TxBusy() const;

 protected:
  void Execute() override;

 private:
  mv::EventHandle txRequestEvent_ = nullptr;
  mv::EventHandle waitEvent_ = nullptr;
  mutable std::mutex mu_;  // guards the request fields below
  bool txBusy_ = false;
  bool txAborting_ = false;
  const std::uint8_t* data_ = nullptr;
  std::uint32_t length_ = 0;
  std::uint32_t bytesWritten_ = 0;
};

}  // namespace PLKDVX
