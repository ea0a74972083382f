// Timer seam: the request engine, the control window's poll and the lamps use
// this one-shot/periodic timer. The desktop app implements it on QTimer, the
// command-line tool on its headless loop, tests with a fake they fire by hand.
#pragma once

#include <functional>

namespace mv {

class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetInterval(int ms) = 0;
  virtual int Interval() const = 0;
  // Enabling (re)starts the interval from now; disabling stops it.
  virtual void SetEnabled(bool on) = 0;
  virtual bool Enabled() const = 0;
  // Called on the GUI thread each time the interval passes while enabled.
  std::function<void()> OnTimer;
};

}  // namespace mv
