#include "serial/TDVXCOMPort.h"

#include "serial/TDVXCOMRxThread.h"
#include "serial/TDVXCOMStatusThread.h"
#include "serial/TDVXCOMTxThread.h"
#include "serial/port_map.h"

namespace PLKDVX {

namespace {

constexpr const char* kNotOpen = "COM port not open";
constexpr const char* kNoModemLines = "no modem lines (CTS, DSR, RI, CD): not watched";

}  // namespace

TDVXCOMPort::TDVXCOMPort(mv::GuiCallQueue& queue, std::shared_ptr<mv::SerialPlatform> platform, bool designing)
    : queue_(queue),
      platform_(platform ? std::move(platform) : mv::PosixSerialPlatform()),
      designing_(designing),
      copyright_("Serial port component, copyright (c) Morvane. All rights reserved."),
      version_("1.00") {
  if (!designing_) {
    port_ = FirstCOMPort();
    if (port_ == 0) port_ = 1;
  } else {
    port_ = enumMode_ == emAll ? 1 : FirstCOMPort();
  }
}

TDVXCOMPort::~TDVXCOMPort() {
  CloseCOMPort();
  for (int i = 0; i < kLampCount; ++i) {
    if (lamps_[i]) lamps_[i]->RemoveFreeNotification(this);
    lamps_[i] = nullptr;
  }
}

// ---------------------------------------------------------------- properties

void TDVXCOMPort::SetCOMMax(int v) {
  if (!designing_ || v <= 0 || v > 256 || v == comMax_) return;
  comMax_ = v;
  if (v < port_)
    port_ = enumMode_ == emAll ? 1 : FirstCOMPort();
  else if (enumMode_ == emPresent && port_ == 0)
    port_ = FirstCOMPort();
}

void TDVXCOMPort::SetEnumMode(int m) {
  if (!designing_ || m < 0 || m > emPresent || m == enumMode_) return;
  enumMode_ = static_cast<TEnumMode>(m);
  if (enumMode_ == emPresent)
    port_ = FirstCOMPort();
  else if (port_ == 0)
    port_ = 1;
}

void TDVXCOMPort::SetPort1(int n) {
  if (designing_) {
    if (n < 0 || n > comMax_) return;
    if (enumMode_ == emPresent && n != 0 && !IsPortPres(n)) return;
    port_ = n;
    return;
  }
  if (GetOpened() || n < 1 || n > comMax_) return;
  port_ = n;
}

bool TDVXCOMPort::ApplySetting(const char* srcFunc, mv::DeviceSettings& rec) {
  // Keep lines set by SetDTR/SetRTS across a settings change.
  rec.fDtrControl = dtrLevel_ ? 1 : 0;
  rec.fRtsControl = rtsLevel_ ? 1 : 0;
  if (const mv::PlatformResult r = platform_->SetCommState(device_, rec); !r) {
    Report(rtError, srcFunc, "SetCommState", __FILE__, __LINE__, r.err);
    return false;  // the kept record stays as the device last took it
  }
  settings_ = rec;
  return true;
}

void TDVXCOMPort::SetBaudRate(int v) {
  if (v < 0 || v >= kBaudRateCount || v == baudRate_) return;
  if (GetOpened()) {
    mv::DeviceSettings rec = settings_;
    rec.BaudRate = static_cast<std::uint32_t>(kBaudRateValues[v]);
    if (!ApplySetting("SetBaudRate", rec)) return;
  }
  baudRate_ = static_cast<TBaudRate>(v);
}

void TDVXCOMPort::SetDataBits(int v) {
  if (v < 0 || v > db8 || v == dataBits_) return;
  if (GetOpened()) {
    mv::DeviceSettings rec = settings_;
    rec.ByteSize = static_cast<std::uint8_t>(5 + v);
    if (!ApplySetting("SetDataBits", rec)) return;
  }
  dataBits_ = static_cast<TDataBits>(v);
}

void TDVXCOMPort::SetParity(int v) {
  if (v < 0 || v > paSpace || v == parity_) return;
  if (GetOpened()) {
    mv::DeviceSettings rec = settings_;
    rec.Parity = static_cast<std::uint8_t>(v);
    rec.fParity = v != paNone ? 1 : 0;
    if (!ApplySetting("SetBaudParity", rec)) return;
  }
  parity_ = static_cast<TParity>(v);
}

void TDVXCOMPort::SetStopBits(int v) {
  if (v < 0 || v > sb2 || v == stopBits_) return;
  if (GetOpened()) {
    mv::DeviceSettings rec = settings_;
    rec.StopBits = static_cast<std::uint8_t>(v);
    if (!ApplySetting("SetStopBits", rec)) return;
  }
  stopBits_ = static_cast<TStopBits>(v);
}

int TDVXCOMPort::GetRxQueueSize() const {
  return GetOpened() ? static_cast<int>(secondProps_.CurrentRxQueue) : rxQueueSize_;
}

int TDVXCOMPort::GetTxQueueSize() const {
  return GetOpened() ? static_cast<int>(secondProps_.CurrentTxQueue) : txQueueSize_;
}

void TDVXCOMPort::SetRxQueueSize(int n) {
  if (n >= kMinQueueSize && n <= kMaxQueueSize) rxQueueSize_ = n;
}

void TDVXCOMPort::SetTxQueueSize(int n) {
  if (n >= kMinQueueSize && n <= kMaxQueueSize) txQueueSize_ = n;
}

std::string TDVXCOMPort::DevicePath() const {
  return pathOverride_.empty() ? mv::PortDevicePath(port_) : pathOverride_;
}

bool TDVXCOMPort::IsPortPresent(int n) const { return IsPortPres(n); }

int TDVXCOMPort::FirstCOMPort() const {
  for (int n = 1; n <= comMax_; ++n)
    if (IsPortPres(n)) return n;
  return 0;
}

// ------------------------------------------------------------ open and close

bool TDVXCOMPort::Open() {
  if (GetOpened()) {
    Report(rtWarning, "Open", "COM port already open", __FILE__, __LINE__, 0);
    return true;
  }
  return OpenCOMPort();
}

bool TDVXCOMPort::Close() {
  if (!GetOpened()) {
    Report(rtWarning, "Close", "COM port already closed", __FILE__, __LINE__, 0);
    return true;
  }
  return CloseCOMPort();
}

void TDVXCOMPort::BuildSettings(mv::DeviceSettings& rec) const {
  rec = mv::DeviceSettings{};
  rec.DCBlength = sizeof(mv::DeviceSettings);
  rec.BaudRate = static_cast<std::uint32_t>(kBaudRateValues[baudRate_]);
  rec.fBinary = 1;
  rec.fParity = parity_ != paNone ? 1 : 0;
  rec.fDtrControl = dtrInitialLevel_ ? 1 : 0;
  rec.fRtsControl = rtsInitialLevel_ ? 1 : 0;
  rec.XonLim = 1024;
  rec.XoffLim = 256;
  rec.ByteSize = static_cast<std::uint8_t>(5 + dataBits_);
  rec.Parity = static_cast<std::uint8_t>(parity_);
  rec.StopBits = static_cast<std::uint8_t>(stopBits_);
  rec.XonChar = 0x11;
  rec.XoffChar = 0x13;
}

bool TDVXCOMPort::OpenCOMPort() {
  if (GetOpened()) return Open();  // never a second device over the first
  if (closing_) return false;
  openStage_ = 0;
  mv::SerialPlatform& p = *platform_;
  auto fail = [&](const char* desc, int err) { Report(rtError, "OpenCOMPort", desc, __FILE__, __LINE__, err); };
  auto indicator = [this](TIndicatorType type, bool on) { Indicator(type, on); };
  auto report = [this](TReportType type, const char* srcFunc, const char* desc, const char* srcFile, int srcLine,
                       int apiErr, TReportCode code) { Report(type, srcFunc, desc, srcFile, srcLine, apiErr, code); };
  mv::PlatformResult r;

  do {
    mv::DeviceHandle h = nullptr;
    if (r = p.CreateFile(DevicePath(), h); !r) {
      Report(rtError, "OpenCOMPort", "CreateFile", __FILE__, __LINE__, r.err, rcOpenDevice);
      break;
    }
    device_ = h;
    openStage_ = 1;
    if (r = p.GetCommTimeouts(device_, savedTimeouts_); !r) {
      fail("GetCommTimeouts", r.err);
      break;
    }
    workingTimeouts_ = mv::CommTimeouts{};
    if (r = p.SetCommTimeouts(device_, workingTimeouts_); !r) {
      fail("SetCommTimeouts", r.err);
      break;
    }
    openStage_ = 2;
    if (r = p.GetCommProperties(device_, firstProps_); !r) {
      fail("GetCommProperties", r.err);
      break;
    }
    if (r = p.SetupComm(device_, static_cast<std::uint32_t>(rxQueueSize_), static_cast<std::uint32_t>(txQueueSize_));
        !r) {
      fail("SetupComm", r.err);
      break;
    }
    openStage_ = 3;
    if (r = p.GetCommProperties(device_, secondProps_); !r) {
      fail("GetCommProperties", r.err);
      break;
    }
    if (r = p.GetCommMask(device_, savedEventMask_); !r) {
      fail("GetCommMask", r.err);
      break;
    }
    if (r = p.SetCommMask(device_, mv::kPortEventMask); !r) {
      fail("SetCommMask", r.err);
      break;
    }
    openStage_ = 4;
    if (r = p.GetCommMask(device_, eventMaskReadBack_); !r) {
      fail("GetCommMask", r.err);
      break;
    }
    BuildSettings(settings_);
    if (r = p.SetCommState(device_, settings_); !r) {
      fail("SetCommState", r.err);
      break;
    }
    // Whatever the driver kept from before this open (the tail of an answer
    // to an earlier program's request) is not for us: a reader that took it
    // would take it for the answer to its own first request. Not fatal.
    if (r = p.PurgeComm(device_, mv::kPurgeRxClear); !r)
      Report(rtWarning, "OpenCOMPort", "PurgeComm", __FILE__, __LINE__, r.err);

    if (!StartWorker(statusThread_, 5, "COM port status thread creation", "COM port status thread initialisation",
                     indicator, report) ||
        !StartWorker(rxThread_, 6, "COM port Rx data thread creation", "COM port Rx data thread initialisation",
                     indicator, report) ||
        !StartWorker(txThread_, 7, "COM port Tx data thread creation", "COM port Tx data thread initialisation",
                     indicator, report))
      break;
    if (txFrameTaken_) txThread_->SetFrameTakenHook(txFrameTaken_);

    dtrLevel_ = dtrInitialLevel_;
    Indicator(itDTR, dtrInitialLevel_);
    rtsLevel_ = rtsInitialLevel_;
    Indicator(itRTS, rtsInitialLevel_);
    ShowInputLines();
    Indicator(itRX, false);
    Indicator(itTX, false);
    Indicator(itBRK, false);
    Indicator(itERR, false);
    statusThread_->RaisePriority();
    rxThread_->RaisePriority();
    txThread_->RaisePriority();
    if (OnOpen) OnOpen(this);
    return GetOpened();  // a handler may have closed it again
  } while (false);

  // A failed step, or every stage reached but a worker unable to run: undo
  // what was done. Neither OnOpen nor OnClose is raised for such an open.
  noCloseEvent_ = true;
  CloseCOMPort();
  noCloseEvent_ = false;
  return false;
}

// Makes one worker. Its stage counts as reached as soon as its thread exists,
// so that the undo ends it; a worker that could not be made, or made but
// unable to run, is reported and fails the open.
template <class Worker>
bool TDVXCOMPort::StartWorker(std::unique_ptr<Worker>& worker, int stage, const char* creationFailed,
                              const char* initialisationFailed, const TIndicatorCallback& indicator,
                              const TReportCallback& report) {
  worker = std::make_unique<Worker>(queue_, *platform_, device_, indicator, report, this);
  if (!worker->Created()) {
    worker.reset();
    Report(rtError, "OpenCOMPort", creationFailed, __FILE__, __LINE__, 0);
    return false;
  }
  openStage_ = stage;
  if (worker->InitFailed()) {
    Report(rtError, "OpenCOMPort", initialisationFailed, __FILE__, __LINE__, 0);
    return false;
  }
  return true;
}

bool TDVXCOMPort::CloseCOMPort() {
  if (closing_) return true;  // a handler run while closing asked again
  closing_ = true;
  mv::SerialPlatform& p = *platform_;
  const int stage = openStage_;
  bool ok = true;
  auto fail = [&](const char* desc, int err) {
    Report(rtError, "OpenCOMPort", desc, __FILE__, __LINE__, err);
    ok = false;
  };
  // Destroying a worker waits for it to end; hand-offs already queued are
  // still delivered meanwhile.
  if (stage >= 7) txThread_.reset();
  if (stage >= 6) rxThread_.reset();
  if (stage >= 5) statusThread_.reset();
  if (stage >= 4)
    if (const mv::PlatformResult r = p.SetCommMask(device_, savedEventMask_); !r) fail("SetCommMask", r.err);
  if (stage >= 3)
    if (const mv::PlatformResult r = p.SetupComm(device_, firstProps_.CurrentRxQueue, firstProps_.CurrentTxQueue); !r)
      fail("SetupComm", r.err);
  if (stage >= 2)
    if (const mv::PlatformResult r = p.SetCommTimeouts(device_, savedTimeouts_); !r) fail("SetCommTimeouts", r.err);
  if (stage >= 1) {
    const mv::PlatformResult r = p.CloseHandle(device_);
    device_ = nullptr;
    if (!r) fail("CloseHandle", r.err);
  }
  openStage_ = 0;
  closing_ = false;
  if (stage == 7 && ok && !noCloseEvent_ && OnClose) OnClose(this);
  static const TIndicatorType kOffOrder[] = {itCTS, itDSR, itRI, itCD, itRTS, itDTR, itBRK, itERR, itTX, itRX};
  for (TIndicatorType t : kOffOrder) Indicator(t, false);
  return ok;
}

// The four input lines' lamps at open, from one reading. A device without
// modem lines (a pseudo-terminal) is told once, as a warning: it carries data
// as any other.
void TDVXCOMPort::ShowInputLines() {
  std::uint32_t status = 0;
  if (const mv::PlatformResult r = platform_->GetCommModemStatus(device_, status); !r) {
    if (mv::IsNoModemLinesError(r.err))
      Report(rtWarning, "OpenCOMPort", kNoModemLines, __FILE__, __LINE__, r.err, rcNoModemLines);
    else
      Report(rtError, "OpenCOMPort", "GetCommModemStatus", __FILE__, __LINE__, r.err);
    status = 0;
  }
  Indicator(itCD, (status & mv::kMsRlsdOn) != 0);
  Indicator(itCTS, (status & mv::kMsCtsOn) != 0);
  Indicator(itDSR, (status & mv::kMsDsrOn) != 0);
  Indicator(itRI, (status & mv::kMsRingOn) != 0);
}

// ------------------------------------------------------------ line operations

bool TDVXCOMPort::Escape(const char* srcFunc, std::uint32_t func) {
  if (!GetOpened()) {
    Report(rtError, srcFunc, kNotOpen, __FILE__, __LINE__, 0);
    return false;
  }
  if (const mv::PlatformResult r = platform_->EscapeCommFunction(device_, func); !r) {
    Report(rtError, srcFunc, "EscapeCommFunction", __FILE__, __LINE__, r.err);
    return false;
  }
  return true;
}

bool TDVXCOMPort::SetTxBreak(bool on) { return Escape("SetTxBreak", on ? mv::kSetBreak : mv::kClrBreak); }

bool TDVXCOMPort::SetRTS(bool level) {
  if (!Escape("SetRTS", level ? mv::kSetRts : mv::kClrRts)) return false;
  rtsLevel_ = level;
  Indicator(itRTS, level);
  return true;
}

bool TDVXCOMPort::SetDTR(bool level) {
  if (!Escape("SetDTR", level ? mv::kSetDtr : mv::kClrDtr)) return false;
  dtrLevel_ = level;
  Indicator(itDTR, level);
  return true;
}

bool TDVXCOMPort::ModemBit(const char* srcFunc, std::uint32_t bit, bool& level) {
  if (!GetOpened()) {
    Report(rtError, srcFunc, kNotOpen, __FILE__, __LINE__, 0);
    return false;
  }
  std::uint32_t status = 0;
  if (const mv::PlatformResult r = platform_->GetCommModemStatus(device_, status); !r) {
    Report(rtError, srcFunc, "GetCommModemStatus", __FILE__, __LINE__, r.err);
    return false;
  }
  level = (status & bit) != 0;
  return true;
}

bool TDVXCOMPort::GetCTS(bool& level) { return ModemBit("GetCTS", mv::kMsCtsOn, level); }
bool TDVXCOMPort::GetDSR(bool& level) { return ModemBit("GetDSR", mv::kMsDsrOn, level); }
bool TDVXCOMPort::GetRI(bool& level) { return ModemBit("GetRI", mv::kMsRingOn, level); }
bool TDVXCOMPort::GetCD(bool& level) { return ModemBit("GetCD", mv::kMsRlsdOn, level); }

// --------------------------------------------------------------- transmission

bool TDVXCOMPort::TxData(const std::uint8_t* buffer, int aLen) {
  if (!GetOpened()) {
    Report(rtError, "TxData", kNotOpen, __FILE__, __LINE__, 0, rcTxRefused);
    return false;
  }
  if (aLen <= 0) {
    Report(rtError, "TxData", "aLen less than or equal to zero", __FILE__, __LINE__, 0, rcTxRefused);
    return false;
  }
  if (!buffer) {
    Report(rtError, "TxData", "no data buffer", __FILE__, __LINE__, 0, rcTxRefused);
    return false;
  }
  // No transmit worker while the port is being closed.
  if (!txThread_ || !txThread_->TxData(buffer, aLen)) {
    Report(rtError, "TxData", "Tx error", __FILE__, __LINE__, 0, rcTxRefused);
    return false;
  }
  return true;
}

bool TDVXCOMPort::TxChar(std::uint8_t ch) {
  if (!GetOpened()) {
    Report(rtError, "TxChar", kNotOpen, __FILE__, __LINE__, 0, rcTxRefused);
    return false;
  }
  // One byte is copied when it is accepted.
  if (!txThread_ || !txThread_->TxData(&ch, 1)) {
    Report(rtError, "TxChar", "Tx error", __FILE__, __LINE__, 0, rcTxRefused);
    return false;
  }
  return true;
}

bool TDVXCOMPort::TxInProgress() const { return txThread_ && txThread_->TxBusy(); }

bool TDVXCOMPort::TxAbort() {
  if (!GetOpened()) {
    Report(rtError, "TxAbort", kNotOpen, __FILE__, __LINE__, 0);
    return false;
  }
  if (!txThread_ || !txThread_->TxAbort()) {
    Report(rtError, "TxAbort", "Abort error", __FILE__, __LINE__, 0);
    return false;
  }
  Indicator(itTX, false);
  return true;
}

bool TDVXCOMPort::PurgeOutput() {
  if (!GetOpened()) {
    Report(rtError, "PurgeOutput", kNotOpen, __FILE__, __LINE__, 0);
    return false;
  }
  if (const mv::PlatformResult r = platform_->PurgeComm(device_, mv::kPurgeTxClear); !r) {
    Report(rtError, "PurgeOutput", "PurgeComm", __FILE__, __LINE__, r.err);
    return false;
  }
  return true;
}

bool TDVXCOMPort::PurgeInput() {
  if (!GetOpened()) {
    Report(rtError, "PurgeInput", kNotOpen, __FILE__, __LINE__, 0);
    return false;
  }
  inputPurges_.fetch_add(1);  // bytes already read are not delivered any more either
  if (const mv::PlatformResult r = platform_->PurgeComm(device_, mv::kPurgeRxClear); !r) {
    Report(rtError, "PurgeInput", "PurgeComm", __FILE__, __LINE__, r.err);
    return false;
  }
  return true;
}

// ------------------------------------------------------------ lamps, reports

void TDVXCOMPort::Indicator(int type, bool on) {
  if (type < 0 || type >= kLampCount) return;
  if (IndicatorLamp* lamp = lamps_[type]) lamp->SetStateOn(on);
}

void TDVXCOMPort::SetLamp(TIndicatorType type, IndicatorLamp* lamp) {
  IndicatorLamp* old = lamps_[type];
  if (old == lamp) return;
  lamps_[type] = lamp;
  if (old) {
    bool stillLinked = false;
    for (IndicatorLamp* l : lamps_) stillLinked = stillLinked || l == old;
    if (!stillLinked) old->RemoveFreeNotification(this);
  }
  if (lamp) lamp->FreeNotification(this);
}

void TDVXCOMPort::Notification(IndicatorLamp* lamp) {
  for (IndicatorLamp*& l : lamps_)
    if (l == lamp) l = nullptr;
}

void TDVXCOMPort::Report(TReportType aReportType, const char* aSrcFunc, const char* aDesc, const char* aSrcFile,
                         int aSrcLine, int aAPIErr, TReportCode code) {
  // A handler may itself cause a report: each sees its own code.
  const TReportCode outer = reportCode_;
  reportCode_ = code;
  if (OnReport) OnReport(this, aReportType, aSrcFunc, aDesc, aSrcFile, aSrcLine, aAPIErr);
  reportCode_ = outer;
}

}  // namespace PLKDVX
