// The live plot's data: a bounded ring of polls with the range of each series
// over a time window, the achieved poll rate, and the engine's round-trip
// time measured on a fake clock.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "control/status_history.h"
#include "control/status_requests.h"
#include "link/engine.h"
#include "support/link_fakes.h"

namespace {

using mv::PlotSeries;

std::array<double, mv::kPlotSeriesCount> Row(double speed, double current = 0) {
  std::array<double, mv::kPlotSeriesCount> r{};
  r.fill(0);
  r[0] = speed;
  r[1] = current;
  return r;
}

}  // namespace

TEST(StatusHistory, KeepsABoundedNumberOfPointsOldestFirst) {
  mv::StatusHistory h(5);
  EXPECT_TRUE(h.Empty());
  EXPECT_FALSE(h.RangeSince(PlotSeries::Speed, 0).valid);
  for (int i = 0; i < 12; ++i) h.Add(i * 0.25, Row(i * 100));
  EXPECT_EQ(h.Size(), 5u);
  EXPECT_EQ(h.Capacity(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_DOUBLE_EQ(h.TimeAt(i), (7 + i) * 0.25);
    EXPECT_DOUBLE_EQ(h.ValueAt(PlotSeries::Speed, i), (7 + i) * 100.0);
  }
  EXPECT_DOUBLE_EQ(h.LatestTime(), 11 * 0.25);

  // A clock that stepped back does not break the time order.
  h.Add(1.0, Row(5));
  EXPECT_DOUBLE_EQ(h.LatestTime(), 11 * 0.25);
  h.Clear();
  EXPECT_EQ(h.Size(), 0u);
  h.Add(0.0, Row(1));  // after Clear, any time is accepted again
  EXPECT_EQ(h.Size(), 1u);
}

TEST(StatusHistory, RangeCoversOnlyTheWindowAndForgetsEvictedExtremes) {
  mv::StatusHistory h(4);
  h.Add(0, Row(90000, 1.5));  // the extreme that will be evicted
  h.Add(1, Row(3000, -2));
  h.Add(2, Row(mv::kNoValue, 4));
  h.Add(3, Row(6000, 0.5));
  auto r = h.RangeSince(PlotSeries::Speed, 0);
  ASSERT_TRUE(r.valid);
  EXPECT_EQ(r.min, 3000);
  EXPECT_EQ(r.max, 90000);
  r = h.RangeSince(PlotSeries::Speed, 1.5);  // window from t = 1.5: gap skipped
  EXPECT_EQ(r.min, 6000);
  EXPECT_EQ(r.max, 6000);
  EXPECT_FALSE(h.RangeSince(PlotSeries::Speed, 3.5).valid);

  h.Add(4, Row(4000, 1));  // evicts t = 0
  r = h.RangeSince(PlotSeries::Speed, -100);
  EXPECT_EQ(r.max, 6000);
  EXPECT_EQ(r.min, 3000);
  r = h.RangeSince(PlotSeries::PhaseCurrent, -100);
  EXPECT_EQ(r.min, -2);
  EXPECT_EQ(r.max, 4);
  EXPECT_EQ(h.FirstAtOrAfter(2), 1u);
  EXPECT_EQ(h.FirstAtOrAfter(2.5), 2u);
  EXPECT_EQ(h.FirstAtOrAfter(10), h.Size());
}

TEST(StatusHistory, PollValuesAreTakenInDisplayUnitsAndMissingOnesAreGaps) {
  mv::StatusValues v;
  v.raw = {123, 600, 450, 0x2006, 41, 0, 37, 12, 480};
  v.received = 0x1FF & ~(1u << static_cast<unsigned>(mv::StatusField::MotorTemp));
  mv::StatusHistory h(8);
  h.Add(0.5, v);
  EXPECT_DOUBLE_EQ(h.ValueAt(PlotSeries::Speed, 0), 6000);
  EXPECT_NEAR(h.ValueAt(PlotSeries::PhaseCurrent, 0), 12.3, 1e-9);
  EXPECT_DOUBLE_EQ(h.ValueAt(PlotSeries::PhasePower, 0), 450);
  EXPECT_NEAR(h.ValueAt(PlotSeries::BusVoltage, 0), 48.0, 1e-9);
  EXPECT_DOUBLE_EQ(h.ValueAt(PlotSeries::ControllerTemp, 0), 41);
  EXPECT_TRUE(std::isnan(h.ValueAt(PlotSeries::MotorTemp, 0)));
  EXPECT_FALSE(h.RangeSince(PlotSeries::MotorTemp, 0).valid);
}

TEST(PollRateMeter, RateOverRecentCompletionsOnly) {
  mv::PollRateMeter m;
  EXPECT_EQ(m.Rate(0), 0);
  m.Completed(10.0);
  EXPECT_EQ(m.Rate(10.0), 0);                                  // one completion is no rate yet
  for (int i = 1; i <= 40; ++i) m.Completed(10.0 + i * 0.25);  // 4 per second, more than kept
  EXPECT_NEAR(m.Rate(20.0), 4.0, 1e-9);
  // Lost polls show as a lower rate: now one every 0.5 s for five seconds.
  for (int i = 1; i <= 10; ++i) m.Completed(20.0 + i * 0.5);
  EXPECT_NEAR(m.Rate(25.0), 2.0, 1e-9);
  EXPECT_EQ(m.Rate(40.0), 0);  // everything older than the span
  m.Reset();
  EXPECT_EQ(m.Rate(25.0), 0);
}

namespace {

std::int64_t fakeNow = 0;
std::int64_t FakeClock() { return fakeNow; }

}  // namespace

TEST(LinkRoundTrip, FromSendRequestToTheLastStepsResponse) {
  linktest::FakePort port;
  linktest::FakeTimer timer;
  mv::RequestEngine engine(port, timer, nullptr);
  engine.SetClock(&FakeClock);
  const mv::RequestSender sender = engine.Sender();
  EXPECT_EQ(engine.LastRoundTripNs(), -1);
  EXPECT_EQ(sender.LastRoundTripNs(), -1);

  // The handler of the last step already sees this request's round trip.
  std::int64_t seenByHandler = 0;
  struct Probe {
    const mv::RequestSender* sender;
    std::int64_t* seen;
    void Step(const mv::RequestStep&, const mv::Response&) { *seen = sender->LastRoundTripNs(); }
  } probe{&sender, &seenByHandler};
  const mv::RequestStep steps[2] = {{0x42, nullptr, 0, {}},
                                    {0x72, nullptr, 0, mv::StepHandler::Bind<&Probe::Step>(&probe)}};

  fakeNow = 1'000'000'000;
  ASSERT_TRUE(engine.SendRequest(steps, 2));
  fakeNow += 3'000'000;
  for (std::uint8_t b : {0x07, 0x01, 0x00}) engine.RxChar(b);
  EXPECT_EQ(engine.LastRoundTripNs(), -1);  // the request is not done yet
  fakeNow += 4'500'000;
  for (std::uint8_t b : {0x07, 0x02, 0x00}) engine.RxChar(b);
  EXPECT_FALSE(engine.Busy());
  EXPECT_EQ(engine.LastRoundTripNs(), 7'500'000);
  EXPECT_EQ(seenByHandler, 7'500'000);

  // An abandoned request keeps the last completed round trip.
  ASSERT_TRUE(engine.SendRequest(steps, 2));
  fakeNow += 100'000'000;
  engine.RxTimeout();
  EXPECT_EQ(sender.LastRoundTripNs(), 7'500'000);
}
