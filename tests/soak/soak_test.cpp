// Long runs of the real link path (port component, request engine, request
// tables) against morvane-sim on a pseudo-terminal, with faults injected at
// known frames, and long open/close and burst runs of the port itself.
// Built and run only by `make soak` (ctest label "soak"); every run is
// bounded in time and ends with exact accounting:
//  - every injected fault abandons exactly one request and nothing else does;
//  - no slot and no profile file ever holds a profile with a bad checksum;
//  - no file descriptor and no thread is left behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/status_requests.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "profiles/profile_file.h"
#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "support/sim_link.h"
#include "support/sim_process.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}
int OpenFds() { return CountEntries("/proc/self/fd"); }
// The port's worker threads still alive ("COMn ... Thread"). Other threads
// are not counted: a sanitizer's runtime may start its own at any time.
int PortWorkers() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string name;
      std::getline(comm, name);
      n += name.rfind("COM", 0) == 0;
    }
    closedir(d);
  }
  return n;
}

// Waits (up to 5 s) for the worker threads of a closed port to be gone.
int SettledWorkers() {
  for (int i = 0; i < 500 && PortWorkers() > 0; ++i) std::this_thread::sleep_for(10ms);
  return PortWorkers();
}

// morvane-sim with the given options; its messages go to this program's stderr.
class Sim : public mvtest::SimProcess {
 public:
  explicit Sim(const std::vector<std::string>& options) : SimProcess(options, mvtest::SimStderr::Inherit) {}
};

// The main window and the control window as far as results go.
struct Window final : mv::LinkView {
  std::array<mv::MotorProfile, mv::kSlotCount> slots{};
  std::vector<std::string> messages;
  std::map<mv::RequestOutcome, int> outcomes;
  int ended = 0;
  int badSlotStores = 0;

  Window() {
    for (int i = 0; i < mv::kSlotCount; ++i) slots[static_cast<std::size_t>(i)] = mv::MotorProfileDefaults(i);
  }
  void MainEnded(const mv::MainResult& r) {
    for (int i = 0; i < mv::kSlotCount; ++i) {
      const auto s = static_cast<std::size_t>(i);
      if (r.end.trusted && r.slotOutcome[s] == mv::SlotOutcome::Received) {
        if (!mv::ProfileChecksumValid(r.profiles[s])) ++badSlotStores;
        slots[s] = r.profiles[s];
      }
      char text[96];
      if (mv::SlotMessage(r, i, text, sizeof text)) messages.emplace_back(text);
    }
  }
  void ControlEnded(const mv::ControlResult&) {}
  void SetPortStatusText(const char*) override {}
  void CountersChanged(const mv::LinkCounters&) override {}
  void RequestEnded(const mv::RequestEnd& e) override {
    ++outcomes[e.outcome];
    ++ended;
  }
};

// The whole host-side link on a headless loop, opened on the sim's terminal.
class Link {
 public:
  explicit Link(const std::string& device) : sim_(device, &window) {
    sim_.session.SetMainSink(mv::MainResultSink::Bind<&Window::MainEnded>(&window));
    sim_.session.SetControlSink(mv::ControlResultSink::Bind<&Window::ControlEnded>(&window));
    sim_.serial.SetBaudRate(PLKDVX::br115200);
    opened = sim_.session.Open();
  }
  ~Link() {
    sim_.serial.Close();
    sim_.session.ClearSinks();
  }

  // Runs one request to its end; false when it was refused or did not end.
  template <class Send>
  bool Run(Send send, mv::RequestOutcome& outcome) {
    const int before = window.ended;
    if (send() != mv::RequestOutcome::Pending) return false;
    if (!sim_.loop.RunUntil([this] { return !sim_.engine.Busy(); }, 10s)) return false;
    if (window.ended != before + 1) return false;
    outcome = sim_.engine.LastOutcome();
    // After a failure the line is left quiet long enough for a late or
    // half-sent answer to arrive and be dropped, as a user would wait before
    // trying again.
    if (outcome != mv::RequestOutcome::Completed) sim_.loop.RunFor(300ms);
    return true;
  }

