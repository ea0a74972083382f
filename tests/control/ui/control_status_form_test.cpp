// The control/status window against a fake request sender: what each control
// sends, how the speed and period edits normalise, how answers are shown, and
// how continuous polling interacts with closing the window.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest/QTest>
#include <cstdint>
#include <vector>

#include "control/ui/TControlStatusForm.h"
#include "control/ui/round_lamp.h"
#include "control/ui/status_plot.h"
#include "link/engine.h"
#include "support/accessibility_check.h"
#include "support/qt_find.h"
#include "support/qt_wait.h"

using namespace mv::ui;  // the windows

namespace {

using Bytes = std::vector<std::uint8_t>;

// Records every request handed to it; can refuse as a running engine would.
struct FakeSender {
  struct Sent {
    const mv::RequestStep* steps;
    std::uint32_t count;
    Bytes firstFrame;
    const mv::RequestCompletion* done;
  };
  std::vector<Sent> sent;
  bool busy = false;
  int refused = 0;

  static mv::RequestOutcome Send(void* owner, const mv::RequestStep* steps, std::uint32_t count, mv::RequestPriority,
                                 const mv::RequestCompletion* done) {
    auto* self = static_cast<FakeSender*>(owner);
    if (self->busy) {
      ++self->refused;
      return mv::RequestOutcome::RefusedBusy;
    }
    std::uint8_t buf[mv::kFrameBufferSize];
    const std::uint32_t n = mv::EncodeFrame(steps[0], buf);
    self->sent.push_back({steps, count, Bytes(buf, buf + n), done});
    // A command is answered at once; a poll waits for the test's answers.
    if (count == 1 && done != nullptr) (*done)(mv::RequestEnd{mv::RequestOutcome::Completed, 1, 1, true});
    return mv::RequestOutcome::Pending;
  }
  static bool IsBusy(const void* owner) { return static_cast<const FakeSender*>(owner)->busy; }
  mv::RequestSender Sender() { return mv::RequestSender{&Send, this, &IsBusy}; }
  Bytes LastFrame() const { return sent.empty() ? Bytes{} : sent.back().firstFrame; }
  // The last request ends as the engine would end it.
  void End(mv::RequestOutcome outcome, std::uint32_t step) {
    const Sent& s = sent.back();
    if (s.done != nullptr) (*s.done)(mv::RequestEnd{outcome, step, s.count, true});
  }
};

class ControlStatusFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    requests.SetRequestSender(fake.Sender());
    form.SetRequests(requests);
    form.show();
    QApplication::processEvents();
  }

  template <class T>
  T* Child(const char* name) {
    return mvtest::Find<T>(&form, name);
  }
  QLineEdit* SpeedEdit() { return Child<QLineEdit>("MotorSpeedEdit"); }
  QLineEdit* PeriodEdit() { return Child<QLineEdit>("StatusUpdatePerLabeledEdit"); }
  QString Field(const char* name) { return Child<QLineEdit>(name)->text(); }
  QColor Lamp(const char* name) { return Child<mv::ui::RoundLamp>(name)->Fill(); }

  static void LeaveEdit(QLineEdit* edit) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(edit, &out);
  }
  static void Type(QLineEdit* edit, const char* text) {
    edit->setText(QString::fromLatin1(text));
    LeaveEdit(edit);
  }

  // Answers step `index` of the last request with a code and payload.
  void Answer(std::uint32_t index, const Bytes& payload, std::uint8_t code = 0x07) {
    ASSERT_FALSE(fake.sent.empty());
    const mv::RequestStep& step = fake.sent.back().steps[index];
    ASSERT_TRUE(step.handler);
    mv::Response r{code, payload.data(), static_cast<std::uint32_t>(payload.size())};
    step.handler(step, r);
  }
  // The last request has had its answers: it ends, and the window shows them.
  void Complete() { fake.End(mv::RequestOutcome::Completed, fake.sent.back().count); }

  FakeSender fake;
  mv::ControlStatusRequests requests;  // the tables the drive session would hand over
  TControlStatusForm form;
};

const QColor kGreen(0, 128, 0);
const QColor kRed(255, 0, 0);
const QColor kWhite(255, 255, 255);

