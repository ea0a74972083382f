// One drive session on a headless loop of its own, for the programs that talk
// to a drive without windows: the command-line tool and the Python module.
// The port is chosen by number or by device path; a port that cannot be
// opened is explained in the main window's words.
//
// The loop's thread is the session's GUI thread (see serial/gui_queue.h): the
// thread that made the object, or the last one that called
// BindToCurrentThread. Only that thread may use the session.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/timer.h"
#include "link/engine.h"
#include "serial/headless_loop.h"
#include "serial/port_types.h"
#include "session/drive_session.h"

namespace mv {

// Which port and how fast.
struct PortChoice {
  int port = 0;                 // 1..32, or 0 when a device path is given
  std::string device;           // a device path, or "" when a port number is given
  int baud = PLKDVX::br115200;  // index into PLKDVX::kBaudRateValues
};

class HeadlessSession {
 public:
  explicit HeadlessSession(const PortChoice& choice, LinkView* view = nullptr);
  ~HeadlessSession();
  HeadlessSession(const HeadlessSession&) = delete;
  HeadlessSession& operator=(const HeadlessSession&) = delete;

  DriveSession& Session() { return session_; }
  const DriveSession& Session() const { return session_; }
  HeadlessLoop& Loop() { return loop_; }
  // Makes the calling thread the session's GUI thread.
  void BindToCurrentThread() { loop_.Queue().BindToCurrentThread(); }

  // Opens the port; false with why in the window's words (a device that is
  // busy, forbidden or missing) or as the port reported it.
  bool Open(std::string& why);
  // Runs the loop until the engine is idle again; false when it was not
  // within the limit (the engine's own timeouts end every request far sooner).
  bool RunUntilIdle(std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

  // Every error report of the port, as one line that names the device as it
  // was chosen (the report, the line).
  std::function<void(const PortReport&, const std::string&)> OnErrorLine;

 private:
  HeadlessLoop loop_;
  std::unique_ptr<Timer> timer_;
  DriveSession session_;
  std::string device_;     // as chosen ("" = by number)
  std::string lastError_;  // the last error report, as one line
};

}  // namespace mv