  const mv::LinkCounters& Counters() const { return sim_.engine.Counters(); }
  bool opened = false;
  Window window;

 private:
  mvtest::SimLink sim_;

 public:
  mv::MainRequests& main = sim_.session.Main();
  mv::ControlStatusRequests& control = sim_.session.Control();
};

struct FaultPlan {
  std::vector<std::string> options;  // morvane-sim arguments
  std::map<std::string, int> count;  // injected faults per kind
};

// `perKind` faults of each kind, each at a distinct (command, n-th frame) of
// the given commands; n-th frames drawn from 1..maxNth.
FaultPlan PlanFaults(const std::vector<std::string>& kinds, int perKind, const std::vector<std::uint8_t>& commands,
                     int maxNth, std::mt19937& rng) {
  FaultPlan plan;
  std::set<std::pair<int, int>> used;
  for (const auto& kind : kinds) {
    for (int i = 0; i < perKind; ++i) {
      std::pair<int, int> at;
      do {
        at = {commands[std::uniform_int_distribution<std::size_t>(0, commands.size() - 1)(rng)],
              std::uniform_int_distribution<int>(1, maxNth)(rng)};
      } while (!used.insert(at).second);
      char text[64];
      std::snprintf(text, sizeof text, "%s:0x%02X:%d", kind.c_str(), at.first, at.second);
      plan.options.push_back("--fault");
      plan.options.push_back(text);
      ++plan.count[kind];
    }
  }
  return plan;
}

unsigned Seed() {
  const char* s = std::getenv("MV_SOAK_SEED");
  const unsigned seed = s ? static_cast<unsigned>(std::strtoul(s, nullptr, 0)) : 20261207u;
  std::printf("soak seed %u (set MV_SOAK_SEED to repeat another)\n", seed);
  return seed;
}

int Env(const char* name, int fallback) {
  const char* s = std::getenv(name);
  return s ? std::atoi(s) : fallback;
}

// 10000 nine-step status polls with no-answer, late, gap and bad-code faults
// at known frames: each fault abandons exactly its own poll, every other poll
// completes, and the timeouts are exactly the faults that withhold an answer.
TEST(Soak, StatusPollsWithFaultsEndWithExactCounters) {
  const int polls = Env("MV_SOAK_POLLS", 10000);
  std::mt19937 rng(Seed());
  std::vector<std::uint8_t> statusCommands;
  for (const auto& f : mv::kStatusFields) statusCommands.push_back(f.command);
  // Frames near the end might not be reached (an abandoned poll skips its
  // remaining steps), so faults go into the first nine tenths.
  const FaultPlan plan = PlanFaults({"none", "late", "gap", "badcode"}, 12, statusCommands, polls * 9 / 10, rng);
  const int faults = 48;

  const int fds = OpenFds();
  {
    Sim sim(plan.options);
    ASSERT_FALSE(sim.Path().empty()) << "morvane-sim did not start";
    Link link(sim.Path());
    ASSERT_TRUE(link.opened);
    int failed = 0;
    for (int i = 0; i < polls; ++i) {
      mv::RequestOutcome o{};
      ASSERT_TRUE(link.Run([&] { return link.control.GetStatus(); }, o)) << "poll " << i << " did not end";
      if (o != mv::RequestOutcome::Completed) ++failed;
    }
    const mv::LinkCounters c = link.Counters();
    std::printf(
        "status polls: %d, faults injected: %d (none %d, late %d, gap %d, badcode %d), polls abandoned: %d; "
        "Tx=%u Rx=%u TO=%u Errs=%u Busy=%u\n",
        polls, faults, plan.count.at("none"), plan.count.at("late"), plan.count.at("gap"), plan.count.at("badcode"),
        failed, c.tx, c.rx, c.to, c.errs, c.busy);
    EXPECT_EQ(failed, faults);
    EXPECT_EQ(link.window.outcomes[mv::RequestOutcome::Completed], polls - faults);
    // Polls that ended in their timeout; TO also counts the idle timeouts of
    // the late halves of answers that arrived after their poll had ended.
    const int withheld = plan.count.at("none") + plan.count.at("late") + plan.count.at("gap");
    EXPECT_EQ(link.window.outcomes[mv::RequestOutcome::Timeout], withheld);
    EXPECT_GE(static_cast<int>(c.to), withheld);
    EXPECT_EQ(link.window.outcomes[mv::RequestOutcome::BadCode], plan.count.at("badcode"));
    EXPECT_EQ(c.busy, 0u);
    EXPECT_EQ(link.window.ended, polls);
  }
  EXPECT_EQ(OpenFds(), fds) << "file descriptors left open";
  EXPECT_EQ(SettledWorkers(), 0) << "threads left running";
}

