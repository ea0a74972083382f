#include "serial/TDVXCOMStatusThread.h"

#include "serial/TDVXCOMPort.h"

namespace PLKDVX {

TDVXCOMStatusThread::TDVXCOMStatusThread(mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                                         TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port)
    : TDVXCOMThread(" Status Thread", queue, platform, device, std::move(indicator), std::move(report), port) {
  CreateEvents("TDVXCOMStatusThread", {&waitEvent_});
  Start();
}

TDVXCOMStatusThread::~TDVXCOMStatusThread() {
  Terminate();
  if (waitEvent_) {
    if (const mv::PlatformResult r = platform_.SetEvent(waitEvent_); !r)
      ReportNow(rtError, "~TDVXCOMStatusThread", "SetEvent", __FILE__, __LINE__, r.err);
  }
  WaitFor();
  if (waitEvent_) {
    if (const mv::PlatformResult r = platform_.CloseEvent(waitEvent_); !r)
      ReportNow(rtError, "~TDVXCOMStatusThread", "CloseHandle", __FILE__, __LINE__, r.err);
    waitEvent_ = nullptr;
  }
}

void TDVXCOMStatusThread::Execute() {
  for (;;) {
    if (Terminated()) return;  // never start a wait that nothing would end
    std::uint32_t mask = 0;
    const mv::PlatformResult r = platform_.WaitCommEvent(device_, waitEvent_, mask);
    if (Terminated()) return;
    if (!r) {
      // A device without modem lines (a pseudo-terminal) is no failure: the
      // platform then watches breaks and line errors only, and the port has
      // said so at open.
      SyncReport(rtError, "Execute", "WaitCommEvent", __FILE__, __LINE__, r.err, FailureCode(r.err));
      return;
    }
    if (mask == 0) continue;
    eventMask_ = mask;
    ProcessStatusEvnt();
  }
}

void TDVXCOMStatusThread::ProcessStatusEvnt() {
  TDVXCOMPort* port = port_;
  void* self = this;
  const std::uint32_t mask = eventMask_;
  if (mask & mv::kEvBreak) {
    Synchronize([=] {
      if (port->OnRxBreak) port->OnRxBreak(self);
      port->Indicator(itBRK, true);
      port->Indicator(itBRK, false);
    });
  }
  if (mask & mv::kEvErr) {
    std::uint32_t errors = 0;
    if (const mv::PlatformResult r = platform_.ClearCommError(device_, errors); !r) {
      SyncReport(rtError, "ProcessStatusEvnt", "ClearCommError", __FILE__, __LINE__, r.err);
    } else if (errors & (mv::kCeFrame | mv::kCeOverrun | mv::kCeRxParity)) {
      Synchronize([=] {
        if (port->OnRxError) port->OnRxError(self);
        port->Indicator(itERR, true);
        port->Indicator(itERR, false);
      });
    }
  }
  // The lines are read on the GUI thread, after the change.
  if (mask & mv::kEvCts) {
    Synchronize([=] {
      bool level = false;
      port->GetCTS(level);
      if (port->OnCTS) port->OnCTS(self, level);
      port->Indicator(itCTS, level);
    });
  }
  if (mask & mv::kEvDsr) {
    Synchronize([=] {
      bool level = false;
      port->GetDSR(level);
      if (port->OnDSR) port->OnDSR(self, level);
      port->Indicator(itDSR, level);
    });
  }
  if (mask & mv::kEvRing) {
    Synchronize([=] {
      bool level = false;
      port->GetRI(level);
      if (port->OnRI) port->OnRI(self, level);
      port->Indicator(itRI, level);
    });
  }
  if (mask & mv::kEvRlsd) {
    Synchronize([=] {
      bool level = false;
      port->GetCD(level);
      if (port->OnCD) port->OnCD(self, level);
      port->Indicator(itCD, level);
    });
  }
}

}  // namespace PLKDVX
