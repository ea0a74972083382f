// The desktop program: application title, the main window, the message loop.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/ui/log_window.h"
#include "app/ui/main_form.h"
#include "app/ui/report_log_file.h"

using namespace mv::ui;  // the windows

namespace {

bool HaveDisplay() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

// Shows an exception that reached the top level, as the standard exception box would.
class HostApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* e) override {
    try {
      return QApplication::notify(receiver, e);
    } catch (const std::exception& ex) {
      QMessageBox::critical(nullptr, applicationName(), QString::fromLocal8Bit(ex.what()));
    } catch (...) {
      QMessageBox::critical(nullptr, applicationName(), QStringLiteral("Unknown error"));
    }
    exit(1);
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (!HaveDisplay()) {
    std::fprintf(stderr,
                 "morvane-host: no display (DISPLAY and WAYLAND_DISPLAY are not set).\n"
                 "Run it on a desktop session, or without one under a virtual X server:\n"
                 "  xvfb-run -a %s\n",
                 argc > 0 ? argv[0] : "morvane-host");
    return 1;
  }
  HostApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(TMainForm::kApplicationTitle));
  TMainForm MainForm(nullptr, nullptr, QString::fromStdString(mv::DefaultReportLogPath()));
  // The control/status window lives hidden for the whole run.
  MainForm.CreateControlStatusForm();
  MainForm.show();
  // Start-up benchmark (bench/startup.cpp): say when the window is shown and
  // leave without closing it, so no close handling (and no question) runs.
  if (const char* probe = std::getenv("MORVANE_STARTUP_PROBE"); probe != nullptr && std::strcmp(probe, "1") == 0)
    QTimer::singleShot(0, &app, [] {
      std::printf("startup-probe: window shown\n");
      std::fflush(stdout);
      QCoreApplication::exit(0);
    });
  return app.exec();
}
