// Waiting in a window test: the Qt event loop runs, as in the application,
// until a condition holds or the time is up.
#pragma once

#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace mvtest {

inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  if (done()) return true;
  QEventLoop loop;
  QTimer tick;
  QTimer deadline;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  deadline.setSingleShot(true);
  tick.start(5);
  deadline.start(ms);
  loop.exec();
  return done();
}

}  // namespace mvtest
