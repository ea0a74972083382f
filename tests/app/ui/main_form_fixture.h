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
#include "support/qt_wait.h"
#include "support/scripted_prompts.h"
#include "support/test_support.h"

namespace mainform {

using mv::ui::TMainForm;

using mvtest::WaitFor;

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