TEST_F(ControlStatusFormTest, StartsWithTheWrittenDefaults) {
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Motor Control/Status"));
  EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("6000"));
  EXPECT_EQ(PeriodEdit()->text(), QStringLiteral("250"));
  EXPECT_EQ(form.Speed(), 6000);
  EXPECT_EQ(form.StatusPeriod(), 250);
  auto* combo = Child<QComboBox>("MotorChangeComboBox");
  ASSERT_EQ(combo->count(), 6);
  EXPECT_EQ(combo->itemText(0), QStringLiteral("P01"));
  EXPECT_EQ(combo->itemText(5), QStringLiteral("P06"));
  EXPECT_EQ(combo->currentIndex(), 0);
  for (const auto& f : mv::kStatusFields) {
    auto* edit = Child<QLineEdit>(f.objectName);
    EXPECT_EQ(edit->text(), QStringLiteral("0")) << f.objectName;
    EXPECT_TRUE(edit->isReadOnly()) << f.objectName;
  }
  EXPECT_FALSE(Child<QGroupBox>("StatusBitsGroupBox")->isEnabled());
  EXPECT_FALSE(Child<QGroupBox>("InternalStatusBitsGroupBox")->isEnabled());
  EXPECT_FALSE(form.PollTimer().isActive());
  EXPECT_TRUE(fake.sent.empty()) << "showing the window sends nothing";
  // Every edit and the combo box is reachable through a label.
  int buddies = 0;
  for (QLabel* l : form.findChildren<QLabel*>())
    if (l->buddy()) ++buddies;
  EXPECT_EQ(buddies, 9 + 3);
}

TEST_F(ControlStatusFormTest, CommandsSendTheirFrames) {
  Child<QComboBox>("MotorChangeComboBox")->setCurrentIndex(3);
  Child<QPushButton>("MotorChangeButton")->click();
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x90, 0x03}));
  Child<QPushButton>("StartButton")->click();
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x24}));
  Child<QPushButton>("StopButton")->click();
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x25}));
  Child<QPushButton>("ResetButton")->click();
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x39, 0x07, 0x77}));
  Child<QPushButton>("MotorSpeedButton")->click();
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x01, 0x58, 0x02})) << "6000 RPM is 600 = 0x0258";
  for (const auto& s : fake.sent) EXPECT_EQ(s.count, 1u);
}

TEST_F(ControlStatusFormTest, SpeedEditClampsOnLeavingAndSendsNothing) {
  Type(SpeedEdit(), "120000");
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("100000"));
  EXPECT_EQ(form.Speed(), 100000);
  Type(SpeedEdit(), "10");
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("3000"));
  Type(SpeedEdit(), "7250");
  Type(SpeedEdit(), "fast");
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("7250")) << "text that is no number restores the previous speed";
  EXPECT_EQ(form.Speed(), 7250);
  Type(SpeedEdit(), "");
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("7250"));
  EXPECT_TRUE(fake.sent.empty());
  Child<QPushButton>("MotorSpeedButton")->click();
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x01, 0xD5, 0x02}));  // 725
}

TEST_F(ControlStatusFormTest, SpeedKeysStepAndSendAtOnce) {
  SpeedEdit()->setText(QStringLiteral("99900"));
  QTest::keyClick(SpeedEdit(), Qt::Key_Up);
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("100000"));
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x01, 0x10, 0x27}));
  QTest::keyClick(SpeedEdit(), Qt::Key_Up);
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("100000"));
  EXPECT_EQ(fake.sent.size(), 2u) << "Up at the top still sends";
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x01, 0x10, 0x27}));

  SpeedEdit()->setText(QStringLiteral("3100"));
  QTest::keyClick(SpeedEdit(), Qt::Key_Down);
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("3000"));
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x01, 0x2C, 0x01}));  // 300
  EXPECT_EQ(form.Speed(), 3000);

  // Unreadable text counts as the minimum before stepping.
  SpeedEdit()->setText(QStringLiteral("x"));
  QTest::keyClick(SpeedEdit(), Qt::Key_Up);
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("3250"));

  SpeedEdit()->setText(QStringLiteral("6000"));
  QTest::keyClick(SpeedEdit(), Qt::Key_Return);
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x01, 0x58, 0x02}));
  SpeedEdit()->setText(QStringLiteral("250000"));
  QTest::keyClick(SpeedEdit(), Qt::Key_Enter);
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x01, 0x10, 0x27}));
  EXPECT_TRUE(form.isVisible()) << "Enter in the edit must not close the window";

  const std::size_t before = fake.sent.size();
  QTest::keyClick(SpeedEdit(), Qt::Key_5);
  EXPECT_EQ(fake.sent.size(), before) << "other keys send nothing";
}

