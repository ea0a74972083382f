// What an open port costs when nothing happens, and how long the GUI thread
// can be kept from its other work while bytes stream in.
//
// Prints:
//   idle fake: W wake-ups/s   (all threads; fake device whose status wait blocks)
//   idle pty: W wake-ups/s    (all threads; pseudo-terminal, no modem lines)
//   idle uart DEV: W wake-ups/s  (only with MV_BENCH_UART=DEV, a real serial device)
//   stream: timer 10 ms fired N times in 2 s, longest GUI stall S ms, R bytes/s delivered
//   stream cpu: 115200 baud for 3 s in 1 ms bursts: C % of a core, R bytes/s delivered
// Goals: W <= 1, S <= 20 ms, C <= 5 %.
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "support/platform_fake.h"
#include "support/raw_pty.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Context switches of every thread of this process: each time a thread went
// to sleep (voluntary) or was put aside (involuntary) counts as a wake-up.
long WakeUps() {
  long total = 0;
  DIR* d = ::opendir("/proc/self/task");
  if (!d) return 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/status");
    std::string line;
    while (std::getline(f, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(24));
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(27));
    }
  }
  ::closedir(d);
  return total;
}

double IdleWakeUpsPerSecond(PLKDVX::TDVXCOMPort& port, mv::HeadlessLoop& loop) {
  if (!port.Open()) return -1;
  loop.RunFor(300ms);  // the workers settle into their waits
  constexpr auto kIdle = 5s;
  const long before = WakeUps();
  loop.RunFor(kIdle);
  const long after = WakeUps();
  port.Close();
  return static_cast<double>(after - before) / std::chrono::duration<double>(kIdle).count();
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The far end of a 115200-baud line as a UART or a USB adapter hands it
// over: every millisecond the bytes the line has carried meanwhile (about
// 11.5), for `duration`. Runs in a process of its own, so that only the
// port's side counts in this process's CPU time.
pid_t StartLineFeeder(int master, std::chrono::milliseconds duration) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  constexpr double kBytesPerSecond = 11520.0;
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  std::uint8_t chunk[64];
  for (int i = 0; i < 64; ++i) chunk[i] = static_cast<std::uint8_t>(i);
  long sent = 0;
  for (long tick = 1; tick <= duration.count(); ++tick) {
    timespec due = start;
    due.tv_nsec += (tick % 1000) * 1000000L;
    due.tv_sec += tick / 1000 + due.tv_nsec / 1000000000L;
    due.tv_nsec %= 1000000000L;
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
    const long owed = static_cast<long>(kBytesPerSecond * static_cast<double>(tick) / 1000.0) - sent;
    if (owed > 0 && ::write(master, chunk, static_cast<std::size_t>(owed)) > 0) sent += owed;
  }
  ::_exit(0);
}

// A port at 115200 baud on a pseudo-terminal, served by a headless loop,
// counting what it delivers.
struct StreamRig {
  mvtest::RawPty pty;
  mv::HeadlessLoop loop;
  PLKDVX::TDVXCOMPort port{loop.Queue()};
  long received = 0;
  StreamRig() {
    port.SetBaudRate(PLKDVX::br115200);
    port.SetDevicePathOverride(pty.Path());
    port.OnRxChar = [this](void*, std::uint8_t) { ++received; };
  }
};

}  // namespace

int main() {
  {
    mv::HeadlessLoop loop;
    PLKDVX::TDVXCOMPort port(loop.Queue(), std::make_shared<mv::FakeSerialPlatform>());
    std::printf("idle fake: %.2f wake-ups/s\n", IdleWakeUpsPerSecond(port, loop));
  }
  {
    mvtest::RawPty pty;
    mv::HeadlessLoop loop;
    PLKDVX::TDVXCOMPort port(loop.Queue());
    port.SetBaudRate(PLKDVX::br115200);
    port.SetDevicePathOverride(pty.Path());
    std::printf("idle pty: %.2f wake-ups/s\n", IdleWakeUpsPerSecond(port, loop));
  }
  if (const char* uart = std::getenv("MV_BENCH_UART")) {
    mv::HeadlessLoop loop;
    PLKDVX::TDVXCOMPort port(loop.Queue());
    port.SetBaudRate(PLKDVX::br115200);
    port.SetDevicePathOverride(uart);
    std::printf("idle uart %s: %.2f wake-ups/s\n", uart, IdleWakeUpsPerSecond(port, loop));
  }
  {
    // A source that never pauses, a handler that takes a little time, and a
    // 10 ms timer on the same thread: how late does the timer get?
    StreamRig rig;
    if (!rig.port.Open()) return 2;
    auto& [pty, loop, port, received] = rig;
    std::atomic<bool> stop{false};
    ::fcntl(pty.Master(), F_SETFL, ::fcntl(pty.Master(), F_GETFL) | O_NONBLOCK);  // never stuck once the port is gone
    std::thread writer([&] {
      std::uint8_t chunk[256];
      for (int i = 0; i < 256; ++i) chunk[i] = static_cast<std::uint8_t>(i);
      while (!stop) {
        if (::write(pty.Master(), chunk, sizeof chunk) < 0) std::this_thread::sleep_for(50us);
      }
    });
    std::unique_ptr<mv::Timer> timer = loop.CreateTimer();
    int fired = 0;
    Clock::time_point last = Clock::now();
    double longest = 0;
    timer->SetInterval(10);
    timer->OnTimer = [&] {
      const Clock::time_point now = Clock::now();
      longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count() - 10.0);
      last = now;
      ++fired;
    };
    loop.RunFor(200ms);  // the stream is running
    received = 0;
    fired = 0;
    longest = 0;
    last = Clock::now();
    timer->SetEnabled(true);
    loop.RunFor(2s);
    timer->SetEnabled(false);
    stop = true;
    const Clock::time_point closeStart = Clock::now();
    port.Close();
    const double closeMs = std::chrono::duration<double, std::milli>(Clock::now() - closeStart).count();
    writer.join();
    std::printf(
        "stream: timer 10 ms fired %d times in 2 s, longest GUI stall %.1f ms, %.0f bytes/s delivered, "
        "close %.1f ms\n",
        fired, std::max(longest, 0.0), received / 2.0, closeMs);
  }
  {
    // A continuous stream at the line's own rate: what the port's threads and
    // the loop that serves them cost while it runs.
    StreamRig rig;
    if (!rig.port.Open()) return 2;
    auto& [pty, loop, port, received] = rig;
    loop.RunFor(100ms);
    constexpr auto kStream = 3s;
    const pid_t feeder = StartLineFeeder(pty.Master(), kStream);
    const double cpu0 = CpuSeconds();
    const Clock::time_point t0 = Clock::now();
    loop.RunFor(kStream);
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    int status = 0;
    ::waitpid(feeder, &status, 0);
    loop.RunFor(50ms);
    port.Close();
    std::printf("stream cpu: 115200 baud for 3 s in 1 ms bursts: %.1f %% of a core, %.0f bytes/s delivered\n",
                100.0 * cpu / wall, static_cast<double>(received) / wall);
  }
  return 0;
}
