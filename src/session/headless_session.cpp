#include "session/headless_session.h"

#include <cstring>

#include "serial/port_info.h"
#include "session/report_line.h"

namespace mv {

HeadlessSession::HeadlessSession(const PortChoice& choice, LinkView* view)
    : timer_(loop_.CreateTimer()), session_(loop_.Queue(), *timer_, nullptr, view), device_(choice.device) {
  PLKDVX::TDVXCOMPort& port = session_.Port();
  port.SetBaudRate(choice.baud);
  if (!device_.empty())
    port.SetDevicePathOverride(device_);
  else
    port.SetPort1(choice.port);
  session_.OnReport = [this](const PortReport& r) {
    if (r.type != PLKDVX::rtError) return;
    PLKDVX::TDVXCOMPort& p = session_.Port();
    lastError_ = ReportLine(p.GetPortStr(), r.type, r.func, r.desc, r.file, r.line, r.err);
    // "COM<n>: " names a port number; a device chosen by its path is named so.
    if (!device_.empty()) lastError_.replace(0, 3 + p.GetPortStr().size(), device_);
    const std::size_t cr = lastError_.find('\r');
    if (cr != std::string::npos) lastError_.erase(cr);
    if (OnErrorLine) OnErrorLine(r, lastError_);
  };
}

HeadlessSession::~HeadlessSession() { session_.OnReport = nullptr; }

bool HeadlessSession::Open(std::string& why) {
  lastError_.clear();
  if (session_.Open()) return true;
  const int err = session_.OpenError();
  why = err != 0 ? OpenFailureExplanation(session_.Port().DevicePath(), err) : lastError_;
  if (why.empty()) why = std::strerror(err);
  return false;
}

bool HeadlessSession::RunUntilIdle(std::chrono::milliseconds limit) {
  return loop_.RunUntil([this] { return !session_.Engine().Busy(); }, limit);
}

}  // namespace mv
