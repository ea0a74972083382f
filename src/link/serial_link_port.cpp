#include "link/serial_link_port.h"

#include <chrono>
#include <thread>

namespace mv {

bool SerialLinkPort::TxData(const std::uint8_t* buffer, int length) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  retrying_ = true;
  bool ok = port_.TxData(buffer, length);
  while (!ok && port_.GetOpened() && length > 0 && std::chrono::steady_clock::now() < until) {
    // The end of the previous transmission may still wait in the hand-off
    // queue for this very thread: run it, then give the worker a moment.
    if (port_.Queue().ServePending() == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    ok = port_.TxData(buffer, length);
  }
  retrying_ = false;
  return ok || port_.TxData(buffer, length);  // the last try reports its failure
}

}  // namespace mv
