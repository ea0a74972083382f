// The main window's test fixture: a window with scripted prompts, a report
// log in a temporary folder and a temporary port map (COMn links), plus an
// event-loop wait.
#pragma once

#include <stdlib.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/ui/log_window.h"
#include "app/ui/main_form.h"
#include "support/scripted_prompts.h"
#include "support/test_support.h"

namespace mainform {

using mv::ui::TMainForm;

// Runs the event loop, as the application does, until done() or the time is up.
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

class MainFormFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("MORVANE_PORT_MAP", map.Path().c_str(), 1);
    form = std::make_unique<TMainForm>(&prompts, platform, QString::fromStdString(logs.File("host.log")));
  }
  void TearDown() override {
    form.reset();
    unsetenv("MORVANE_PORT_MAP");
  }

  // The report log's lines, one per line.
  std::string LogText() const {
    std::string out;
    for (const QString& l : form->LogWindow->Lines()) out += l.toStdString() + "\n";
    return out;
  }
  // Panels 1..10 as one line.
  std::string Counters() const {
    std::string out;
    for (int i = 1; i < TMainForm::kPanelCount; ++i) out += (i > 1 ? " " : "") + form->PanelText(i).toStdString();
    return out;
  }

  mvtest::TempDir map;
  mvtest::TempDir logs;
  mvtest::ScriptedPrompts prompts;
  std::shared_ptr<mv::SerialPlatform> platform;  // set before SetUp; null = the real devices
  std::unique_ptr<TMainForm> form;
};

}  // namespace mainform
