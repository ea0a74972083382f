// The control/status window end to end: its buttons drive the request engine
// over a real serial port to the simulated drive on a pseudo-terminal, whose
// frame trace shows what arrived at the drive.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "control/ui/TControlStatusForm.h"
#include "control/ui/round_lamp.h"
#include "link/engine.h"
#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "support/qt_find.h"
#include "support/sim_link.h"
#include "support/sim_process.h"
#include "support/test_support.h"

using namespace mv::ui;  // the windows

namespace {

// morvane-sim --trace in the background: its terminal path and its trace.
using Sim = mvtest::TracedSim;

TEST(ControlStatusWithSimulatedDrive, ButtonsReachTheDriveAndStatusComesBack) {
  Sim sim;
  ASSERT_FALSE(sim.Path().empty()) << "morvane-sim did not start";

  mvtest::SimLink link(sim.Path());
  mv::HeadlessLoop& loop = link.loop;
  PLKDVX::TDVXCOMPort& serial = link.serial;
  mv::RequestEngine& engine = link.engine;
  ASSERT_TRUE(serial.Open());

  TControlStatusForm form;
  form.SetRequests(link.session.Control());
  form.show();
  auto click = [&](const char* name) {
    mvtest::Find<QPushButton>(&form, QString::fromLatin1(name))->click();
    ASSERT_TRUE(loop.RunUntil([&] { return !engine.Busy(); }, std::chrono::seconds(3))) << name;
  };

  click("MotorSpeedButton");
  click("StartButton");
  loop.RunFor(std::chrono::milliseconds(100));
  click("GetStatusButton");
  EXPECT_EQ(engine.LastOutcome(), mv::RequestOutcome::Completed);
  const mv::LinkCounters c = engine.Counters();
  EXPECT_EQ(c.tx, 11u);
  EXPECT_EQ(c.rx, 11u);
  EXPECT_EQ(c.to + c.errs + c.busy, 0u);

  // The started drive reports Start/Stop and a connected motor.
  const QString status = mvtest::Find<QLineEdit>(&form, QStringLiteral("StatusLabeledEdit"))->text();
  bool ok = false;
  const unsigned word = status.toUInt(&ok, 16);
  ASSERT_TRUE(ok) << status.toStdString();
  EXPECT_EQ(status.size(), 4);
  EXPECT_TRUE(word & 0x0002) << status.toStdString();
  EXPECT_EQ(mvtest::Find<mv::ui::RoundLamp>(&form, QStringLiteral("StatusStartStopShape"))->Fill(), QColor(0, 128, 0));

  // "Torque (NM)" shows newton metres: what the power and speed shown give.
  auto field = [&](const char* name) {
    return mvtest::Find<QLineEdit>(&form, QString::fromLatin1(name))->text().toDouble();
  };
  const double speed = field("MotorSpeedLabeledEdit");
  ASSERT_GT(speed, 0);
  EXPECT_NEAR(field("MotorTorqueLabeledEdit"), field("PhasePowerLabeledEdit") / (speed * 2 * M_PI / 60.0), 1.0);

  serial.Close();
  sim.Stop();
  const std::string trace = sim.Trace();
  EXPECT_NE(trace.find("rx 01 58 02\n"), std::string::npos) << "6000 RPM arrives as 0x58 0x02\n" << trace;
  EXPECT_NE(trace.find("rx 24\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("rx F1 00 00\n"), std::string::npos) << trace;
}

// Stop clicked while the continuous poll has a request in flight reaches the
// drive every time: it is sent as soon as the step in flight has ended.
TEST(ControlStatusWithSimulatedDrive, EveryStopReachesTheDriveDuringContinuousPolling) {
  Sim sim({"--baud", "115200"});  // keeps the line's pace
  ASSERT_FALSE(sim.Path().empty()) << "morvane-sim did not start";
  mvtest::SimLink link(sim.Path());
  ASSERT_TRUE(link.serial.Open());
  TControlStatusForm form;
  form.SetRequests(link.session.Control());
  form.show();
  auto run = [&](std::chrono::milliseconds ms) {
    const auto end = std::chrono::steady_clock::now() + ms;
    while (std::chrono::steady_clock::now() < end) {
      QApplication::processEvents();
      link.loop.RunFor(std::chrono::milliseconds(1));
    }
  };
  auto* stop = form.findChild<QPushButton*>(QStringLiteral("StopButton"));
  ASSERT_NE(stop, nullptr);
  form.findChild<QCheckBox*>(QStringLiteral("RepeatEnableCheckBox"))->setChecked(true);
  form.findChild<QLineEdit*>(QStringLiteral("StatusUpdatePerLabeledEdit"))->setText(QStringLiteral("200"));
  form.findChild<QPushButton*>(QStringLiteral("GetStatusButton"))->click();
  constexpr int kClicks = 20;
  int whileBusy = 0;
  for (int i = 0; i < kClicks; ++i) {
    // Into a poll, a little further each time.
    for (int w = 0; w < 400 && !link.engine.Busy(); ++w) run(std::chrono::milliseconds(1));
    run(std::chrono::milliseconds(i % 4));
    whileBusy += link.engine.Busy() ? 1 : 0;
    const std::uint32_t busyBefore = link.engine.Counters().busy;
    stop->click();
    EXPECT_EQ(link.engine.Counters().busy, busyBefore) << "Stop " << i << " refused";
    run(std::chrono::milliseconds(30));
  }
  form.findChild<QCheckBox*>(QStringLiteral("RepeatEnableCheckBox"))->setChecked(false);
  run(std::chrono::milliseconds(300));
  ASSERT_TRUE(link.loop.RunUntil([&] { return !link.engine.Busy(); }, std::chrono::seconds(5)));
  EXPECT_GE(whileBusy, kClicks / 2);  // the case that matters was met
  link.serial.Close();
  sim.Stop();
  const std::string trace = sim.Trace();
  EXPECT_EQ(mvtest::Count(trace, "rx 25\n"), kClicks) << trace;
}

}  // namespace
