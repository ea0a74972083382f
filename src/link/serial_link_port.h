// The request engine's port on top of the serial port component.
#pragma once

#include <cstdint>

#include "link/engine.h"
#include "serial/TDVXCOMPort.h"

namespace mv {

// The port's transmit worker marks itself free as soon as a write is over, so
// a frame sent right after an answer completes is normally accepted. In the
// short moment between the end of the write and the worker marking itself
// free (the answer can overtake it on a fast line when the worker is not
// scheduled) the frame is refused; such a refusal is retried for up to 20 ms,
// serving the queued hand-offs meanwhile, instead of costing the request a
// timeout. While retrying, Retrying() is true so that the refusals' reports
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
