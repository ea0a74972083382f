// The control window's additions: the status log ("Record"), the live plot,
// the link health row with the port's lamps, and an unclipped layout. Polls
// are answered by calling the step handlers of the requests a fake sender
// recorded; the last test runs continuous polling against the simulated drive.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest/QTest>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "control/ui/TControlStatusForm.h"
#include "control/ui/status_plot.h"
#include "link/engine.h"
#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "serial/ui/TDVXCOMIndicator.h"
#include "support/qt_find.h"
#include "support/scripted_prompts.h"
#include "support/sim_link.h"
#include "support/sim_process.h"
#include "support/test_support.h"

using namespace mv::ui;  // the windows

namespace {

using Bytes = std::vector<std::uint8_t>;

struct FakeSender {
  std::vector<std::pair<const mv::RequestStep*, std::uint32_t>> sent;
  std::vector<const mv::RequestCompletion*> done;
  std::int64_t roundTripNs = -1;
  static mv::RequestOutcome Send(void* o, const mv::RequestStep* steps, std::uint32_t count, mv::RequestPriority,
                                 const mv::RequestCompletion* done) {
    static_cast<FakeSender*>(o)->sent.emplace_back(steps, count);
    static_cast<FakeSender*>(o)->done.push_back(done);
    return mv::RequestOutcome::Pending;
  }
  static bool Busy(const void*) { return false; }
  static std::int64_t RoundTrip(const void* o) { return static_cast<const FakeSender*>(o)->roundTripNs; }
  mv::RequestSender Sender() { return mv::RequestSender{&Send, this, &Busy, &RoundTrip}; }
};

std::size_t CountLines(const std::string& s) { return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')); }

class ControlAdditionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    requests.SetRequestSender(fake.Sender());
    form.SetRequests(requests);
    form.SetPrompts(&prompts);
    form.show();
    QApplication::processEvents();
  }

  template <class T>
  T* Child(const char* name) {
    return mvtest::Find<T>(&form, name);
  }

  // One "Get" answered: the first `steps` steps get two-byte values, the
  // speed step (raw) carries `speedRaw`.
  void Poll(std::uint16_t speedRaw, std::uint32_t steps = 9) {
    Child<QPushButton>("GetStatusButton")->click();
    AnswerLast(speedRaw, steps);
  }
  void AnswerLast(std::uint16_t speedRaw, std::uint32_t steps = 9) {
    ASSERT_FALSE(fake.sent.empty());
    const mv::RequestStep* table = fake.sent.back().first;
    for (std::uint32_t i = 0; i < steps; ++i) {
      const std::uint16_t v = i == 1 ? speedRaw : static_cast<std::uint16_t>(10 + i);
      const Bytes payload{static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)};
      table[i].handler(table[i], mv::Response{0x07, payload.data(), 2});
    }
    // All nine answered: completed; fewer: the next one never came.
    const mv::RequestEnd end{steps == 9 ? mv::RequestOutcome::Completed : mv::RequestOutcome::Timeout,
                             steps == 9 ? 9 : steps + 1, 9, true};
    if (fake.done.back() != nullptr) (*fake.done.back())(end);
  }

  FakeSender fake;
  mv::ControlStatusRequests requests;  // the tables the drive session would hand over
  mvtest::ScriptedPrompts prompts;
  TControlStatusForm form;
};

}  // namespace

TEST_F(ControlAdditionsTest, LayoutKeepsEveryControlWholeAndNamed) {
  for (QWidget* w : form.findChildren<QWidget*>()) {
    if (!w->isVisible() || w->isWindow()) continue;
    const QString name = w->objectName();
    // Inside its parent, and at least as large as it asks to be.
    EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << name.toStdString();
    if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
      EXPECT_GE(w->width(), w->sizeHint().width()) << name.toStdString();
    }
  }
  for (auto* lamp : form.findChildren<PLKDVX::TDVXCOMIndicator*>())
    EXPECT_FALSE(lamp->accessibleName().isEmpty()) << lamp->objectName().toStdString();
  EXPECT_TRUE(fake.sent.empty()) << "the additions send nothing by themselves";
  // The link row lies below the original controls, so nothing of them moved up or left.
  EXPECT_GT(Child<QGroupBox>("LinkHealthGroupBox")->geometry().top(),
            Child<QPushButton>("GetStatusButton")->geometry().bottom());
}

