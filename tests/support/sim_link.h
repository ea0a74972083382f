// The request engine over a real serial port to a device path (normally the
// simulated drive's terminal), served by a headless loop: the wiring the
// application and the command-line tool make, for tests.
#pragma once

#include <memory>
#include <string>

#include "link/engine.h"
#include "link/serial_link_port.h"
#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"

namespace mvtest {

struct SimLink {
  explicit SimLink(const std::string& devicePath) {
    serial.OnRxChar = [this](void*, std::uint8_t c) { engine.RxChar(c); };
    serial.OnRxError = [this](void*) { engine.RxError(); };
    serial.OnRxBreak = [this](void*) { engine.RxBreak(); };
    serial.SetDevicePathOverride(devicePath);
  }

  mv::HeadlessLoop loop;
  PLKDVX::TDVXCOMPort serial{loop.Queue()};
  mv::SerialLinkPort port{serial};
  std::unique_ptr<mv::Timer> timer = loop.CreateTimer();
  mv::RequestEngine engine{port, *timer, nullptr};
};

}  // namespace mvtest
