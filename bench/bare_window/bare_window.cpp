// The start-up benchmark's reference: the barest Qt Widgets window, built with
// the same compiler, flags and Qt as morvane-host. It shows one line of text:
// the first text a program lays out loads the font database (about 6 ms and
// a few MiB here), a cost every window with a caption or a label pays, so an
// empty window would not be a fair reference. With MORVANE_STARTUP_PROBE=1 it
// prints "startup-probe: window shown" once the window is shown, then quits,
// exactly as the host does.
#include <QApplication>
#include <QLabel>
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
  QLabel label(QStringLiteral("Bare window"), &window);
  label.move(8, 8);
  window.show();
  if (const char* probe = std::getenv("MORVANE_STARTUP_PROBE"); probe != nullptr && std::strcmp(probe, "1") == 0)
    QTimer::singleShot(0, &app, [] {
      std::printf("startup-probe: window shown\n");
      std::fflush(stdout);
      QCoreApplication::exit(0);  // leaves the window open: no close handling runs
    });
  return app.exec();
}
