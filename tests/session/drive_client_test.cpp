// The drive client without windows, against the simulated drive: calls from
// several threads, Stop jumping the queue, a call given up by its caller, a
// signal handler's call while another waits, and a device that goes away.
// The session under it: an open throws away what an earlier program left.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "session/drive_client.h"
#include "support/raw_pty.h"
#include "support/sim_link.h"
#include "support/sim_process.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using mv::RequestOutcome;

mv::PortChoice Device(const std::string& path) {
  mv::PortChoice c;
  c.device = path;
  return c;
}

struct GivenUp {};

TEST(DriveClient, ThreadsTakeTurnsAndStopJumpsTheQueue) {
  mvtest::TracedSim sim({"--baud", "9600"});  // a get-all takes about 1.5 s on such a line
  ASSERT_TRUE(sim.Ok());
  mv::DriveClient client(Device(sim.Path()));
  ASSERT_TRUE(client.Open().ok);
  mv::MainResult all{};
  mv::ControlResult status{};
  std::thread first([&] { all = client.GetAll(); });
  // Its first frame has reached the drive: the get-all is in flight.
  for (int i = 0; i < 500 && !mvtest::Contains(sim.Trace(), "rx 35 00\n"); ++i) std::this_thread::sleep_for(10ms);
  std::thread second([&] { status = client.Status(); });  // waits its turn, never refused as busy
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(client.Stop().Ok());  // sent after the step in flight: the get-all ends there
  first.join();
  second.join();
  EXPECT_EQ(all.end.outcome, RequestOutcome::Preempted);
  EXPECT_LT(all.end.step, 6u);
  EXPECT_TRUE(status.Ok());
  EXPECT_EQ(client.Counters().busy, 0u);
  client.Close();
  EXPECT_EQ(mvtest::Count(sim.Trace(), "rx 25\n"), 1);
}

TEST(DriveClient, AGivenUpCallLeavesThePortOpenAndAHandlersCallGoesFirst) {
  mvtest::TracedSim sim;
  ASSERT_TRUE(sim.Ok());
  mv::DriveClient client(Device(sim.Path()));
  ASSERT_TRUE(client.Open().ok);
  int checks = 0;
  mv::ControlResult nested{};
  // As a signal handler would: it stops the drive while the poll waits for
  // its period, then the script gives the poll up.
  client.SetInterruptCheck([&] {
    if (++checks == 2) nested = client.Stop();
    if (checks == 3) throw GivenUp{};
  });
  const auto poll = client.StartPolling(1500, 3);
  ASSERT_TRUE(poll->Next()->Ok());
  EXPECT_THROW(poll->Next(), GivenUp);
  EXPECT_TRUE(nested.Ok());
  client.SetInterruptCheck(nullptr);
  EXPECT_TRUE(client.IsOpen());
  EXPECT_TRUE(client.Status().Ok());  // at once: nothing left busy
  EXPECT_EQ(client.Counters().busy, 0u);
  client.Close();
  EXPECT_EQ(mvtest::Count(sim.Trace(), "rx 25\n"), 1);
}

TEST(DriveClient, ADeviceThatWentAwayIsSaidAsSuch) {
  mvtest::SimProcess sim;
  ASSERT_TRUE(sim.Ok());
  mv::DriveClient client(Device(sim.Path()));
  ASSERT_TRUE(client.Open().ok);
  ASSERT_TRUE(client.Status().Ok());
  sim.Stop();  // its end of the line goes
  mv::ControlResult r{};
  for (int i = 0; i < 50 && r.end.outcome != RequestOutcome::DeviceGone; ++i) {
    r = client.Status();
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(r.end.outcome, RequestOutcome::DeviceGone);
  // Ended when the report came, or refused after it: said as such either way.
  const std::string line = mv::FailureLine("status", r.end);
  EXPECT_EQ(line.substr(line.size() - 19), "the device has gone") << line;
}

// An earlier program's answer still waiting in the driver is thrown away by
// the open: the first request takes its own answer.
TEST(DriveSession, OpenThrowsAwayWhatAnEarlierProgramLeft) {
  mvtest::RawPty pty;
  ASSERT_TRUE(pty.Ok());
  const std::uint8_t stale[] = {0x07, 0x11, 0x11};
  ASSERT_EQ(::write(pty.Master(), stale, sizeof stale), 3);
  ::usleep(20000);  // into the terminal's input
  mvtest::SimLink link(pty.Path());
  mv::ControlResult result{};
  struct Sink {
    mv::ControlResult* out;
    void Ended(const mv::ControlResult& r) { *out = r; }
  } sink{&result};
  link.session.SetControlSink(mv::ControlResultSink::Bind<&Sink::Ended>(&sink));
  ASSERT_TRUE(link.session.Open());
  ASSERT_EQ(link.session.Control().Start(), RequestOutcome::Pending);
  pollfd p{pty.Master(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);  // the frame arrives; the drive answers
  std::uint8_t frame = 0;
  ASSERT_EQ(::read(pty.Master(), &frame, 1), 1);
  EXPECT_EQ(frame, 0x24);
  const std::uint8_t own[] = {0x07, 0x24, 0x01};
  ASSERT_EQ(::write(pty.Master(), own, sizeof own), 3);
  ASSERT_TRUE(link.loop.RunUntil([&] { return !link.engine.Busy(); }, 2s));
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(link.engine.Counters().rx, 1u);  // the stale answer never parsed
  link.session.ClearSinks();
}

}  // namespace
