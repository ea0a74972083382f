#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "serial/indicator_state.h"

namespace {

// A clock the test moves by hand; its timers fire when their deadline passes.
class FakeClock {
 public:
  class Timer : public mv::Timer {
   public:
    explicit Timer(FakeClock& c) : clock_(c) {}
    void SetInterval(int ms) override { interval_ = ms; }
    int Interval() const override { return interval_; }
    void SetEnabled(bool on) override {
      enabled_ = on;
      if (on) deadline_ = clock_.now + interval_;
    }
    bool Enabled() const override { return enabled_; }
    FakeClock& clock_;
    int interval_ = 1000;
    bool enabled_ = false;
    long deadline_ = 0;
  };

  std::unique_ptr<mv::Timer> Make() {
    ++made;
    auto t = std::make_unique<Timer>(*this);
    timers.push_back(t.get());
    return t;
  }
  void Advance(long ms) {
    const long end = now + ms;
    for (;;) {
      Timer* next = nullptr;
      for (Timer* t : timers)
        if (t->enabled_ && t->deadline_ <= end && (!next || t->deadline_ < next->deadline_)) next = t;
      if (!next) break;
      now = next->deadline_;
      next->deadline_ = now + next->interval_;  // periodic while enabled
      if (next->OnTimer) next->OnTimer();
    }
    now = end;
  }
  long now = 0;
  int made = 0;
  std::vector<Timer*> timers;
};

class Lamp : public ::testing::Test {
 protected:
  Lamp() : lamp([this] { return clock.Make(); }) {
    lamp.OnRepaint = [this] { ++repaints; };
  }
  FakeClock clock;
  PLKDVX::IndicatorState lamp;
  int repaints = 0;
};

TEST_F(Lamp, StartsOffAsAWhiteCircleWithFixedTexts) {
  EXPECT_FALSE(lamp.GetStateOn());
  EXPECT_EQ(lamp.FillColour(), 0xFFFFFFu);
  EXPECT_EQ(lamp.OutlineColour(), 0x000000u);
  EXPECT_EQ(lamp.GetShape(), PLKDVX::isCircle);
  lamp.SetVersion("9.99");
  lamp.SetCopyright("mine");
  EXPECT_EQ(lamp.GetVersion(), "1.00");
  EXPECT_NE(lamp.GetCopyright(), "mine");
  EXPECT_EQ(repaints, 0);
}

TEST_F(Lamp, WithoutOnTimeFollowsRequestsAndRepaintsOnlyOnChange) {
  lamp.SetStateOn(true);
  EXPECT_TRUE(lamp.GetStateOn());
  lamp.SetStateOn(false);
  EXPECT_FALSE(lamp.GetStateOn());
  EXPECT_EQ(repaints, 2);
  lamp.SetStateOn(false);
  lamp.SetStateOn(false);
  EXPECT_EQ(repaints, 2);
  lamp.SetStateOn(true);
  lamp.SetStateOn(true);
  EXPECT_EQ(repaints, 3);
  EXPECT_EQ(clock.made, 0);  // no timer is ever needed
}

TEST_F(Lamp, PulseStaysVisibleForTheOnTimeCountedFromTheOn) {
  lamp.SetOnTime(100);
  lamp.SetStateOn(true);
  clock.Advance(10);
  lamp.SetStateOn(false);  // deferred
  EXPECT_TRUE(lamp.GetStateOn());
  EXPECT_TRUE(lamp.PendingOff());
  clock.Advance(89);
  EXPECT_TRUE(lamp.GetStateOn());
  clock.Advance(1);  // 100 ms after the on
  EXPECT_FALSE(lamp.GetStateOn());
  EXPECT_FALSE(lamp.TimerRunning());
  EXPECT_EQ(repaints, 2);
}

TEST_F(Lamp, OnAgainWithinTheOnTimeRestartsIt) {
  lamp.SetOnTime(100);
  lamp.SetStateOn(true);
  clock.Advance(30);
  lamp.SetStateOn(false);
  clock.Advance(30);
  lamp.SetStateOn(true);  // at 60: counts again from now, pending off dropped
  EXPECT_FALSE(lamp.PendingOff());
  clock.Advance(99);  // 159: the first on-time would have ended at 100
  EXPECT_TRUE(lamp.GetStateOn());
  EXPECT_TRUE(lamp.TimerRunning());
  clock.Advance(1);  // 160: timer ends with no off pending, the lamp stays on
  EXPECT_TRUE(lamp.GetStateOn());
  EXPECT_FALSE(lamp.TimerRunning());
  clock.Advance(1000);
  EXPECT_TRUE(lamp.GetStateOn());
  lamp.SetStateOn(false);  // after the on-time: off at once
  EXPECT_FALSE(lamp.GetStateOn());
  EXPECT_EQ(clock.made, 1);  // one timer, reused
}

TEST_F(Lamp, BurstOfPulsesLightsUntilOnTimeAfterTheLast) {
  lamp.SetOnTime(100);
  for (int i = 0; i < 50; ++i) {
    lamp.SetStateOn(true);
    lamp.SetStateOn(false);
    clock.Advance(5);
  }
  EXPECT_TRUE(lamp.GetStateOn());
  clock.Advance(100 - 5 - 1);
  EXPECT_TRUE(lamp.GetStateOn());
  clock.Advance(1);
  EXPECT_FALSE(lamp.GetStateOn());
  EXPECT_EQ(repaints, 2);  // one on, one off for the whole burst
  EXPECT_EQ(clock.made, 1);
}

TEST_F(Lamp, OffWhileOffDoesNothingWithOnTime) {
  lamp.SetOnTime(100);
  lamp.SetStateOn(false);
  EXPECT_FALSE(lamp.TimerRunning());
  EXPECT_EQ(repaints, 0);
  EXPECT_EQ(clock.made, 0);
}

TEST_F(Lamp, OnTimeLimitsAndSwitchingItOnTurnsALitLampOff) {
  lamp.SetOnTime(5001);
  EXPECT_EQ(lamp.GetOnTime(), 0);
  lamp.SetOnTime(-1);
  EXPECT_EQ(lamp.GetOnTime(), 0);
  lamp.SetOnTime(5000);
  EXPECT_EQ(lamp.GetOnTime(), 5000);
  lamp.SetOnTime(0);
  lamp.SetStateOn(true);
  repaints = 0;
  lamp.SetOnTime(200);
  EXPECT_FALSE(lamp.GetStateOn());
  EXPECT_EQ(repaints, 1);
  EXPECT_EQ(lamp.GetOnTime(), 200);
}

TEST_F(Lamp, RunningTimerKeepsItsIntervalWhenOnTimeChanges) {
  lamp.SetOnTime(100);
  lamp.SetStateOn(true);
  lamp.SetStateOn(false);
  lamp.SetOnTime(1000);
  clock.Advance(100);
  EXPECT_FALSE(lamp.GetStateOn());
  lamp.SetStateOn(true);  // the next on uses the new on-time
  lamp.SetStateOn(false);
  clock.Advance(999);
  EXPECT_TRUE(lamp.GetStateOn());
  clock.Advance(1);
  EXPECT_FALSE(lamp.GetStateOn());
}

TEST_F(Lamp, PropertyWritersRepaintOnlyOnRealChanges) {
  lamp.SetOnColour(0x00FF00);
  lamp.SetOffColour(0xFFFFFF);
  lamp.SetBorderColour(0);
  lamp.SetBorderOn(true);
  lamp.SetShape(PLKDVX::isCircle);
  lamp.SetShape(2);
  lamp.SetShape(-1);
  EXPECT_EQ(repaints, 0);
  EXPECT_EQ(lamp.GetShape(), PLKDVX::isCircle);
  lamp.SetShape(PLKDVX::isSquare);
  lamp.SetOnColour(0x0000FF);
  lamp.SetOffColour(0x808080);
  lamp.SetBorderColour(0x123456);
  lamp.SetBorderOn(false);
  EXPECT_EQ(repaints, 5);
  EXPECT_EQ(lamp.GetShape(), PLKDVX::isSquare);
}

TEST_F(Lamp, PaintColoursFollowStateAndBorderRule) {
  lamp.SetOnColour(0x0000FF);
  lamp.SetOffColour(0x00FFFF);
  lamp.SetBorderColour(0x112233);
  EXPECT_EQ(lamp.FillColour(), 0x00FFFFu);
  EXPECT_EQ(lamp.OutlineColour(), 0x112233u);
  lamp.SetStateOn(true);
  EXPECT_EQ(lamp.FillColour(), 0x0000FFu);
  lamp.SetBorderOn(false);  // no visible border: outline in the fill colour
  EXPECT_EQ(lamp.OutlineColour(), 0x0000FFu);
  lamp.SetStateOn(false);
  EXPECT_EQ(lamp.OutlineColour(), 0x00FFFFu);
}

TEST_F(Lamp, DestroyingALampWithARunningTimerIsSafe) {
  auto l = std::make_unique<PLKDVX::IndicatorState>([this] { return clock.Make(); });
  l->SetOnTime(100);
  l->SetStateOn(true);
  l->SetStateOn(false);
  clock.timers.clear();  // the timer goes with the lamp
  l.reset();
  clock.Advance(200);
  SUCCEED();
}

}  // namespace
