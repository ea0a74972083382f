// The request engine's port on top of the serial port component.
#pragma once

#include <cstdint>

#include "link/engine.h"
#include "serial/TDVXCOMPort.h"

namespace mv {

// The port's transmit worker marks itself idle only after the end of a
// transmission has been handed to this thread (and that hand-off may still be
// queued behind the answer's last byte), so a frame sent right after an answer
// completes can find it busy. Such a refusal is retried for up to 20 ms,
// serving the queued hand-offs meanwhile, instead of costing the request a
// timeout; while retrying, Retrying() is true so that the refusals' reports
// can be ignored.
class SerialLinkPort final : public LinkPort {
 public:
  explicit SerialLinkPort(PLKDVX::TDVXCOMPort& port) : port_(port) {}
  bool GetOpened() const override { return port_.GetOpened(); }
  bool TxData(const std::uint8_t* buffer, int length) override;
  bool Retrying() const { return retrying_; }

 private:
  PLKDVX::TDVXCOMPort& port_;
  bool retrying_ = false;
};

}  // namespace mv
