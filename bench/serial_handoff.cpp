// Received bytes per second through the whole port component (pseudo-
// terminal, receive worker, hand-off, headless loop, an empty handler) next to
// a bare loop that reads one byte at a time and hands it to another thread
// with a mutex and a condition variable; and the 99th percentile of the time
// from writing a byte to its handler.
//
// Prints: handoff: N bytes/s, bare: M bytes/s, ratio R, line-rate multiple X, p99 T us
// Goals: R >= 0.8, X >= 3 (against 11520 bytes/s), p99 < 1 ms.
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "support/raw_pty.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCom = 9;
constexpr std::size_t kBytes = 300000;
constexpr int kLatencySamples = 3000;
constexpr double kLineRate = 11520.0;  // 115200 bit/s, 10 bits a byte

std::vector<std::uint8_t> Payload() {
  std::vector<std::uint8_t> data(kBytes);
  for (std::size_t i = 0; i < kBytes; ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  return data;
}

void WriteAll(int fd, const std::vector<std::uint8_t>& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    const ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n > 0) off += static_cast<std::size_t>(n);
  }
}

// One reader thread, one consumer, a one-slot hand-off: the same job as the
// component without the component.
double BareBytesPerSecond() {
  mvtest::RawPty pty;
  const auto data = Payload();
  std::mutex mu;
  std::condition_variable cv;
  bool full = false;
  std::uint8_t slot = 0;
  std::size_t consumed = 0;
  std::thread reader([&] {
    for (std::size_t i = 0; i < kBytes; ++i) {
      std::uint8_t b;
      if (::read(pty.Slave(), &b, 1) != 1) break;
      std::unique_lock<std::mutex> lock(mu);
      slot = b;
      full = true;
      cv.notify_all();
      cv.wait(lock, [&] { return !full; });
    }
  });
  const Clock::time_point start = Clock::now();
  std::thread writer([&] { WriteAll(pty.Master(), data); });
  std::uint64_t sum = 0;
  while (consumed < kBytes) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return full; });
    sum += slot;
    full = false;
    ++consumed;
    cv.notify_all();
  }
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  reader.join();
  if (sum == 0) std::puts("");  // keep the work
  return kBytes / secs;
}

}  // namespace

int main() {
  char dirTemplate[] = "/tmp/mv-bench-ports-XXXXXX";
  if (!::mkdtemp(dirTemplate)) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string dir = dirTemplate;
  ::setenv("MORVANE_PORT_MAP", dir.c_str(), 1);
  const std::string link = dir + "/COM" + std::to_string(kCom);

  double handoff = 0;
  double p99us = 0;
  {
    mvtest::RawPty pty;
    if (::symlink(pty.Path().c_str(), link.c_str()) != 0) {
      std::perror("symlink");
      return 2;
    }
    mv::HeadlessLoop loop;
    PLKDVX::TDVXCOMPort port(loop.Queue());
    port.SetPort1(kCom);
    port.SetBaudRate(PLKDVX::br115200);
    std::size_t received = 0;
    std::atomic<std::int64_t> sentAt[256];  // nanoseconds since the clock's epoch, by byte value
    std::vector<double> latencies;
    latencies.reserve(kLatencySamples);
    bool measuringLatency = false;
    std::atomic<int> handled{0};
    port.OnRxChar = [&](void*, std::uint8_t ch) {
      ++received;
      if (measuringLatency) {
        const std::int64_t now = Clock::now().time_since_epoch().count();
        latencies.push_back((now - sentAt[ch].load()) / 1000.0);
        handled.fetch_add(1, std::memory_order_release);
        handled.notify_one();
      }
    };
    if (!port.Open()) {
      std::fprintf(stderr, "cannot open the pseudo-terminal as COM%d\n", kCom);
      return 2;
    }

    // Throughput.
    const auto data = Payload();
    const Clock::time_point start = Clock::now();
    std::thread writer([&] { WriteAll(pty.Master(), data); });
    loop.RunUntil([&] { return received >= kBytes; }, std::chrono::seconds(30));
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    handoff = received / secs;

    // Latency: one byte at a time, the next only after the last was handled,
    // at irregular gaps.
    measuringLatency = true;
    std::thread pacer([&] {
      unsigned seed = 12345;
      for (int i = 0; i < kLatencySamples; ++i) {
        const std::uint8_t b = static_cast<std::uint8_t>(i % 200);
        // Each byte is handled before the next goes, so a value's slot is free.
        sentAt[b].store(Clock::now().time_since_epoch().count());
        while (::write(pty.Master(), &b, 1) != 1) {
        }
        for (int h = handled.load(std::memory_order_acquire); h <= i; h = handled.load(std::memory_order_acquire))
          handled.wait(h);
        seed = seed * 1103515245u + 12345u;
        std::this_thread::sleep_for(std::chrono::microseconds(50 + (seed >> 16) % 400));
      }
    });
    loop.RunUntil([&] { return latencies.size() >= static_cast<std::size_t>(kLatencySamples); },
                  std::chrono::seconds(30));
    pacer.join();
    port.Close();
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) p99us = latencies[latencies.size() * 99 / 100];
  }
  ::unlink(link.c_str());
  ::rmdir(dir.c_str());

  const double bare = BareBytesPerSecond();
  std::printf("handoff: %.0f bytes/s, bare: %.0f bytes/s, ratio %.2f, line-rate multiple %.1f, p99 %.0f us\n", handoff,
              bare, handoff / bare, handoff / kLineRate, p99us);
  return 0;
}
