// The control/status window end to end: its buttons drive the request engine
// over a real serial port to the simulated drive on a pseudo-terminal, whose
// frame trace shows what arrived at the drive.
#include <gtest/gtest.h>

#include <QApplication>
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

}  // namespace
