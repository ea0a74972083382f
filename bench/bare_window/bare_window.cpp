// The start-up benchmark's reference: the barest Qt Widgets window, built with
// the same compiler, flags and Qt as morvane-host. With MORVANE_STARTUP_PROBE=1
// it prints "startup-probe: window shown" once the window is shown, then quits,
// exactly as the host does.
#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("Bare window"));
  window.resize(539, 431);
  window.show();
  if (const char* probe = std::getenv("MORVANE_STARTUP_PROBE"); probe != nullptr && std::strcmp(probe, "1") == 0)
    QTimer::singleShot(0, &app, [] {
      std::printf("startup-probe: window shown\n");
      std::fflush(stdout);
      QCoreApplication::quit();
    });
  return app.exec();
}
