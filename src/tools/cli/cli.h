// morvane-cli command groups. Each returns the process exit code:
// 0 success, 1 refused (message on stderr), 2 usage.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/timer.h"
#include "serial/headless_loop.h"
#include "serial/port_types.h"
#include "session/drive_session.h"

namespace mv::cli {

int Profile(int argc, char** argv);  // argv[0] is the sub-command ("default", "check", ...)
int Config(int argc, char** argv);
int Hex(int argc, char** argv);
int Spl(int argc, char** argv);
int Drive(int argc, char** argv);

// Prints "morvane-cli: usage: ..." style text to stderr and returns 2.
int Usage(const char* text);

// The port options of the commands that talk to a drive.
struct PortOptions {
  int port = 0;        // 1..32, or 0 when a device path is given
  std::string device;  // a device path, or "" when a port number is given
  int baud = PLKDVX::br115200;
};

// Takes the option at argv[i] (with its value) when it is --port, --device
// or --baud: returns 1 (i on its value), 0 when it is none of them, or 2
// after a usage message naming `command` for a bad value.
int TakePortOption(const char* command, int argc, char** argv, int& i, PortOptions& options);

// A drive session on a headless loop, for the commands that talk to a drive.
class CliSession {
 public:
  explicit CliSession(const PortOptions& options, LinkView* view = nullptr);
  ~CliSession();
  CliSession(const CliSession&) = delete;
  CliSession& operator=(const CliSession&) = delete;

  DriveSession& Session() { return session_; }
  HeadlessLoop& Loop() { return loop_; }
  // Opens the port; false with why in the window's words (a device that is
  // busy, forbidden or missing) or as the port reported it.
  bool Open(std::string& why);
  // Runs the loop until the engine is idle again; false when it was not
  // within the limit (the engine's own timeouts end every request far sooner).
  bool RunUntilIdle(std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

 private:
  HeadlessLoop loop_;
  std::unique_ptr<Timer> timer_;
  DriveSession session_;
  std::string lastError_;  // the last error report, as one line
};

}  // namespace mv::cli