// Random garbage instead of an answer may even parse as a response, but it
// never hangs the link, and at most the poll it hit and the next one suffer.
TEST(Soak, GarbageAnswersNeverHangTheLink) {
  const int polls = Env("MV_SOAK_POLLS", 10000) / 5;
  std::mt19937 rng(Seed() + 1);
  std::vector<std::uint8_t> statusCommands;
  for (const auto& f : mv::kStatusFields) statusCommands.push_back(f.command);
  const FaultPlan plan = PlanFaults({"garbage"}, 30, statusCommands, polls * 9 / 10, rng);
  Sim sim(plan.options);
  ASSERT_FALSE(sim.Path().empty());
  Link link(sim.Path());
  ASSERT_TRUE(link.opened);
  int failed = 0;
  for (int i = 0; i < polls; ++i) {
    mv::RequestOutcome o{};
    ASSERT_TRUE(link.Run([&] { return link.control.GetStatus(); }, o)) << "poll " << i << " did not end";
    if (o != mv::RequestOutcome::Completed) ++failed;
  }
  std::printf("garbage: %d polls, %d garbage answers, %d polls abandoned\n", polls, plan.count.at("garbage"), failed);
  EXPECT_LE(failed, 2 * plan.count.at("garbage"));
  EXPECT_EQ(link.window.ended, polls);
}

mv::MotorProfile RandomProfile(std::mt19937& rng, int round) {
  mv::MotorProfile p = mv::MotorProfileDefaults(round % mv::kSlotCount);
  char name[12];
  std::snprintf(name, sizeof name, "R%d", round);
  p.SetName(name);
  p.SetComment(round % 3 ? "soak" : "");
  for (const auto& f : mv::kScalarFields)
    p.SetU16(f.offset, static_cast<std::uint16_t>(std::uniform_int_distribution<int>(f.min, f.max)(rng)));
  mv::UpdateChecksum(p);
  return p;
}

