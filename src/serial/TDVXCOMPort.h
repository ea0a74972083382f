// The serial port component: owns one serial device, keeps its line settings,
// opens it in a fixed sequence of stages, runs the status, receive and
// transmit workers and closes everything again in reverse. Everything that
// happens on the line reaches the application as an event on the GUI thread;
// every failure is reported through OnReport. Nothing throws; refused
// property writes are silent.
//
// All operations run on the GUI thread of the GuiCallQueue given to the
// constructor (see gui_queue.h).
//
// Signals: on a device with modem lines the status worker waits for their
// changes in the driver (TIOCMIWAIT) and is woken by the real-time signal
// SIGRTMIN+4, sent to that thread only. The port puts a handler that does
// nothing on it while nobody else uses it. An application that wants the
// signal for itself may take it (or ignore it) at any time: the port then
// samples the lines every 100 ms instead, never calls the application's
// handler, and Close() and the settings writers still return at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/TDVXCOMThread.h"
#include "serial/gui_queue.h"
#include "serial/indicator_link.h"
#include "serial/platform.h"
#include "serial/port_types.h"

namespace PLKDVX {

class TDVXCOMStatusThread;
class TDVXCOMRxThread;
class TDVXCOMTxThread;

class TDVXCOMPort : public IndicatorLampObserver {
 public:
  // Sender is the port for OnReport, OnOpen and OnClose, and the worker
  // thread object that raised it for the other events.
  using TReportEvent =
      std::function<void(void* Sender, TReportType aReportType, const std::string& aSrcFunc, const std::string& aDesc,
                         const std::string& aSrcFile, int aSrcLine, int aAPIErr)>;
  using TNotifyEvent = std::function<void(void* Sender)>;
  using TRxCharEvent = std::function<void(void* Sender, std::uint8_t aCh)>;
  using TLineEvent = std::function<void(void* Sender, bool aLevel)>;
  using TTxDataEvent = std::function<void(void* Sender, int aLen)>;

  static constexpr int kMinQueueSize = 1024;
  static constexpr int kMaxQueueSize = 512000;

  // platform: null = the POSIX serial devices. designing: the component is
  // being edited in a designer (COMMax and EnumMode writable; tests use it).
  explicit TDVXCOMPort(mv::GuiCallQueue& queue, std::shared_ptr<mv::SerialPlatform> platform = nullptr,
                       bool designing = false);
  ~TDVXCOMPort();
  TDVXCOMPort(const TDVXCOMPort&) = delete;
  TDVXCOMPort& operator=(const TDVXCOMPort&) = delete;

  // --- properties ---
  const std::string& GetCopyright() const { return copyright_; }
  void SetCopyright(const std::string&) {}
  const std::string& GetVersion() const { return version_; }
  void SetVersion(const std::string&) {}
  int GetCOMMax() const { return comMax_; }
  void SetCOMMax(int v);
  TEnumMode GetEnumMode() const { return enumMode_; }
  void SetEnumMode(int m);
  int GetPort() const { return port_; }
  void SetPort1(int n);
  TBaudRate GetBaudRate() const { return baudRate_; }
  void SetBaudRate(int v);
  TDataBits GetDataBits() const { return dataBits_; }
  void SetDataBits(int v);
  TParity GetParity() const { return parity_; }
  void SetParity(int v);
  TStopBits GetStopBits() const { return stopBits_; }
  void SetStopBits(int v);
  int GetRxQueueSize() const;
  void SetRxQueueSize(int n);
  int GetTxQueueSize() const;
  void SetTxQueueSize(int n);
  bool GetOpened() const { return device_ != nullptr; }
  bool GetRTSInitialLevel() const { return rtsInitialLevel_; }
  void SetRTSInitialLevel(bool v) { rtsInitialLevel_ = v; }
  bool GetDTRInitialLevel() const { return dtrInitialLevel_; }
  void SetDTRInitialLevel(bool v) { dtrInitialLevel_ = v; }

  bool Designing() const { return designing_; }
  void SetDesigning(bool on) { designing_ = on; }

