// The engine over the real serial port component: a line whose other end
// stops reading, frames the transmitter refuses, and the rule that the
// engine's entry points never run inside one another.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/engine.h"
#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "session/drive_session.h"
#include "support/platform_fake.h"
#include "support/raw_pty.h"
#include "support/sim_link.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t first) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
  return v;
}

// Reads whatever the master end gives until it has been quiet for `quiet`.
std::vector<std::uint8_t> Drain(int fd, std::chrono::milliseconds quiet) {
  std::vector<std::uint8_t> out;
  std::uint8_t buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return out;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return out;
    out.insert(out.end(), buf, buf + n);
  }
}

// The other end of the line stops reading (a full pseudo-terminal stands for
// a stalled adapter or drive), three requests time out, then it reads again:
// no byte of a frame whose request was reported failed ever leaves (each was
// withdrawn with its failure), so the drive never acts on one afterwards.
TEST(LinkOverPort, StalledLineNeverSendsAFrameWhoseRequestFailed) {
  mvtest::RawPty pty;
  ASSERT_TRUE(pty.Ok());
  const int master = pty.Master(), slave = pty.Slave();
  // Fill the line before the port opens: its writes then block. The kernel
  // moves written bytes on between its buffers for a moment, so the line
  // counts as full once it has taken nothing for a while.
  ::fcntl(slave, F_SETFL, ::fcntl(slave, F_GETFL) | O_NONBLOCK);
  std::size_t filler = 0;
  const std::uint8_t pad[256] = {};
  for (int idle = 0; idle < 5;) {
    const ssize_t n = ::write(slave, pad, sizeof pad);
    if (n > 0) {
      filler += static_cast<std::size_t>(n);
      idle = 0;
    } else {
      ++idle;
      std::this_thread::sleep_for(10ms);
    }
  }
  ASSERT_GT(filler, 0u);

  {
    mvtest::SimLink link(pty.Path());
    int refused = 0;
    link.session.OnReport = [&](const mv::PortReport& r) { refused += r.desc == "Tx is busy"; };
    ASSERT_TRUE(link.serial.Open());
    // A profile save (224 bytes), then a one-byte command, then another save.
    const std::vector<std::uint8_t> save1 = Pattern(223, 0x10), save2 = Pattern(223, 0x80);
    const mv::RequestStep first{0x35, save1.data(), 223, {}};
    const mv::RequestStep second{0x24, nullptr, 0, {}};
    const mv::RequestStep third{0x36, save2.data(), 223, {}};
    for (const mv::RequestStep* step : {&first, &second, &third}) {
      ASSERT_TRUE(link.engine.SendRequest(step, 1));
      ASSERT_TRUE(link.loop.RunUntil([&] { return !link.engine.Busy(); }, 5s));
    }
    EXPECT_EQ(link.engine.Counters().to, 3u);
    EXPECT_EQ(link.engine.Counters().tx, 3u);
    EXPECT_EQ(refused, 0);  // each withdrawn frame freed the transmitter

    // The other end reads again.
    std::vector<std::uint8_t> wire;
    for (int i = 0; i < 50 && wire.size() < filler + 224; ++i) {
      const std::vector<std::uint8_t> got = Drain(master, 20ms);
      wire.insert(wire.end(), got.begin(), got.end());
      link.loop.RunFor(10ms);
    }
    const std::vector<std::uint8_t> more = Drain(master, 100ms);
    wire.insert(wire.end(), more.begin(), more.end());
    // Only filler (the driver keeps what it had already passed on); every
    // frame begins with a byte that is not 0.
    EXPECT_LE(wire.size(), filler);
    EXPECT_TRUE(std::all_of(wire.begin(), wire.end(), [](std::uint8_t b) { return b == 0; }));
    link.serial.Close();
  }
}

// Entry points of the engine, counted while they run.
struct Depth {
  int now = 0;
  int deepest = 0;
  struct Scope {
    explicit Scope(Depth& d) : d_(d) { d_.deepest = std::max(d_.deepest, ++d_.now); }
    ~Scope() { --d_.now; }
    Depth& d_;
  };
};

// A frame the line holds until its request times out, then an answer that
// arrives late and waits in the hand-off queue: it must not run inside
// SendRequest, and no step handler may run for a frame that never left.
TEST(LinkOverPort, RefusedFrameNeverRunsEventsInsideTheEngine) {
  mv::HeadlessLoop loop;
  auto fake = std::make_shared<mv::FakeSerialPlatform>();
  std::unique_ptr<mv::Timer> timer = loop.CreateTimer();
  mv::DriveSession session(loop.Queue(), *timer, fake);
  PLKDVX::TDVXCOMPort& serial = session.Port();
  mv::RequestEngine& engine = session.Engine();
  Depth depth;
  serial.OnRxChar = [&](void*, std::uint8_t c) {
    Depth::Scope s(depth);
    engine.RxChar(c);
  };
  serial.OnRxError = [&](void*) {
    Depth::Scope s(depth);
    engine.RxError();
  };
  const std::function<void()> timeout = timer->OnTimer;
  timer->OnTimer = [&] {
    Depth::Scope s(depth);
    timeout();
  };
  struct Handled {
    int calls = 0;
    static void On(void* o, const mv::RequestStep&, const mv::Response&) { ++static_cast<Handled*>(o)->calls; }
  } handled;
  ASSERT_TRUE(serial.Open());

  fake->HoldWrites(true);
  const mv::RequestStep a{0xA1, nullptr, 0, {}};
  {
    Depth::Scope s(depth);
    ASSERT_TRUE(engine.SendRequest(&a, 1));
  }
  ASSERT_TRUE(loop.RunUntil([&] { return !engine.Busy(); }, 5s));
  // An answer after all, waiting to be handed to this thread.
  fake->InjectBytes({0x0B});
  for (int i = 0; i < 5000 && !loop.Queue().HasPending(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(loop.Queue().HasPending());

  const mv::RequestStep b[2] = {{0xB1, nullptr, 0, {&Handled::On, &handled}}, {0xB2, nullptr, 0, {}}};
  {
    Depth::Scope s(depth);
    ASSERT_TRUE(engine.SendRequest(b, 2));
  }
  ASSERT_TRUE(loop.RunUntil([&] { return !engine.Busy(); }, 5s));
  fake->HoldWrites(false);
  loop.RunFor(20ms);
  EXPECT_EQ(depth.deepest, 1);
  EXPECT_EQ(handled.calls, 0);
  // A1 and B1 were withdrawn with their timeouts, B2 never offered; the late
  // answer came while B waited for a quiet line and was dropped.
  EXPECT_TRUE(fake->Written().empty());
  EXPECT_EQ(engine.Counters().to, 2u);
  EXPECT_EQ(engine.Counters().rx, 0u);
  serial.Close();
}

}  // namespace