// 1000 save-and-read-back round trips of a profile, with refused saves,
// corrupted profiles and lost answers at known frames: what the drive holds
// always comes back, a corrupted profile is reported and never stored, and
// every slot and every profile file written on the way stays valid.
TEST(Soak, ProfileRoundTripsNeverStoreABadChecksum) {
  const int rounds = Env("MV_SOAK_ROUNDS", 1000);
  std::mt19937 rng(Seed() + 2);
  FaultPlan plan = PlanFaults({"badsum", "none"}, 12, {mv::CmdGetProfile}, rounds * 9 / 10, rng);
  const FaultPlan refuse = PlanFaults({"refuse"}, 15, {mv::CmdSaveProfile}, rounds * 9 / 10, rng);
  plan.options.insert(plan.options.end(), refuse.options.begin(), refuse.options.end());

  mvtest::TempDir dir;
  const int fds = OpenFds();
  Sim sim(plan.options);
  ASSERT_FALSE(sim.Path().empty());
  {
    Link link(sim.Path());
    ASSERT_TRUE(link.opened);
    // What the drive holds per slot, as far as the host can know.
    std::array<mv::MotorProfile, mv::kSlotCount> drive;
    for (int s = 0; s < mv::kSlotCount; ++s) drive[static_cast<std::size_t>(s)] = mv::MotorProfileDefaults(s);
    int refused = 0, corrupted = 0, timeouts = 0, filesWritten = 0;
    for (int r = 0; r < rounds; ++r) {
      const int slot = r % mv::kSlotCount;
      const auto s = static_cast<std::size_t>(slot);
      const mv::MotorProfile sent = RandomProfile(rng, r);
      link.window.slots[s] = sent;
      link.window.messages.clear();
      mv::RequestOutcome o{};
      ASSERT_TRUE(link.Run([&] { return link.main.SaveProfile(slot, link.window.slots[s]); }, o)) << "save " << r;
      ASSERT_EQ(o, mv::RequestOutcome::Completed) << "save " << r;
      if (link.window.messages.empty()) {
        drive[s] = sent;
      } else {
        ++refused;
        ASSERT_EQ(link.window.messages.size(), 1u);
      }

      const mv::MotorProfile before = mv::MotorProfileDefaults((slot + 1) % mv::kSlotCount);
      link.window.slots[s] = before;
      link.window.messages.clear();
      ASSERT_TRUE(link.Run([&] { return link.main.GetProfile(slot); }, o)) << "get " << r;
      if (o == mv::RequestOutcome::Timeout) {
        ++timeouts;
        EXPECT_EQ(link.window.slots[s], before) << "a lost answer changed slot " << slot;
      } else if (!link.window.messages.empty()) {
        ++corrupted;
        EXPECT_EQ(link.window.slots[s], before) << "a corrupted profile reached slot " << slot;
      } else {
        EXPECT_EQ(link.window.slots[s], drive[s]) << "round " << r;
      }
      for (const auto& p : link.window.slots) ASSERT_TRUE(mv::ProfileChecksumValid(p)) << "round " << r;

      // The slot as the user would save it, read back from its file.
      std::string message;
      const std::string file = dir.File("P0" + std::to_string(slot + 1) + ".ini");
      ASSERT_TRUE(mv::writeMotorProfileFile(file, link.window.slots[s], message)) << message;
      mv::MotorProfile back;
      ASSERT_TRUE(mv::readMotorProfileFile(file, back, message)) << message;
      ASSERT_EQ(back, link.window.slots[s]);
      ++filesWritten;
    }
    const mv::LinkCounters c = link.Counters();
    std::printf(
        "profile round trips: %d, faults injected: badsum %d, refuse %d, none %d; seen: corrupted %d, "
        "refused %d, timeouts %d; files written and re-read %d; Tx=%u Rx=%u TO=%u Errs=%u\n",
        rounds, plan.count.at("badsum"), refuse.count.at("refuse"), plan.count.at("none"), corrupted, refused, timeouts,
        filesWritten, c.tx, c.rx, c.to, c.errs);
    EXPECT_EQ(corrupted, plan.count.at("badsum"));
    EXPECT_EQ(refused, refuse.count.at("refuse"));
    EXPECT_EQ(timeouts, plan.count.at("none"));
    EXPECT_EQ(link.window.badSlotStores, 0);
  }
  EXPECT_EQ(OpenFds(), fds) << "file descriptors left open";
}

