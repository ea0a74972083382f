// One drive on one serial port, the same for the desktop application, the
// command-line tool, the tests and the benchmarks: the port component, the
// request engine over it with its response timer, the main window's and the
// control window's request tables, what the port's reports mean, and the
// configuration as it is now and as last loaded or saved.
//
// The hand-off queue and the response timer come from the owner, so the
// session runs under the Qt event loop (the desktop application) and under
// the headless loop (everything else) alike. Everything runs on the queue's
// GUI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "control/status_requests.h"
#include "core/timer.h"
#include "firmware/spl_builder.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "link/serial_link_port.h"
#include "serial/TDVXCOMPort.h"
#include "serial/gui_queue.h"
#include "serial/platform.h"
#include "session/config_file.h"
#include "session/link_recorder.h"

namespace mv {

// A report of the port, with what it is about.
struct PortReport {
  PLKDVX::TReportType type = PLKDVX::rtError;
  std::string func;
  std::string desc;
  std::string file;
  int line = 0;
  int err = 0;
  PLKDVX::TReportCode code = PLKDVX::rcGeneral;
};

class DriveSession final {
 public:
  // platform: the serial devices (null = the POSIX ones). linkView: the
  // counters and the port status text (may be null).
  DriveSession(GuiCallQueue& queue, Timer& responseTimer, std::shared_ptr<SerialPlatform> platform = nullptr,
               LinkView* linkView = nullptr);
  ~DriveSession();
  DriveSession(const DriveSession&) = delete;
  DriveSession& operator=(const DriveSession&) = delete;

  PLKDVX::TDVXCOMPort& Port() { return port_; }
  const PLKDVX::TDVXCOMPort& Port() const { return port_; }
  RequestEngine& Engine() { return engine_; }
  const RequestEngine& Engine() const { return engine_; }
  MainRequests& Main() { return main_; }
  ControlStatusRequests& Control() { return control_; }
  // The link's flight recorder: every frame and port event of this session.
  LinkRecorder& Recorder() { return recorder_; }
  const LinkRecorder& Recorder() const { return recorder_; }
  // Where the requests' results go (until set, nowhere).
  void SetMainSink(MainResultSink sink) { main_.SetResultSink(sink); }
  void SetControlSink(ControlResultSink sink) { control_.SetResultSink(sink); }
  // Before whoever was given the results goes.
  void ClearSinks() {
    main_.SetResultSink({});
    control_.SetResultSink({});
  }
  // The device went away while the port was open (its receive worker ended);
  // until the port is opened again nothing reaches a drive.
  bool DeviceGone() const { return deviceGone_; }

  // --- the port's reports ---
  // Every report of the port, as it is raised.
  std::function<void(const PortReport&)> OnReport;
  // Opens the port with its settings; false when it could not be opened
  // (OpenError() then tells why, 0 when the device itself was not the cause).
  bool Open();
  int OpenError() const { return openError_; }

  // --- configuration ---
  // The image builder's settings of this run.
  ImageBuilderSettings& Builder() { return builder_; }
  const ImageBuilderSettings& Builder() const { return builder_; }
  // The configuration as it is now: the port's settings and the builder's.
  AppConfig Current() const;
  // As last loaded from or saved to the configuration file.
  const AppConfig& Saved() const { return saved_; }
  // Full path of that file; "" until one has been loaded or saved.
  const std::string& ConfigFileName() const { return configFileName_; }
  // Where the next save goes without asking ("" = ask for a name).
  void SetConfigFileName(const std::string& path) { configFileName_ = path; }
  // Whether the port number, baud rate, parity or a builder setting differs
  // from the saved copy (data and stop bits are not compared).
  bool ConfigChanged() const;
  // Reads a configuration file: all or nothing. On success the builder's
  // settings and the port's (closed first; a request still waiting ends by
  // its timeout) are the file's, and the file is the saved copy. False with
  // the reason in `message`, nothing changed.
  bool LoadConfig(const std::string& path, std::string& message);
  // Writes the current configuration; on success it is the saved copy. A
  // failed write changes nothing (the previous file stays as it was).
  bool SaveConfig(const std::string& path, std::string& message);

 private:
  void PortReported(PLKDVX::TReportType type, const std::string& func, const std::string& desc, const std::string& file,
                    int line, int err);

  PLKDVX::TDVXCOMPort port_;
  SerialLinkPort link_;
  LinkRecorder recorder_;
  RequestEngine engine_;
  MainRequests main_;
  ControlStatusRequests control_;
  int openError_ = 0;
  bool deviceGone_ = false;
  ImageBuilderSettings builder_;
  AppConfig saved_;
  std::string configFileName_;
};

}  // namespace mv