TEST_F(ControlAdditionsTest, RecordLogsEachCompletedPollAndStopsCleanly) {
  mvtest::TempDir dir;
  const std::string log = dir.File("status.csv");
  auto* record = Child<QCheckBox>("RecordCheckBox");

  prompts.paths.push_back(log);
  record->click();
  ASSERT_TRUE(record->isChecked()) << prompts.LastMessage();

  Poll(600);
  Poll(700, 5);  // a poll abandoned after five steps is not a line
  Poll(800);
  std::string text = mvtest::ReadFile(log);
  ASSERT_EQ(CountLines(text), 3u) << text;
  EXPECT_NE(text.find(",6000,"), std::string::npos) << text;
  EXPECT_NE(text.find(",8000,"), std::string::npos) << text;
  EXPECT_EQ(text.find(",7000,"), std::string::npos) << text;

  record->click();  // off: the log is closed, later polls are not logged
  EXPECT_FALSE(form.StatusLog().IsOpen());
  Poll(900);
  EXPECT_EQ(mvtest::ReadFile(log), text);

  // Cancel in the file dialog: nothing recorded, the box stays off.
  record->click();
  EXPECT_FALSE(record->isChecked());
  EXPECT_FALSE(form.StatusLog().IsOpen());

  // A file that is not a status log: message, box off, file untouched.
  const std::string other = dir.File("notes.csv");
  mvtest::WriteFile(other, "a,b\n1,2\n");
  prompts.paths.push_back(other);
  record->click();
  EXPECT_FALSE(record->isChecked());
  EXPECT_NE(prompts.LastMessage().find("is not a status log"), std::string::npos) << prompts.LastMessage();
  Poll(600);
  EXPECT_EQ(mvtest::ReadFile(other), "a,b\n1,2\n");
}

TEST_F(ControlAdditionsTest, RecordWriteFailureTurnsRecordingOffWithAMessage) {
  mvtest::TempDir dir;
  const std::string log = dir.File("status.csv");
  prompts.paths.push_back(log);
  auto* record = Child<QCheckBox>("RecordCheckBox");
  record->click();
  ASSERT_TRUE(record->isChecked());
  // A file size limit at the current size makes the next line's write fail.
  Poll(600);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit low = old;
  low.rlim_cur = mvtest::ReadFile(log).size();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  Poll(700);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(record->isChecked());
  EXPECT_FALSE(form.StatusLog().IsOpen());
  EXPECT_TRUE(prompts.messages.empty()) << "no message box inside the step handler";
  QApplication::processEvents();
  EXPECT_NE(prompts.LastMessage().find("cannot write to the status log"), std::string::npos) << prompts.LastMessage();
  EXPECT_EQ(CountLines(mvtest::ReadFile(log)), 2u);
}

TEST_F(ControlAdditionsTest, PlotShowsTheHistoryWithWindowPauseAndAutoscale) {
  for (std::uint16_t raw : {300, 450, 600}) Poll(raw);
  EXPECT_EQ(form.History().Size(), 3u);

  Child<QPushButton>("PlotButton")->click();
  TStatusPlotForm* plotForm = form.PlotForm();
  ASSERT_NE(plotForm, nullptr);
  EXPECT_TRUE(plotForm->isVisible());
  mv::ui::StatusPlotWidget* plot = plotForm->Plot();
  mv::ValueRange r = plot->LaneRange(mv::PlotSeries::Speed);
  EXPECT_LE(r.min, 3000);
  EXPECT_GE(r.max, 6000);
  EXPECT_LT(r.max - r.min, 4000) << "the lane spans the values, not a fixed full scale";

  auto* window = mvtest::Find<QComboBox>(plotForm, "TimeWindowComboBox");
  window->setCurrentIndex(5);
  EXPECT_EQ(plot->WindowSeconds(), 600);
  Poll(650);  // repaints are throttled: a poll only arms the repaint timer
  EXPECT_TRUE(plotForm->RepaintTimer().isActive());

  // Pause holds the view; autoscale off holds the scales.
  mvtest::Find<QCheckBox>(plotForm, QStringLiteral("PauseCheckBox"))->click();
  const double end = plot->EndTime();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Poll(2000);
  EXPECT_EQ(plot->EndTime(), end);
  EXPECT_LT(plot->LaneRange(mv::PlotSeries::Speed).max, 20000) << "points after the pause do not scale the lane";
  mvtest::Find<QCheckBox>(plotForm, QStringLiteral("PauseCheckBox"))->click();
  EXPECT_GE(plot->LaneRange(mv::PlotSeries::Speed).max, 20000);
  mvtest::Find<QCheckBox>(plotForm, QStringLiteral("AutoscaleCheckBox"))->click();
  const mv::ValueRange held = plot->LaneRange(mv::PlotSeries::Speed);
  Poll(5000);
  EXPECT_EQ(plot->LaneRange(mv::PlotSeries::Speed).max, held.max);

  // The drawing shows the speed line in its colour (antialiased) in its lane.
  window->setCurrentIndex(0);
  const QImage image = plot->grab().toImage();
  int speedPixels = 0;
  for (int y = 0; y < image.height() / 6; ++y)
    for (int x = 128; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.blue() > 150 && c.red() < 100 && c.green() < 160) ++speedPixels;
    }
  EXPECT_GT(speedPixels, 0);

  // Clear empties the history; closing the control window hides the plot.
  mvtest::Find<QPushButton>(plotForm, QStringLiteral("ClearButton"))->click();
  EXPECT_TRUE(form.History().Empty());
  form.close();
  EXPECT_FALSE(plotForm->isVisible());
}

