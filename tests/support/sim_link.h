// A drive session to a device path (normally the simulated drive's
// terminal) on a headless loop, as the command-line tool makes it, for tests.
#pragma once

#include <memory>
#include <string>

#include "link/engine.h"
#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "session/drive_session.h"

namespace mvtest {

struct SimLink {
  explicit SimLink(const std::string& devicePath, mv::LinkView* view = nullptr)
      : session(loop.Queue(), *timer, nullptr, view) {
    serial.SetDevicePathOverride(devicePath);
  }

  mv::HeadlessLoop loop;
  std::unique_ptr<mv::Timer> timer = loop.CreateTimer();
  mv::DriveSession session;
  PLKDVX::TDVXCOMPort& serial = session.Port();
  mv::RequestEngine& engine = session.Engine();
};

}  // namespace mvtest
