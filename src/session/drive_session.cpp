#include "session/drive_session.h"

#include <utility>

#include "session/report_line.h"

namespace mv {

DriveSession::DriveSession(GuiCallQueue& queue, Timer& responseTimer, std::shared_ptr<SerialPlatform> platform,
                           LinkView* linkView)
    : port_(queue, std::move(platform)),
      link_(port_),
      recorder_(&link_),
      engine_(link_, responseTimer, linkView),
      main_(engine_.Sender()) {
  control_.SetRequestSender(engine_.Sender());
  // Always on: the engine tells the recorder what it makes of every frame
  // and byte; the line's own events are added here.
  engine_.SetTrace(&recorder_);
  port_.OnRxChar = [this](void*, std::uint8_t ch) { engine_.RxChar(ch); };
  port_.OnRxError = [this](void*) {
    recorder_.LineError();
    engine_.RxError();
  };
  port_.OnRxBreak = [this](void*) {
    recorder_.LineBreak();
    engine_.RxBreak();
  };
  port_.OnOpen = [this](void*) { recorder_.PortOpened(port_.DevicePath(), link_.BitsPerSecond()); };
  port_.OnClose = [this](void*) { recorder_.PortClosed(); };
  port_.OnReport = [this](void*, PLKDVX::TReportType type, const std::string& func, const std::string& desc,
                          const std::string& file, int line,
                          int err) { PortReported(type, func, desc, file, line, err); };
  // The drive's speed; a configuration file or the user may choose another.
  port_.SetBaudRate(PLKDVX::br115200);
  saved_ = Current();
}

DriveSession::~DriveSession() {
  // Closed while the engine and the report handler still exist; then no
  // event of the port reaches them any more.
  port_.Close();
  port_.OnRxChar = nullptr;
  port_.OnRxError = nullptr;
  port_.OnRxBreak = nullptr;
  port_.OnOpen = nullptr;
  port_.OnClose = nullptr;
  port_.OnReport = nullptr;
}

void DriveSession::PortReported(PLKDVX::TReportType type, const std::string& func, const std::string& desc,
                                const std::string& file, int line, int err) {
  const PLKDVX::TReportCode code = port_.ReportCode();
  std::string words = ReportLine(port_.GetPortStr(), type, func, desc, file, line, err);
  if (const std::size_t cr = words.find('\r'); cr != std::string::npos) words.replace(cr, 1, " | ");
  recorder_.Report(type, words);
  if (code == PLKDVX::rcOpenDevice) openError_ = err;
  if (code == PLKDVX::rcDeviceGone && !deviceGone_) {
    // Nothing will answer: a request waiting now ends as such, not by a
    // string of timeouts.
    deviceGone_ = true;
    engine_.EndNow(RequestOutcome::DeviceGone);
  }
  if (OnReport) OnReport(PortReport{type, func, desc, file, line, err, code});
}

bool DriveSession::Open() {
  openError_ = 0;
  port_.Open();
  if (!port_.GetOpened()) return false;
  deviceGone_ = false;
  return true;
}

AppConfig DriveSession::Current() const {
  AppConfig c;
  static_cast<ImageBuilderSettings&>(c) = builder_;
  c.com_port = port_.GetPort();
  c.baud_rate = port_.GetBaudRate();
  c.data_bits = port_.GetDataBits();
  c.parity = port_.GetParity();
  c.stop_bits = port_.GetStopBits();
  return c;
}

bool DriveSession::ConfigChanged() const {
  const AppConfig now = Current();
  return now.com_port != saved_.com_port || now.baud_rate != saved_.baud_rate || now.parity != saved_.parity ||
         builder_ != static_cast<const ImageBuilderSettings&>(saved_);
}

bool DriveSession::LoadConfig(const std::string& path, std::string& message) {
  AppConfig c;
  if (!ReadConfigFile(path, c, message)) return false;
  configFileName_ = path;
  saved_ = c;
  builder_ = c;
  // A request still waiting for its answer ends by its timeout.
  port_.Close();
  port_.SetPort1(c.com_port);
  port_.SetBaudRate(c.baud_rate);
  port_.SetDataBits(c.data_bits);
  port_.SetParity(c.parity);
  port_.SetStopBits(c.stop_bits);
  return true;
}

bool DriveSession::SaveConfig(const std::string& path, std::string& message) {
  const AppConfig c = Current();
  if (!WriteConfigFile(path, c, message)) return false;
  configFileName_ = path;
  saved_ = c;
  return true;
}

}  // namespace mv
