#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "control/control_rules.h"
#include "control/status_requests.h"
#include "link/engine.h"
#include "support/link_fakes.h"

namespace {

using linktest::FakePort;
using linktest::FakeTimer;

// Renders results as the control window does: the fields and lamps a poll
// brought, and every completed poll.
class FakeControlWindow {
 public:
  std::array<std::string, mv::kStatusFieldCount> fields;
  std::vector<std::uint16_t> statusLamps, internalLamps;
  std::vector<mv::StatusValues> polls;
  std::vector<mv::ControlResult> results;

  FakeControlWindow() { fields.fill("0"); }
  void Ended(const mv::ControlResult& r) {
    results.push_back(r);
    const bool poll = r.kind == mv::ControlRequestKind::Status || r.kind == mv::ControlRequestKind::TimerStatus;
    if (!poll || !r.Trusted()) return;
    for (const mv::StatusFieldInfo& f : mv::kStatusFields)
      if (r.status.Answered(f.field)) fields[static_cast<std::size_t>(f.field)] = r.status.Text(f.field);
    if (r.status.values.Has(mv::StatusField::Status)) statusLamps.push_back(r.status.values.StatusWord());
    if (r.status.values.Has(mv::StatusField::InternalStatus))
      internalLamps.push_back(r.status.values.InternalStatusWord());
    if (r.Ok()) polls.push_back(r.status.values);
  }
};

bool Sent(mv::RequestOutcome o) { return o == mv::RequestOutcome::Pending; }

struct ControlRig {
  FakePort port;
  FakeTimer timer;
  mv::RequestEngine engine{port, timer, nullptr};
  FakeControlWindow window;
  mv::ControlStatusRequests control;
  ControlRig() {
    control.SetRequestSender(engine.Sender());
    control.SetResultSink(mv::ControlResultSink::Bind<&FakeControlWindow::Ended>(&window));
  }

  void Answer(std::uint8_t code, std::vector<std::uint8_t> payload) {
    engine.RxChar(code);
    for (auto b : payload) engine.RxChar(b);
  }
  void AnswerPoll(const std::vector<std::uint16_t>& values) {
    for (auto v : values) Answer(0x07, {static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8)});
  }
  const std::string& Field(mv::StatusField f) const { return window.fields[static_cast<std::size_t>(f)]; }
};

using F = std::vector<std::uint8_t>;

}  // namespace

TEST(ControlCommands, FramesOfEachButton) {
  ControlRig rig;
  auto run = [&](mv::RequestOutcome sent) {
    ASSERT_TRUE(Sent(sent));
    rig.Answer(0x07, {0, 0});
  };
  run(rig.control.Change(4));
  run(rig.control.Start());
  run(rig.control.Stop());
  run(rig.control.Reset());
  run(rig.control.Speed(6000));
  run(rig.control.Speed(100000));
  run(rig.control.Speed(3005));  // integer division
  EXPECT_FALSE(Sent(rig.control.Change(6)));
  EXPECT_EQ(rig.port.frames, (std::vector<F>{{0x90, 0x04},
                                             {0x24},
                                             {0x25},
                                             {0x39, 0x07, 0x77},
                                             {0x01, 0x58, 0x02},
                                             {0x01, 0x10, 0x27},
                                             {0x01, 0x2C, 0x01}}));
}

TEST(StatusPoll, NineStepsDecodedIntoFieldsLampsAndValues) {
  ControlRig rig;
  ASSERT_TRUE(Sent(rig.control.GetStatus()));
  rig.AnswerPoll({123, 600, 250, 0x2006, 41, 0x0005, 530, 12, 480});
  EXPECT_EQ(rig.port.frames,
            (std::vector<F>{{0x74}, {0x42}, {0x70}, {0x60}, {0x76}, {0xF1, 0x00, 0x00}, {0x75}, {0x73}, {0x72}}));
  using S = mv::StatusField;
  EXPECT_EQ(rig.Field(S::PhaseCurrent), "12.3");
  EXPECT_EQ(rig.Field(S::MotorSpeed), "6000");
  EXPECT_EQ(rig.Field(S::PhasePower), "250");
  EXPECT_EQ(rig.Field(S::Status), "2006");
  EXPECT_EQ(rig.Field(S::ControllerTemp), "41");
  EXPECT_EQ(rig.Field(S::InternalStatus), "0005");
  EXPECT_EQ(rig.Field(S::MotorTemp), "530");
  EXPECT_EQ(rig.Field(S::MotorTorque), "12");
  EXPECT_EQ(rig.Field(S::BusVoltage), "48.0");
  EXPECT_EQ(rig.window.statusLamps, std::vector<std::uint16_t>{0x2006});
  EXPECT_EQ(rig.window.internalLamps, std::vector<std::uint16_t>{0x0005});
  ASSERT_EQ(rig.window.polls.size(), 1u);
  const mv::StatusValues& v = rig.window.polls[0];
  EXPECT_EQ(v.received, 0x1FF);
  EXPECT_DOUBLE_EQ(v.PhaseCurrentA(), 12.3);
  EXPECT_EQ(v.SpeedRpm(), 6000u);
  EXPECT_EQ(v.StatusWord(), 0x2006);
  EXPECT_DOUBLE_EQ(v.BusVoltageV(), 48.0);

  // Largest values: 65535 x 10 and 6553.5.
  ASSERT_TRUE(Sent(rig.control.TimerStatus()));
  rig.AnswerPoll({0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0});
  EXPECT_EQ(rig.Field(S::PhaseCurrent), "6553.5");
  EXPECT_EQ(rig.Field(S::MotorSpeed), "655350");
  EXPECT_EQ(rig.Field(S::Status), "FFFF");
  EXPECT_EQ(rig.Field(S::BusVoltage), "0.0");
}

