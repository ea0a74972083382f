#include "core/ui/qt_timer.h"

namespace mv {

QtTimer::QtTimer(QObject* parent) : timer_(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setSingleShot(false);
  timer_.setInterval(1000);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (OnTimer) OnTimer();
  });
}

QtTimer::~QtTimer() { timer_.stop(); }

void QtTimer::SetInterval(int ms) { timer_.setInterval(ms < 0 ? 0 : ms); }

int QtTimer::Interval() const { return timer_.interval(); }

void QtTimer::SetEnabled(bool on) {
  if (on)
    timer_.start();  // (re)starts the interval from now
  else
    timer_.stop();
}

bool QtTimer::Enabled() const { return timer_.isActive(); }

std::unique_ptr<Timer> MakeQtTimer() { return std::make_unique<QtTimer>(); }

}  // namespace mv
