// Receive worker: reads what has arrived (up to kRxBatch bytes) and hands it
// to the GUI thread in one call that raises OnRxChar for each byte, in order;
// it waits until that call has returned before reading on. A handler that
// closes the port or throws the input away ends the delivery there.
#pragma once

#include <array>

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
  static constexpr std::uint32_t kRxBatch = 256;
  mv::EventHandle waitEvent_ = nullptr;
  std::array<std::uint8_t, kRxBatch> rxBytes_{};  // read by the GUI thread only inside the hand-off
  std::uint32_t bytesRead_ = 0;
};

}  // namespace PLKDVX