  // Device path used by the next open instead of the port map's path for
  // Port ("" = use the port map). Lets a tool open a device by its path.
  void SetDevicePathOverride(const std::string& path) { pathOverride_ = path; }
  const std::string& GetDevicePathOverride() const { return pathOverride_; }
  // The path the next open uses.
  std::string DevicePath() const;

  // --- operations ---
  bool Open();
  bool Close();
  bool OpenCOMPort();
  bool CloseCOMPort();
  bool IsPortPresent(int n) const;
  int FirstCOMPort() const;
  std::string GetPortStr() const { return std::to_string(port_); }
  std::string GetBaudRateStr() const { return BaudRateStr(baudRate_); }
  std::string GetDataBitsStr() const { return DataBitsStr(dataBits_); }
  std::string GetParityStr() const { return ParityStr(parity_); }
  std::string GetStopBitsStr() const { return StopBitsStr(stopBits_); }

  bool SetTxBreak(bool on);
  bool SetRTS(bool level);
  bool SetDTR(bool level);
  bool GetCTS(bool& level);
  bool GetDSR(bool& level);
  bool GetRI(bool& level);
  bool GetCD(bool& level);

  // Starts sending aLen bytes. Up to TDVXCOMTxThread::kTxCopySize bytes are
  // copied at once (the buffer is free again on return); a longer buffer is
  // sent from the caller's memory and must stay unchanged until OnTxData or
  // TxAbort. Refused while a transmission is in progress.
  bool TxData(const std::uint8_t* buffer, int aLen);
  bool TxChar(std::uint8_t ch);
  bool TxAbort();
  // Whether a transmission is in progress right now.
  bool TxInProgress() const;
  // Throws away what the driver still holds to send (bytes handed over but
  // not yet on the line never leave) or what it has received and nobody has
  // read yet: the purge with PURGE_TXCLEAR / PURGE_RXCLEAR, tcflush on Linux.
  // A transmission in progress is not ended (that is TxAbort). False, with a
  // report, when the port is closed or the driver refuses.
  bool PurgeOutput();
  bool PurgeInput();
  // How many times the input has been thrown away (the receive worker drops
  // bytes read before the last time).
  std::uint32_t InputPurges() const { return inputPurges_.load(); }
  // Test seam: runs on the transmit worker each time it has taken a frame,
  // before it writes it (see TDVXCOMTxThread). Takes effect at the next open.
  void SetTxFrameTakenHook(std::function<void()> hook) { txFrameTaken_ = std::move(hook); }

  void Indicator(int type, bool on);
  void Report(TReportType aReportType, const char* aSrcFunc, const char* aDesc, const char* aSrcFile, int aSrcLine,
              int aAPIErr, TReportCode code = rcGeneral);
  // What the report being raised is about (rcGeneral outside OnReport).
  TReportCode ReportCode() const { return reportCode_; }

  // --- lamp links ---
  IndicatorLamp* GetCTSIndicator() const { return lamps_[itCTS]; }
  IndicatorLamp* GetDSRIndicator() const { return lamps_[itDSR]; }
  IndicatorLamp* GetRIIndicator() const { return lamps_[itRI]; }
  IndicatorLamp* GetCDIndicator() const { return lamps_[itCD]; }
  IndicatorLamp* GetRTSIndicator() const { return lamps_[itRTS]; }
  IndicatorLamp* GetDTRIndicator() const { return lamps_[itDTR]; }
  IndicatorLamp* GetBRKIndicator() const { return lamps_[itBRK]; }
  IndicatorLamp* GetERRIndicator() const { return lamps_[itERR]; }
  IndicatorLamp* GetRXIndicator() const { return lamps_[itRX]; }
  IndicatorLamp* GetTXIndicator() const { return lamps_[itTX]; }
  void SetCTSIndicator(IndicatorLamp* lamp) { SetLamp(itCTS, lamp); }
  void SetDSRIndicator(IndicatorLamp* lamp) { SetLamp(itDSR, lamp); }
  void SetRIIndicator(IndicatorLamp* lamp) { SetLamp(itRI, lamp); }
  void SetCDIndicator(IndicatorLamp* lamp) { SetLamp(itCD, lamp); }
  void SetRTSIndicator(IndicatorLamp* lamp) { SetLamp(itRTS, lamp); }
  void SetDTRIndicator(IndicatorLamp* lamp) { SetLamp(itDTR, lamp); }
  void SetBRKIndicator(IndicatorLamp* lamp) { SetLamp(itBRK, lamp); }
  void SetERRIndicator(IndicatorLamp* lamp) { SetLamp(itERR, lamp); }
  void SetRXIndicator(IndicatorLamp* lamp) { SetLamp(itRX, lamp); }
  void SetTXIndicator(IndicatorLamp* lamp) { SetLamp(itTX, lamp); }
  void Notification(IndicatorLamp* lamp) override;

