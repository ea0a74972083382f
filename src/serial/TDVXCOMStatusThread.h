// Status worker: waits for line events (break, line errors, modem-line
// changes) and hands each to the GUI thread.
#pragma once

#include "serial/TDVXCOMThread.h"

namespace PLKDVX {

class TDVXCOMStatusThread : public TDVXCOMThread {
 public:
  TDVXCOMStatusThread(mv::GuiCallQueue& queue, mv::SerialPlatform& platform, mv::DeviceHandle device,
                      TIndicatorCallback indicator, TReportCallback report, TDVXCOMPort* port);
  ~TDVXCOMStatusThread() override;

 protected:
  void Execute() override;

 private:
  void ProcessStatusEvnt();
  mv::EventHandle waitEvent_ = nullptr;
  std::uint32_t eventMask_ = 0;
};

}  // namespace PLKDVX