// A pseudo-terminal whose far end streams a counting byte pattern.
class StreamingPty {
 public:
  StreamingPty() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    path_ = ttyname(slave_);
  }
  ~StreamingPty() {
    Stop();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  const std::string& Path() const { return path_; }
  int master() const { return master_; }

  // Writes continuously until Stop() (waiting while the terminal is full).
  void StartStreaming() {
    run_ = true;
    writer_ = std::thread([this] {
      std::uint8_t chunk[256];
      for (int i = 0; i < 256; ++i) chunk[i] = static_cast<std::uint8_t>(i);
      while (run_) {
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, 5) == 1 && write(master_, chunk, sizeof chunk) < 0) std::this_thread::sleep_for(1ms);
      }
    });
  }
  void Stop() {
    run_ = false;
    if (writer_.joinable()) writer_.join();
  }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
  std::atomic<bool> run_{false};
  std::thread writer_;
};

// 1000 open/close cycles while bytes stream in: none hangs or fails, and the
// descriptors and worker threads all go away again.
TEST(Soak, PortOpenCloseCyclesWhileStreaming) {
  const int cycles = Env("MV_SOAK_CYCLES", 1000);
  StreamingPty pty;
  ASSERT_FALSE(pty.Path().empty());
  const int fds = OpenFds();
  mv::HeadlessLoop loop;
  PLKDVX::TDVXCOMPort port(loop.Queue());
  std::vector<std::string> errors;
  port.OnReport = [&](void*, PLKDVX::TReportType type, const std::string& f, const std::string& d, const std::string&,
                      int, int err) {
    // A pseudo-terminal has no modem lines: a warning once per open.
    if (type == PLKDVX::rtError) errors.push_back(f + ": " + d + " (" + std::to_string(err) + ")");
  };
  std::uint64_t received = 0;
  port.OnRxChar = [&](void*, std::uint8_t) { ++received; };
  port.SetBaudRate(PLKDVX::br115200);
  port.SetDevicePathOverride(pty.Path());
  pty.StartStreaming();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < cycles; ++i) {
    ASSERT_TRUE(port.Open()) << "cycle " << i << (errors.empty() ? "" : ": " + errors.back());
    loop.RunFor(std::chrono::milliseconds(i % 4));
    ASSERT_TRUE(port.Close()) << "cycle " << i;
    ASSERT_FALSE(port.GetOpened());
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  pty.Stop();
  std::printf("open/close cycles: %d in %.1f s while streaming, %llu bytes received\n", cycles, secs,
              static_cast<unsigned long long>(received));
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(OpenFds(), fds) << "file descriptors left open";
  EXPECT_EQ(SettledWorkers(), 0) << "threads left running";
}

// A burst many times larger than the port's receive queue arrives complete
// and in order.
TEST(Soak, BurstLargerThanTheReceiveQueueArrivesInOrder) {
  StreamingPty pty;
  ASSERT_FALSE(pty.Path().empty());
  mv::HeadlessLoop loop;
  PLKDVX::TDVXCOMPort port(loop.Queue());
  port.SetRxQueueSize(PLKDVX::TDVXCOMPort::kMinQueueSize);
  port.SetBaudRate(PLKDVX::br115200);
  port.SetDevicePathOverride(pty.Path());
  std::vector<std::uint8_t> got;
  port.OnRxChar = [&](void*, std::uint8_t c) { got.push_back(c); };
  ASSERT_TRUE(port.Open());

  const std::size_t size = std::max<std::size_t>(256 * 1024, static_cast<std::size_t>(port.GetRxQueueSize()) * 64);
  std::vector<std::uint8_t> burst(size);
  for (std::size_t i = 0; i < size; ++i) burst[i] = static_cast<std::uint8_t>((i * 131 + i / 251) & 0xFF);
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = write(pty.master(), burst.data() + done, size - done);
      if (n > 0)
        done += static_cast<std::size_t>(n);
      else
        std::this_thread::sleep_for(1ms);
    }
  });
  const bool all = loop.RunUntil([&] { return got.size() >= size; }, 60s);
  writer.join();
  port.Close();
  ASSERT_TRUE(all) << "received " << got.size() << " of " << size << " bytes";
  ASSERT_EQ(got.size(), size);
  EXPECT_TRUE(got == burst) << "bytes out of order or changed";
}

}  // namespace
