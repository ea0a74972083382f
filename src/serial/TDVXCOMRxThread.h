// Receive worker: reads what has arrived (up to kRxBatch bytes) and hands it
// to the GUI thread in one call that raises OnRxChar for each byte, in order.
// While that call waits or runs, the worker already waits for the next burst,
// which it reads into its other buffer; it hands that over only once the
// call before has run. A handler that closes the port or throws the input
// away ends the delivery there.
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
  // One burst on its way to the GUI thread.
  struct Delivery {
    TDVXCOMPort* port = nullptr;
    void* sender = nullptr;
    mv::GuiCallQueue* queue = nullptr;
    std::uint32_t count = 0;
    std::uint32_t purges = 0;  // the port's InputPurges() when it was read
    std::array<std::uint8_t, kRxBatch> bytes{};
  };
  static void Deliver(void* delivery);  // on the GUI thread

  mv::EventHandle waitEvent_ = nullptr;
  // Two, so that the next burst can be read while one is being delivered; the
  // worker writes one only when no call of its own uses it.
  std::array<Delivery, 2> deliveries_;
};

}  // namespace PLKDVX