TEST(StatusPoll, ShortAnswerShowsWhatCameAndLeavesTheLampsAlone) {
  ControlRig rig;
  ASSERT_TRUE(Sent(rig.control.GetStatus()));
  rig.AnswerPoll({1, 2, 3});
  rig.Answer(0x09, {0x44});  // one byte where the status word belongs
  rig.Answer(0x07, {5, 0});
  rig.engine.RxChar(0x0B);  // no payload at all for the internal status
  rig.AnswerPoll({7, 8, 9});
  EXPECT_EQ(rig.Field(mv::StatusField::Status), "0x44");
  EXPECT_EQ(rig.Field(mv::StatusField::InternalStatus), "");
  EXPECT_TRUE(rig.window.statusLamps.empty());
  EXPECT_TRUE(rig.window.internalLamps.empty());
  ASSERT_EQ(rig.window.polls.size(), 1u);
  EXPECT_FALSE(rig.window.polls[0].Has(mv::StatusField::Status));
  EXPECT_TRUE(rig.window.polls[0].Has(mv::StatusField::BusVoltage));
}

TEST(StatusLamps, ColoursFollowTheBitsAndClearToWhite) {
  auto colours = [](std::uint16_t word) {
    std::vector<mv::LampColour> c;
    for (const auto& lamp : mv::kStatusLamps) c.push_back(mv::LampColourFor(lamp, word));
    return c;
  };
  const auto G = mv::kLampGreen, R = mv::kLampRed, W = mv::kLampWhite;
  // Start/Stop, Motor Connect, At Speed, Stopped, Under V, Over V, Inverter, Overload
  EXPECT_EQ(colours(0x2006), (std::vector<mv::LampColour>{G, G, W, W, W, W, W, R}));
  EXPECT_EQ(colours(0xFFFF), (std::vector<mv::LampColour>{G, G, G, G, R, R, R, R}));
  EXPECT_EQ(colours(0x0E19), (std::vector<mv::LampColour>(8, W)));  // unlisted bits only
  EXPECT_EQ(mv::LampColourFor(mv::kInternalLamps[0], 0x0001), R);
  EXPECT_EQ(mv::LampColourFor(mv::kInternalLamps[2], 0x0003), W);
  EXPECT_EQ(mv::kLampGreen, (mv::LampColour{0, 128, 0}));
}

TEST(SpeedRules, EditExitArrowsAndEnter) {
  EXPECT_EQ(mv::SpeedOnExit("120000", 6000), 100000);
  EXPECT_EQ(mv::SpeedOnExit("10", 6000), 3000);
  EXPECT_EQ(mv::SpeedOnExit("fast", 7250), 7250);
  EXPECT_EQ(mv::SpeedOnExit("", 6000), 6000);
  EXPECT_EQ(mv::SpeedOnUp("99900"), 100000);
  EXPECT_EQ(mv::SpeedOnUp("100000"), 100000);
  EXPECT_EQ(mv::SpeedOnUp("junk"), 3250);  // unreadable counts as 3000
  EXPECT_EQ(mv::SpeedOnDown("3100"), 3000);
  EXPECT_EQ(mv::SpeedOnDown("6000"), 5750);
  EXPECT_EQ(mv::SpeedOnDown("junk"), 3000);
  EXPECT_EQ(mv::SpeedOnEnter("250000"), 100000);
  EXPECT_EQ(mv::SpeedOnEnter("junk"), 3000);
  EXPECT_EQ(mv::ClampSpeed(-5), 3000);
  EXPECT_EQ(mv::ClampSpeed(1LL << 40), 100000);
  EXPECT_EQ(mv::SpeedCommandData(6000), (std::array<std::uint8_t, 2>{0x58, 0x02}));
  EXPECT_EQ(mv::SpeedCommandData(100000), (std::array<std::uint8_t, 2>{0x10, 0x27}));
  EXPECT_EQ(mv::SpeedCommandData(1000000), (std::array<std::uint8_t, 2>{0xFF, 0xFF}));  // never wraps
}

TEST(PeriodRules, ClampedWithThePreviousValueAsFallback) {
  EXPECT_EQ(mv::PeriodOnExit("50", 250), 200);
  EXPECT_EQ(mv::PeriodOnExit("5000", 250), 1500);
  EXPECT_EQ(mv::PeriodOnExit("x", 400), 400);
  EXPECT_EQ(mv::PeriodOnExit("750", 250), 750);
  EXPECT_EQ(mv::ClampPeriod(0), 200);
  EXPECT_EQ(mv::ClampPeriod(99999), 1500);
}
