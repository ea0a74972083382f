// Receive worker: reads one byte at a time and hands each to the GUI thread
// as OnRxChar, waiting until the handler has returned before reading on.
#pragma once

#include "serial/TDVXCOMThread.h"

namespace PLKDVX {

class TDVXCOMRxThread : public TDVXCOMThread {
 public:
  TDVXCOMRxThread(mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                  TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port);
  ~TDVXCOMRxThread() override;

 protected:
  void Execute() override;

 private:
  mv::EventHandle waitEvent_ = nullptr;
  std::uint8_t rxByte_ = 0;
  std::uint32_t bytesRead_ = 0;
};

}  // namespace PLKDVX