TEST_F(ControlStatusFormTest, PeriodEditClampsOnLeavingAndOnEnter) {
  Type(PeriodEdit(), "50");
  EXPECT_EQ(PeriodEdit()->text(), QStringLiteral("200"));
  Type(PeriodEdit(), "5000");
  EXPECT_EQ(PeriodEdit()->text(), QStringLiteral("1500"));
  PeriodEdit()->setText(QStringLiteral("400"));
  QTest::keyClick(PeriodEdit(), Qt::Key_Return);
  EXPECT_EQ(form.StatusPeriod(), 400);
  Type(PeriodEdit(), "soon");
  EXPECT_EQ(PeriodEdit()->text(), QStringLiteral("400"));
  EXPECT_TRUE(form.isVisible());
}

TEST_F(ControlStatusFormTest, StatusAnswersFillFieldsAndLamps) {
  Child<QPushButton>("GetStatusButton")->click();
  ASSERT_EQ(fake.sent.size(), 1u);
  EXPECT_EQ(fake.sent[0].count, 9u);
  EXPECT_EQ(fake.LastFrame(), (Bytes{0x74}));
  EXPECT_FALSE(form.PollTimer().isActive()) << "a single Get starts no timer";

  Answer(0, {123, 0});      // 12.3 A
  Answer(1, {0x58, 0x02});  // 600 -> 6000 RPM
  Answer(2, {0x34, 0x12});
  Answer(3, {0x06, 0x20});  // status 0x2006
  Answer(4, {41, 0});
  Answer(5, {0x07, 0x00});  // internal status: all three lamps
  Answer(6, {0xFF, 0xFF});
  Answer(7, {0, 0});
  Answer(8, {0xE8, 0x03});  // 100.0 V
  Complete();
  EXPECT_EQ(Field("PhaseCurrentLabeledEdit"), QStringLiteral("12.3"));
  EXPECT_EQ(Field("MotorSpeedLabeledEdit"), QStringLiteral("6000"));
  EXPECT_EQ(Field("PhasePowerLabeledEdit"), QStringLiteral("4660"));
  EXPECT_EQ(Field("StatusLabeledEdit"), QStringLiteral("2006"));
  EXPECT_EQ(Field("ControllerTempLabeledEdit"), QStringLiteral("41"));
  EXPECT_EQ(Field("InternalStatusLabeledEdit"), QStringLiteral("0007"));
  EXPECT_EQ(Field("MotorTempLabeledEdit"), QStringLiteral("65535"));
  EXPECT_EQ(Field("MotorTorqueLabeledEdit"), QStringLiteral("0"));
  EXPECT_EQ(Field("BusVoltageLabeledEdit"), QStringLiteral("100.0"));

  EXPECT_EQ(Lamp("StatusStartStopShape"), kGreen);
  EXPECT_EQ(Lamp("StatusMotorConnectShape"), kGreen);
  EXPECT_EQ(Lamp("StatusOverloadShape"), kRed);
  for (const char* white : {"StatusAtSpeedShape", "StatusStoppedShape", "StatusUnderVoltageShape",
                            "StatusOverVoltageShape", "StatusInverterShape"})
    EXPECT_EQ(Lamp(white), kWhite) << white;
  for (const char* red : {"IntStatusUnderVoltageShape", "IntStatusOverVoltageShape", "IntStatusOverloadShape"})
    EXPECT_EQ(Lamp(red), kRed) << red;

  // The next poll turns lamps back to white when their bits clear.
  Child<QPushButton>("GetStatusButton")->click();
  Answer(3, {0x60, 0x00});  // At Speed, Stopped
  Answer(5, {0x00, 0x00});
  Complete();
  EXPECT_EQ(Lamp("StatusStartStopShape"), kWhite);
  EXPECT_EQ(Lamp("StatusOverloadShape"), kWhite);
  EXPECT_EQ(Lamp("StatusAtSpeedShape"), kGreen);
  EXPECT_EQ(Lamp("StatusStoppedShape"), kGreen);
  EXPECT_EQ(Lamp("IntStatusOverloadShape"), kWhite);

  // A short answer is shown as what came and never read past.
  Child<QPushButton>("GetStatusButton")->click();
  Answer(4, {0x2A}, 0x00);
  Complete();
  EXPECT_EQ(Field("ControllerTempLabeledEdit"), QStringLiteral("0x2A"));
}

