// Shared part of the port's three worker threads: the hand-off record, the
// Terminated flag, the thread itself and the report/lamp callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "serial/gui_queue.h"
#include "serial/platform.h"
#include "serial/port_types.h"

namespace PLKDVX {

class TDVXCOMPort;

using TReportCallback = std::function<void(TReportType aReportType, const char* aSrcFunc, const char* aDesc,
                                           const char* aSrcFile, int aSrcLine, int aAPIErr, TReportCode code)>;
using TIndicatorCallback = std::function<void(TIndicatorType type, bool on)>;

class TDVXCOMThread {
 public:
  TDVXCOMThread(const TDVXCOMThread&) = delete;
  TDVXCOMThread& operator=(const TDVXCOMThread&) = delete;
  virtual ~TDVXCOMThread();

  bool InitFailed() const { return initFailed_; }
  // Whether the platform made the thread (false: the creation failed).
  bool Created() const { return created_; }
  bool Ended() const { return thread_.Ended(); }
  const std::string& ThreadName() const { return name_; }

  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Time-critical priority for the thread; refusal (no privilege) is ignored.
  void RaisePriority();

 protected:
  TDVXCOMThread(const char* nameSuffix, mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port);
  // Starts Execute on the new thread (unless InitFailed).
  void Start();
  // GUI thread: waits for Execute to end, serving hand-offs meanwhile.
  void WaitFor();
  virtual void Execute() = 0;

  // Hand-offs: run on the GUI thread while this worker waits.
  template <class F>
  void Synchronize(const F& f) {
    queue_.Invoke(rec_, f);
  }
  void SyncReport(TReportType type, const char* srcFunc, const char* desc, const char* srcFile, int srcLine, int apiErr,
                  TReportCode code = rcGeneral);
  // A worker's own wait or read failed: the device has gone, or something else.
  static TReportCode FailureCode(int apiErr);
  void SyncIndicatorPulse(TIndicatorType type);
  // Construction: makes the worker's events; when one cannot be made it is
  // reported under the worker's class name and the worker is marked
  // InitFailed and Terminated (it starts, but runs nothing).
  void CreateEvents(const char* className, std::initializer_list<mv::EventHandle*> events);
  // Direct report on the GUI thread (construction and destruction).
  void ReportNow(TReportType type, const char* srcFunc, const char* desc, const char* srcFile, int srcLine, int apiErr,
                 TReportCode code = rcGeneral) {
    if (report_) report_(type, srcFunc, desc, srcFile, srcLine, apiErr, code);
  }

  std::string name_;
  bool initFailed_ = false;
  mv::GuiCallQueue& queue_;
  mv::SerialPlatform& platform_;
  mv::DeviceHandle device_;
  TIndicatorCallback indicator_;
  TReportCallback report_;
  TDVXCOMPort* port_;
  mv::GuiCallQueue::PendingCall rec_;

 private:
  std::atomic<bool> terminated_{false};
  bool created_ = false;
  mv::QueueThread thread_;
};

}  // namespace PLKDVX
