#include <cstring>
#include <string>

#include "core/field_parse.h"
#include "serial/port_info.h"
#include "session/report_line.h"
#include "tools/cli/cli.h"

namespace mv::cli {

int TakePortOption(const char* command, int argc, char** argv, int& i, PortOptions& options) {
  const std::string a = argv[i];
  const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
  std::int64_t v = 0;
  const std::string cmd = command;
  if (a == "--port") {
    if (next == nullptr || !StrToInt64(next, v) || v < 1 || v > 32)
      return Usage((cmd + " --port N: N is a port number 1 to 32").c_str());
    options.port = static_cast<int>(v);
  } else if (a == "--device") {
    if (next == nullptr || *next == '\0') return Usage((cmd + " --device PATH: PATH is a serial device").c_str());
    options.device = next;
  } else if (a == "--baud") {
    int found = -1;
    if (next != nullptr && StrToInt64(next, v))
      for (int b = 0; b < PLKDVX::kBaudRateCount; ++b)
        if (PLKDVX::kBaudRateValues[b] == v) found = b;
    if (found < 0)
      return Usage((cmd + " --baud B: B is one of 110 300 600 1200 2400 4800 9600 19200 38400 57600 115200").c_str());
    options.baud = found;
  } else {
    return 0;
  }
  ++i;
  return 1;
}

CliSession::CliSession(const PortOptions& options, LinkView* view)
    : timer_(loop_.CreateTimer()), session_(loop_.Queue(), *timer_, nullptr, view) {
  PLKDVX::TDVXCOMPort& port = session_.Port();
  port.SetBaudRate(options.baud);
  if (!options.device.empty())
    port.SetDevicePathOverride(options.device);
  else
    port.SetPort1(options.port);
  const std::string device = options.device;
  session_.OnReport = [this, device](const PortReport& r) {
    if (r.type != PLKDVX::rtError) return;
    PLKDVX::TDVXCOMPort& p = session_.Port();
    lastError_ = ReportLine(p.GetPortStr(), r.type, r.func, r.desc, r.file, r.line, r.err);
    if (!device.empty()) lastError_.replace(0, 3 + p.GetPortStr().size(), device);
    const std::size_t cr = lastError_.find('\r');
    if (cr != std::string::npos) lastError_.erase(cr);
    // A frame the port could not send explains the timeout that follows.
    if (p.GetOpened() && (r.code == PLKDVX::rcTxRefused || r.code == PLKDVX::rcTxFailed))
      std::fprintf(stderr, "morvane-cli: %s\n", lastError_.c_str());
  };
}

CliSession::~CliSession() { session_.OnReport = nullptr; }

bool CliSession::Open(std::string& why) {
  lastError_.clear();
  if (session_.Open()) return true;
  const int err = session_.OpenError();
  why = err != 0 ? OpenFailureExplanation(session_.Port().DevicePath(), err) : lastError_;
  if (why.empty()) why = std::strerror(err);
  return false;
}

bool CliSession::RunUntilIdle(std::chrono::milliseconds limit) {
  return loop_.RunUntil([this] { return !session_.Engine().Busy(); }, limit);
}

}  // namespace mv::cli
