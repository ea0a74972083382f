// mv::Timer on a QTimer (precise), for the engine, the lamps and the windows.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "core/timer.h"

namespace mv {

class QtTimer : public Timer {
 public:
  explicit QtTimer(QObject* parent = nullptr);
  ~QtTimer() override;
  void SetInterval(int ms) override;
  int Interval() const override;
  void SetEnabled(bool on) override;
  bool Enabled() const override;

 private:
  QTimer timer_;
};

// Factory for components that make their own timers (the lamps).
std::unique_ptr<Timer> MakeQtTimer();

}  // namespace mv