TEST_F(ControlStatusFormTest, LampColoursHoldWhileTheirGroupIsDisabled) {
  Child<QPushButton>("GetStatusButton")->click();
  Answer(3, {0x06, 0x20});
  Complete();
  auto* lamp = Child<mv::ui::RoundLamp>("StatusOverloadShape");
  ASSERT_FALSE(lamp->isEnabled());
  QImage img(lamp->size(), QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  lamp->render(&img);
  EXPECT_EQ(QColor(img.pixel(6, 6)), kRed);
}

TEST_F(ControlStatusFormTest, ContinuousPollingAndClosing) {
  auto* repeat = Child<QCheckBox>("RepeatEnableCheckBox");
  Type(PeriodEdit(), "300");
  repeat->setChecked(true);
  Child<QPushButton>("GetStatusButton")->click();
  ASSERT_EQ(fake.sent.size(), 1u);
  EXPECT_TRUE(form.PollTimer().isActive());
  EXPECT_EQ(form.PollTimer().interval(), 300);
  Complete();

  // Ticks poll with the timer's own copy of the request.
  form.TimerTimer();
  ASSERT_EQ(fake.sent.size(), 2u);
  Complete();
  EXPECT_EQ(fake.sent[1].count, 9u);
  EXPECT_NE(fake.sent[1].steps, fake.sent[0].steps);

  // A tick while a request runs is lost, not retried, and not told.
  fake.busy = true;
  form.TimerTimer();
  EXPECT_EQ(fake.refused, 1);
  EXPECT_EQ(Child<QLabel>("ResultLabel")->text(), QString());
  fake.busy = false;
  form.TimerTimer();
  EXPECT_EQ(fake.sent.size(), 3u);

  // Closing while polling unchecks the box and keeps the window open.
  form.close();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(repeat->isChecked());
  // The next tick stops the timer without polling; then a close hides.
  form.TimerTimer();
  EXPECT_FALSE(form.PollTimer().isActive());
  EXPECT_EQ(fake.sent.size(), 3u);
  form.close();
  EXPECT_FALSE(form.isVisible());

  // Escape goes the same way.
  form.show();
  repeat->setChecked(true);
  Child<QPushButton>("GetStatusButton")->click();
  QTest::keyClick(&form, Qt::Key_Escape);
  EXPECT_TRUE(form.isVisible());
  form.TimerTimer();
  QTest::keyClick(&form, Qt::Key_Escape);
  EXPECT_FALSE(form.isVisible());
}

TEST_F(ControlStatusFormTest, ShowingAgainRereadsTheEditsAndKeepsValues) {
  Type(SpeedEdit(), "8000");
  Type(PeriodEdit(), "700");
  form.close();
  ASSERT_FALSE(form.isVisible());
  SpeedEdit()->setText(QStringLiteral("nonsense"));
  PeriodEdit()->setText(QStringLiteral("9999"));
  form.show();
  EXPECT_EQ(SpeedEdit()->text(), QStringLiteral("8000"));
  EXPECT_EQ(form.Speed(), 8000);
  EXPECT_EQ(PeriodEdit()->text(), QStringLiteral("1500"));
}

// The plot is placed by the size it will show at (not the size a window has
// before its first show), so it opens whole on the screen and never over
// Stop, whether or not a window manager would have pulled it back.
TEST_F(ControlStatusFormTest, PlotOpensWholeOnTheScreenAndNeverOverStop) {
  form.move(form.screen()->availableGeometry().topLeft());
  form.PlotButtonClick();
  QWidget* plot = form.PlotForm();
  ASSERT_NE(plot, nullptr);
  QApplication::processEvents();
  const QRect screen = form.screen()->availableGeometry();
  QWidget* stop = Child<QPushButton>("StopButton");
  const QRect at = plot->geometry();  // this platform's frames are not placed as a window manager's
  EXPECT_TRUE(screen.contains(at)) << at.x() << "," << at.y() << " " << at.width() << "x" << at.height()
                                   << " on a screen of " << screen.width() << "x" << screen.height();
  EXPECT_FALSE(at.intersects(QRect(stop->mapToGlobal(QPoint(0, 0)), stop->size())));
}

TEST_F(ControlStatusFormTest, ScreenReaderHearsCaptionsValuesAndLabelledFields) {
  EXPECT_EQ(mvtest::AccessibilityFaults(&form), "");
  EXPECT_EQ(mvtest::AccessibleName(Child<QLineEdit>("PhaseCurrentLabeledEdit")), "Phase Current (A)");
  form.PlotButtonClick();
  ASSERT_NE(form.PlotForm(), nullptr);
  EXPECT_EQ(mvtest::AccessibilityFaults(form.PlotForm()), "");
}

}  // namespace

