// The windows on Wayland (run by tests/wayland/with-weston: weston's headless
// compositor, Qt's Wayland plugin). There a window can neither place itself
// nor stay on top: only its transient parent keeps it with the window it was
// opened from. Every window is opened as a user does and must belong to its
// opener, be wide enough for its title in the client-side title bar, and Qt
// must print no warning on the way.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QWindow>
#include <mutex>
#include <string>
#include <vector>

#include "app/ui/main_form.h"
#include "support/every_window.h"
#include "support/test_support.h"

namespace {

std::mutex warningsLock;
std::vector<std::string> warnings;

void KeepWarnings(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type == QtDebugMsg || type == QtInfoMsg) return;
  std::lock_guard<std::mutex> hold(warningsLock);
  warnings.push_back(text.toStdString());
}

TEST(OnWayland, EveryWindowBelongsToItsOpenerShowsItsTitleAndQtWarnsOfNothing) {
  ASSERT_EQ(QGuiApplication::platformName().toStdString(), "wayland");
  QApplication::setApplicationName(QString::fromLatin1(mv::ui::TMainForm::kApplicationTitle));  // the boxes' title
  mvtest::TempDir map;
  mvtest::TempDir logs;
  setenv("MORVANE_PORT_MAP", map.Path().c_str(), 1);
  // COM1 stands for a device that is not there: its open fails with a box.
  ASSERT_EQ(symlink(map.File("none").c_str(), map.File("COM1").c_str()), 0);
  warnings.clear();
  const QtMessageHandler previous = qInstallMessageHandler(KeepWarnings);
  {
    mv::ui::TMainForm main(nullptr, nullptr, QString::fromStdString(logs.File("host.log")));
    mvtest::OpenEveryWindow(main, [](const mvtest::OpenWindow& w) {
      QWindow* handle = w.window->windowHandle();
      ASSERT_NE(handle, nullptr) << w.name;
      QWindow* expected = w.opener ? w.opener->windowHandle() : nullptr;
      EXPECT_EQ(handle->transientParent(), expected) << w.name << " does not belong to the window it was opened from";
      // Qt's title bar centres the title by its width in the application's
      // font, draws it in 14-pixel type and cuts it 77 pixels short of the
      // right edge (three 18-pixel buttons, their spacing and margin).
      const QString title = w.window->windowTitle();
      QFont drawn = QApplication::font();
      drawn.setPixelSize(14);
      const int bar = w.window->frameGeometry().width();
      const int start = (bar - QFontMetrics(QApplication::font()).horizontalAdvance(title)) / 2;
      EXPECT_LE(start + QFontMetrics(drawn).horizontalAdvance(title), bar - 77)
          << w.name << ": the title \"" << title.toStdString() << "\" is cut";
    });
  }
  qInstallMessageHandler(previous);
  unsetenv("MORVANE_PORT_MAP");
  std::string all;
  for (const std::string& w : warnings) all += w + "\n";
  EXPECT_TRUE(warnings.empty()) << "Qt warned:\n" << all;
}

}  // namespace