// The axis reads "-60 s ... 0 s": while the window fills, the newest poll is
// drawn at "0 s" at the right edge (not the first one at the left edge).
TEST_F(ControlAdditionsTest, NewestPollIsDrawnAtZeroSecondsWhileTheWindowFills) {
  Poll(300);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Poll(600);
  Child<QPushButton>("PlotButton")->click();
  mv::ui::StatusPlotWidget* plot = form.PlotForm()->Plot();
  EXPECT_EQ(plot->EndTime(), form.History().LatestTime());
  plot->resize(700, 6 * 64 + 22);
  const QImage image = plot->grab().toImage();
  int rightmost = -1;
  for (int y = 0; y < image.height() / 6; ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.blue() > 150 && c.red() < 100 && c.green() < 160) rightmost = std::max(rightmost, x);
    }
  const int areaRight = image.width() - 64;  // the lane scale is right of the plot area
  EXPECT_GE(rightmost, areaRight - 4) << "the newest speed is drawn at x " << rightmost << ", the area ends at "
                                      << areaRight;
}

TEST_F(ControlAdditionsTest, RoundTripAndPollRateAreShown) {
  fake.roundTripNs = 12'345'678;
  Poll(600);
  EXPECT_EQ(Child<QLabel>("RoundTripLabel")->text(), QStringLiteral("12.3 ms"));
  EXPECT_EQ(Child<QLabel>("PollRateLabel")->text(), QStringLiteral("-")) << "no rate without continuous polling";

  Child<QCheckBox>("RepeatEnableCheckBox")->setChecked(true);
  Poll(600);  // "Get" starts the timer
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  form.TimerTimer();
  AnswerLast(600);
  const QString rate = Child<QLabel>("PollRateLabel")->text();
  EXPECT_TRUE(rate.endsWith(QStringLiteral(" /s of 4.0 /s"))) << rate.toStdString();
  Child<QCheckBox>("RepeatEnableCheckBox")->setChecked(false);
  form.TimerTimer();  // the next tick stops the timer
  EXPECT_EQ(Child<QLabel>("PollRateLabel")->text(), QStringLiteral("-"));
}

TEST(ControlPortLamps, LinkedThroughThePortWithAVisiblePulse) {
  mv::HeadlessLoop loop;
  PLKDVX::TDVXCOMPort port(loop.Queue());
  auto form = std::make_unique<TControlStatusForm>();
  form->SetPort(&port);
  auto* rx = form->findChild<PLKDVX::TDVXCOMIndicator*>(QStringLiteral("RXIndicator"));
  auto* cts = mvtest::Find<PLKDVX::TDVXCOMIndicator>(form.get(), "CTSIndicator");
  ASSERT_NE(rx, nullptr);
  EXPECT_EQ(port.GetRXIndicator(), rx);
  EXPECT_EQ(port.GetCTSIndicator(), cts);
  EXPECT_NE(port.GetDTRIndicator(), nullptr);
  EXPECT_NE(port.GetBRKIndicator(), nullptr);

  // A single received byte: on then off at once; the lamp stays lit a while.
  port.Indicator(PLKDVX::itRX, true);
  port.Indicator(PLKDVX::itRX, false);
  EXPECT_TRUE(rx->GetStateOn());
  for (int waited = 0; rx->GetStateOn() && waited < 3000; waited += 10) QTest::qWait(10);
  EXPECT_FALSE(rx->GetStateOn()) << "off once the on-time has passed";
  // Line lamps follow their level.
  port.Indicator(PLKDVX::itCTS, true);
  EXPECT_TRUE(cts->GetStateOn());
  port.Indicator(PLKDVX::itCTS, false);
  EXPECT_FALSE(cts->GetStateOn());

  // Another port takes the lamps; the first one is unlinked.
  PLKDVX::TDVXCOMPort other(loop.Queue());
  form->SetPort(&other);
  EXPECT_EQ(port.GetRXIndicator(), nullptr);
  EXPECT_EQ(other.GetRXIndicator(), rx);
  // The window going first clears the port's links.
  form.reset();
  EXPECT_EQ(other.GetRXIndicator(), nullptr);
  EXPECT_EQ(other.GetDTRIndicator(), nullptr);
}

