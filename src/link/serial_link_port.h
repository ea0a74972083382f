// The request engine's port on top of the serial port component.
#pragma once

#include <cstdint>

#include "link/engine.h"
#include "serial/TDVXCOMPort.h"

namespace mv {

// Passes frames straight to the port, which copies them when it accepts them
// (see TDVXCOMPort::TxData). Never serves the hand-off queue: the engine's
// entry points must not run inside one another.
class SerialLinkPort final : public LinkPort {
 public:
  explicit SerialLinkPort(PLKDVX::TDVXCOMPort& port) : port_(port) {}
  bool GetOpened() const override { return port_.GetOpened(); }
  bool TxData(const std::uint8_t* buffer, int length) override { return port_.TxData(buffer, length); }
  std::uint32_t BitsPerSecond() const override;
  // A frame still being written is aborted; what the driver holds is purged.
  void DiscardOutput() override;
  void DiscardInput() override { port_.PurgeInput(); }

 private:
  PLKDVX::TDVXCOMPort& port_;
};

}  // namespace mv
