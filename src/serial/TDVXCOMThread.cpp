#include "serial/TDVXCOMThread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstring>

#include "serial/TDVXCOMPort.h"
#include "serial/port_info.h"

namespace PLKDVX {

TDVXCOMThread::TDVXCOMThread(const char* nameSuffix, mv::GuiCallQueue& queue, mv::SerialPlatform& platform,
                             mv::DeviceHandle device, TIndicatorCallback indicator, TReportCallback report,
                             TDVXCOMPort* port)
    : name_("COM" + port->GetPortStr() + nameSuffix),
      queue_(queue),
      platform_(platform),
      device_(device),
      indicator_(std::move(indicator)),
      report_(std::move(report)),
      port_(port) {}

TDVXCOMThread::~TDVXCOMThread() { thread_.JoinServing(&rec_); }

void TDVXCOMThread::CreateEvents(const char* className, std::initializer_list<mv::EventHandle*> events) {
  for (mv::EventHandle* e : events) {
    if (const mv::PlatformResult r = platform_.CreateEvent(*e); !r) {
      ReportNow(rtError, className, "CreateEvent", __FILE__, __LINE__, r.err);
      initFailed_ = true;
      Terminate();
      return;
    }
  }
}

void TDVXCOMThread::Start() {
  if (!platform_.CreateThread()) return;
  if (initFailed_) {
    created_ = true;  // made, but it has nothing to run with
    return;
  }
  int err = 0;
  created_ = thread_.Start(
      queue_,
      [this] {
        // Thread names are at most 15 characters.
        char name[16];
        std::strncpy(name, name_.c_str(), sizeof name - 1);
        name[sizeof name - 1] = '\0';
        pthread_setname_np(pthread_self(), name);
        Execute();
      },
      err);
}

void TDVXCOMThread::WaitFor() { thread_.JoinServing(&rec_); }

void TDVXCOMThread::RaisePriority() {
  if (!thread_.Started()) return;
  sched_param sp{};
  sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (pthread_setschedparam(thread_.NativeHandle(), SCHED_FIFO, &sp) == 0) return;
  // Without the privilege for real-time scheduling, a higher nice value is
  // the next best thing; refusal is no failure.
  if (const int tid = thread_.Tid(); tid > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -20);
}

void TDVXCOMThread::SyncReport(TReportType type, const char* srcFunc, const char* desc, const char* srcFile,
                               int srcLine, int apiErr, TReportCode code) {
  TDVXCOMPort* port = port_;
  Synchronize([=] { port->Report(type, srcFunc, desc, srcFile, srcLine, apiErr, code); });
}

TReportCode TDVXCOMThread::FailureCode(int apiErr) { return mv::IsDeviceGoneError(apiErr) ? rcDeviceGone : rcGeneral; }

void TDVXCOMThread::SyncIndicatorPulse(TIndicatorType type) {
  TDVXCOMPort* port = port_;
  Synchronize([=] {
    port->Indicator(type, true);
    port->Indicator(type, false);
  });
}

}  // namespace PLKDVX
