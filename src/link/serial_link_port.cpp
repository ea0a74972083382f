#include "link/serial_link_port.h"

namespace mv {

std::uint32_t SerialLinkPort::BitsPerSecond() const {
  return static_cast<std::uint32_t>(PLKDVX::kBaudRateValues[port_.GetBaudRate()]);
}

void SerialLinkPort::DiscardOutput() {
  if (port_.TxInProgress()) port_.TxAbort();
  port_.PurgeOutput();
}

}  // namespace mv