  // --- settings window size (measured by the desktop application) ---
  int GetCOMDlgWidth() const { return dlgWidth_; }
  int GetCOMDlgHeight() const { return dlgHeight_; }
  void SetCOMDlgSize(int width, int height) {
    dlgWidth_ = width;
    dlgHeight_ = height;
  }

  mv::GuiCallQueue& Queue() { return queue_; }
  int OpenStage() const { return openStage_; }

  // --- events (all raised on the GUI thread) ---
  TReportEvent OnReport;
  TNotifyEvent OnOpen;
  TNotifyEvent OnClose;
  TNotifyEvent OnRxError;
  TNotifyEvent OnRxBreak;
  TRxCharEvent OnRxChar;
  TLineEvent OnCTS;
  TLineEvent OnDSR;
  TLineEvent OnRI;
  TLineEvent OnCD;
  TTxDataEvent OnTxData;

 private:
  static constexpr int kLampCount = 10;
  void SetLamp(TIndicatorType type, IndicatorLamp* lamp);
  bool ApplySetting(const char* srcFunc, mv::DeviceSettings& rec);
  bool ModemBit(const char* srcFunc, std::uint32_t bit, bool& level);
  bool Escape(const char* srcFunc, std::uint32_t func);
  void BuildSettings(mv::DeviceSettings& rec) const;
  void ShowInputLines();
  template <class Worker>
  bool StartWorker(std::unique_ptr<Worker>& worker, int stage, const char* creationFailed,
                   const char* initialisationFailed, const TIndicatorCallback& indicator,
                   const TReportCallback& report);

  mv::GuiCallQueue& queue_;
  std::shared_ptr<mv::SerialPlatform> platform_;
  bool designing_;

  std::string copyright_;
  std::string version_;
  int comMax_ = 32;
  TEnumMode enumMode_ = emPresent;
  int port_ = 1;
  TBaudRate baudRate_ = br9600;
  TDataBits dataBits_ = db8;
  TParity parity_ = paNone;
  TStopBits stopBits_ = sb1;
  int rxQueueSize_ = 20480;
  int txQueueSize_ = 20480;
  bool rtsInitialLevel_ = false;
  bool dtrInitialLevel_ = false;
  std::string pathOverride_;

  mv::DeviceHandle device_ = nullptr;
  int openStage_ = 0;
  mv::CommTimeouts savedTimeouts_{};
  mv::CommTimeouts workingTimeouts_{};
  mv::DeviceSettings settings_{};
  mv::CommProperties firstProps_{};
  mv::CommProperties secondProps_{};
  std::uint32_t savedEventMask_ = 0;
  std::uint32_t eventMaskReadBack_ = 0;
  std::unique_ptr<TDVXCOMStatusThread> statusThread_;
  std::unique_ptr<TDVXCOMRxThread> rxThread_;
  std::unique_ptr<TDVXCOMTxThread> txThread_;
  std::function<void()> txFrameTaken_;
  std::atomic<std::uint32_t> inputPurges_{0};
  bool dtrLevel_ = false;
  bool rtsLevel_ = false;
  bool closing_ = false;
  TReportCode reportCode_ = rcGeneral;
  bool noCloseEvent_ = false;

  IndicatorLamp* lamps_[kLampCount] = {};
  int dlgWidth_ = 0;
  int dlgHeight_ = 0;
};

}  // namespace PLKDVX