namespace {

// Every lamp of both status groups is heard with its state; a caption both
// groups show names its group.
TEST_F(ControlStatusFormTest, StatusLampsTellTheirGroupAndState) {
  std::vector<std::string> names;
  for (const char* groupName : {"StatusBitsGroupBox", "InternalStatusBitsGroupBox"}) {
    auto* group = Child<QGroupBox>(groupName);
    ASSERT_NE(group, nullptr);
    for (auto* lamp : group->findChildren<mv::ui::RoundLamp*>()) {
      QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(lamp);
      ASSERT_NE(heard, nullptr);
      EXPECT_NE(heard->role(), QAccessible::Client) << lamp->objectName().toStdString() << " is a filler";
      EXPECT_EQ(heard->text(QAccessible::Description).toStdString(), "off") << lamp->objectName().toStdString();
      names.push_back(heard->text(QAccessible::Name).toStdString());
    }
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    for (std::size_t j = i + 1; j < names.size(); ++j) EXPECT_NE(names[i], names[j]) << "two lamps heard alike";
  EXPECT_EQ(mvtest::AccessibleName(Child<mv::ui::RoundLamp>("IntStatusUnderVoltageShape")),
            "Internal Status Bits: Under Voltage");

  Child<QPushButton>("GetStatusButton")->click();
  Answer(3, {0x80, 0x00});  // Under Voltage
  Answer(5, {0x00, 0x00});
  Complete();
  EXPECT_EQ(mvtest::AccessibleDescription(Child<mv::ui::RoundLamp>("StatusUnderVoltageShape")), "on");
  EXPECT_EQ(mvtest::AccessibleDescription(Child<mv::ui::RoundLamp>("IntStatusUnderVoltageShape")), "off");
}

// A change of a lamp's state is announced, and only a change. Announcements
// reach assistive technology only while it listens (a screen reader on the
// AT-SPI bus; the wm group runs this test so).
TEST_F(ControlStatusFormTest, StatusLampsAnnounceChanges) {
  if (qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON")) {  // the bridge connects in the background
    ASSERT_TRUE(mvtest::WaitFor([] { return QAccessible::isActive(); })) << "the accessibility bus is not listening";
  }
  if (!QAccessible::isActive()) GTEST_SKIP() << "no assistive technology listens: announcements not checked";
  static std::vector<std::pair<QObject*, QAccessible::Event>> announced;
  QAccessible::installUpdateHandler([](QAccessibleEvent* e) { announced.emplace_back(e->object(), e->type()); });
  for (int poll = 0; poll < 2; ++poll) {
    Child<QPushButton>("GetStatusButton")->click();
    Answer(3, {0x80, 0x00});  // Under Voltage
    Answer(5, {0x00, 0x00});
    Complete();
  }
  QAccessible::installUpdateHandler(nullptr);
  auto changes = [&](const char* name) {
    int n = 0;
    for (const auto& [object, type] : announced)
      n += object == Child<mv::ui::RoundLamp>(name) && type == QAccessible::DescriptionChanged;
    return n;
  };
  EXPECT_GE(changes("StatusUnderVoltageShape"), 1);
  EXPECT_EQ(changes("IntStatusUnderVoltageShape"), 0);
}

// A click the engine refuses is said where the user looks and announced to
// a screen reader (checked where one listens: the wm group).
TEST_F(ControlStatusFormTest, RefusedClickIsSaidAndAnnounced) {
  if (qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON")) {  // the bridge connects in the background
    ASSERT_TRUE(mvtest::WaitFor([] { return QAccessible::isActive(); })) << "the accessibility bus is not listening";
  }
  mvtest::AlertRecorder alerts;
  fake.busy = true;
  Child<QPushButton>("StartButton")->click();
  fake.busy = false;
  const QString said = QStringLiteral("Start: another request is in progress");
  EXPECT_EQ(Child<QLabel>("ResultLabel")->text(), said);
  if (alerts.Listening()) {
    EXPECT_EQ(alerts.texts, std::vector<QString>{said});
  }
}

}  // namespace
