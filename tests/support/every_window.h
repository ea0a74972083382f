// Opens every window of the program as a user does, from the main window's
// menus and buttons (modal ones inside the window that opened them), and
// hands each to a check while it is up, with the window it was opened from.
// MV_SCREENSHOTS=DIR also keeps a picture of the screen with each window up
// (X11: ImageMagick's import; Wayland: weston-screenshooter, which needs
// weston started with --debug as tests/wayland/with-weston does then).
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <functional>
#include <string>

#include "app/ui/link_trace_window.h"
#include "app/ui/log_window.h"
#include "app/ui/main_form.h"
#include "control/ui/TControlStatusForm.h"
#include "control/ui/status_plot.h"
#include "support/qt_wait.h"

namespace mvtest {

struct OpenWindow {
  QWidget* window;
  QWidget* opener;  // null for the main window
  std::string name;
};
using WindowCheck = std::function<void(const OpenWindow&)>;

inline bool Exposed(QWidget* w) { return w->isVisible() && w->windowHandle() && w->windowHandle()->isExposed(); }

inline void Screenshot(const std::string& name) {
  const QString dir = qEnvironmentVariable("MV_SCREENSHOTS");
  if (dir.isEmpty()) return;
  WaitFor([] { return false; }, 400);  // painted and placed
  static int n = 0;
  const QString file = QStringLiteral("%1/%2-%3.png")
                           .arg(dir)
                           .arg(++n, 2, 10, QLatin1Char('0'))
                           .arg(QString::fromStdString(name)
                                    .replace(QLatin1Char(' '), QLatin1Char('-'))
                                    .replace(QLatin1Char('/'), QLatin1Char('-')));
  if (QGuiApplication::platformName() == QLatin1String("wayland")) {
    QProcess shot;
    shot.setWorkingDirectory(dir);
    shot.start(QStringLiteral("weston-screenshooter"), {});
    WaitFor([&] { return shot.state() == QProcess::NotRunning; }, 5000);
    QDir d(dir);
    const QStringList made = d.entryList({QStringLiteral("wayland-screenshot*.png")}, QDir::Files, QDir::Time);
    if (!made.isEmpty()) d.rename(made.front(), file);
  } else {
    QProcess::execute(QStringLiteral("import"), {"-window", "root", file});
  }
}

// Opens a modal window with `open` (which returns when it closes), checks it,
// runs `inside` on it, then closes it.
inline void WhileModal(const std::function<void()>& open, QWidget* opener, const std::string& name,
                       const WindowCheck& check, const std::function<void(QWidget*)>& inside = {}) {
  QWidget* before = QApplication::activeModalWidget();
  bool seen = false;
  QTimer up;  // stopped with this scope, also when nothing opened
  up.setSingleShot(true);
  QObject::connect(&up, &QTimer::timeout, [&] {
    QWidget* w = nullptr;
    WaitFor([&] {
      w = QApplication::activeModalWidget();
      return w != nullptr && w != before && Exposed(w);
    });
    if (w == nullptr || w == before) return;
    seen = true;
    check({w, opener, name});
    Screenshot(name);
    if (inside) inside(w);
    if (auto* d = qobject_cast<QDialog*>(w))
      d->done(QDialog::Rejected);
    else
      w->close();
  });
  up.start(0);
  open();
  EXPECT_TRUE(seen) << name << " did not open";
}

inline void Click(QWidget* in, const char* name) {
  auto* b = in->findChild<QAbstractButton*>(QString::fromLatin1(name));
  ASSERT_NE(b, nullptr) << "no button " << name;
  b->click();
}

// COM1 must stand for no device (its open fails with a message box).
inline void OpenEveryWindow(mv::ui::TMainForm& main, const WindowCheck& check) {
  main.show();
  ASSERT_TRUE(WaitFor([&] { return Exposed(&main); })) << "the main window did not show";
  check({&main, nullptr, "main window"});
  Screenshot("main window");

  main.Log1->trigger();
  ASSERT_TRUE(WaitFor([&] { return Exposed(main.LogWindow); })) << "the report log did not show";
  check({main.LogWindow, &main, "Report Log"});
  Screenshot("Report Log");
  main.LogWindow->close();

  main.LinkTrace1->trigger();
  ASSERT_TRUE(WaitFor([&] { return Exposed(main.LinkTraceWindow); })) << "the link trace did not show";
  check({main.LinkTraceWindow, &main, "Link Trace"});
  Screenshot("Link Trace");
  main.LinkTraceWindow->close();

  WhileModal([&] { main.About1->trigger(); }, &main, "About", check);
  WhileModal([&] { main.Settings1->trigger(); }, &main, "COM Port Settings", check);
  main.DVXCOMPort.SetPort1(1);
  WhileModal([&] { main.Open1->trigger(); }, &main, "message box", check);
  WhileModal([&] { main.Slots[0].LoadFromINIButton->click(); }, &main, "file dialog", check);
  WhileModal([&] { main.CreateSPLFile1->trigger(); }, &main, "Create SPL File", check);
  WhileModal([&] { main.Compare1->trigger(); }, &main, "Compare Profiles", check);
  WhileModal([&] { main.Slots[0].EditButton->click(); }, &main, "Motor Profile Editor", check,
             [&](QWidget* editor) {
               auto* type = editor->findChild<QComboBox*>(QStringLiteral("MotTypeComboBox"));
               ASSERT_NE(type, nullptr);
               type->setCurrentIndex(1);  // AC: "V/F Data" applies
               WhileModal([&] { Click(editor, "VFDataBitBtn"); }, editor, "V/F Data", check);
             });
  WhileModal(
      [&] { main.ControlStatus1->trigger(); }, &main, "Motor Control/Status", check,
      [&](QWidget* control) {
        auto* form = static_cast<mv::ui::TControlStatusForm*>(control);
        const struct {
          const char* button;
          QWidget* (*window)(mv::ui::TControlStatusForm*);
          const char* name;
        } opened[] = {
            {"PlotButton", [](mv::ui::TControlStatusForm* f) -> QWidget* { return f->PlotForm(); }, "Status Plot"},
            {"TraceButton", [](mv::ui::TControlStatusForm* f) { return f->TraceWindow(); },
             "Link Trace of Control/Status"},
        };
        for (const auto& o : opened) {
          Click(control, o.button);
          QWidget* window = o.window(form);
          ASSERT_NE(window, nullptr) << o.name;
          ASSERT_TRUE(WaitFor([&] { return Exposed(window); })) << o.name << " did not show";
          check({window, control, o.name});
          std::string file = o.name;
          std::replace(file.begin(), file.end(), '/', '-');
          Screenshot(file);
          window->close();
        }
      });
}

}  // namespace mvtest