// Continuous polling while the simulated motor ramps up: the plot's speed
// lane rises, the link row shows a round trip and a rate, the log gets lines.
// With MV_SCREENSHOT_DIR set, the plot and the control window are saved there.
TEST(ControlAdditionsWithSimulatedDrive, PlotFollowsTheMotorRampingUp) {
  mvtest::SimProcess sim;
  ASSERT_FALSE(sim.Path().empty()) << "morvane-sim did not start";
  mvtest::SimLink link(sim.Path());
  mv::HeadlessLoop& loop = link.loop;
  PLKDVX::TDVXCOMPort& serial = link.serial;

  mvtest::TempDir dir;
  mvtest::ScriptedPrompts prompts;
  prompts.paths.push_back(dir.File("ramp.csv"));
  TControlStatusForm form;
  form.SetRequests(link.session.Control());
  form.SetPrompts(&prompts);
  form.SetPort(&serial);
  ASSERT_TRUE(serial.Open());
  form.show();
  // Both loops turn: the port's events on the headless loop, timers on Qt's.
  auto pump = [&](std::chrono::milliseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
      loop.RunFor(std::chrono::milliseconds(2));
      QApplication::processEvents();
    }
  };

  mvtest::Find<QPushButton>(&form, QStringLiteral("MotorSpeedButton"))->click();
  pump(std::chrono::milliseconds(60));
  mvtest::Find<QPushButton>(&form, QStringLiteral("StartButton"))->click();
  pump(std::chrono::milliseconds(60));
  mvtest::Find<QCheckBox>(&form, QStringLiteral("RecordCheckBox"))->click();
  mvtest::Find<QPushButton>(&form, QStringLiteral("PlotButton"))->click();
  mvtest::Find<QComboBox>(form.PlotForm(), QStringLiteral("TimeWindowComboBox"))->setCurrentIndex(0);
  auto* periodEdit = mvtest::Find<QLineEdit>(&form, "StatusUpdatePerLabeledEdit");
  periodEdit->setText(QStringLiteral("200"));
  form.StatusUpdatePerLabeledEditExit();
  mvtest::Find<QCheckBox>(&form, QStringLiteral("RepeatEnableCheckBox"))->setChecked(true);
  mvtest::Find<QPushButton>(&form, QStringLiteral("GetStatusButton"))->click();
  const mv::StatusHistory& h = form.History();
  for (int i = 0; i < 100 && h.Size() < 12; ++i) pump(std::chrono::milliseconds(50));
  ASSERT_GE(h.Size(), 12u);
  EXPECT_GT(h.ValueAt(mv::PlotSeries::Speed, h.Size() - 1), h.ValueAt(mv::PlotSeries::Speed, 0));
  EXPECT_NE(mvtest::Find<QLabel>(&form, QStringLiteral("RoundTripLabel"))->text(), QStringLiteral("-"));
  EXPECT_TRUE(
      mvtest::Find<QLabel>(&form, QStringLiteral("PollRateLabel"))->text().endsWith(QStringLiteral("of 5.0 /s")));
  EXPECT_EQ(mvtest::ReadFile(dir.File("ramp.csv")).size() > 0, true);
  EXPECT_EQ(form.StatusLog().LinesWritten(), h.Size());

  if (const char* shots = std::getenv("MV_SCREENSHOT_DIR"); shots != nullptr && *shots != '\0') {
    form.PlotForm()->resize(760, 520);
    pump(std::chrono::milliseconds(250));
    form.PlotForm()->grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/status_plot.png"));
    form.grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/control_status.png"));
  }

  mvtest::Find<QCheckBox>(&form, QStringLiteral("RepeatEnableCheckBox"))->setChecked(false);
  pump(std::chrono::milliseconds(300));
  form.SetPort(nullptr);
  serial.Close();
}
