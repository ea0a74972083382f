// The port on real pseudo-terminals, mapped as COMn through a temporary port
// map folder: data paths, shutdown while streaming, leaks and hang-ups.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "serial/port_map.h"
#include "support/raw_pty.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using PLKDVX::TDVXCOMPort;

const std::string kNoModemLines = "OpenCOMPort/no modem lines (CTS, DSR, RI, CD): not watched";

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

// A pseudo-terminal whose terminal end is linked into a fresh port map as COM7.
// The test holds both of its ends until it ends, and no other program may
// have it open meanwhile.
class PtyPort : public ::testing::Test {
 protected:
  static constexpr int kCom = 7;

  void SetUp() override {
    if (const char* old = std::getenv("MORVANE_PORT_MAP")) savedMap_ = old, hadMap_ = true;
    ::setenv("MORVANE_PORT_MAP", dir.Path().c_str(), 1);
    ASSERT_TRUE(pty.Ok());
    master = pty.Master();
    slave = pty.Slave();
    slavePath = pty.Path();
    ASSERT_EQ(::symlink(slavePath.c_str(), dir.File("COM" + std::to_string(kCom)).c_str()), 0);
    port = std::make_unique<TDVXCOMPort>(loop.Queue());
    port->SetPort1(kCom);
    port->SetBaudRate(PLKDVX::br115200);
    port->OnReport = [this](void*, PLKDVX::TReportType, const std::string& f, const std::string& d, const std::string&,
                            int, int err) {
      reports.push_back(f + "/" + d);
      errs.push_back(err);
    };
  }

  void TearDown() override {
    EXPECT_EQ(pty.Intruders(), "") << slavePath << " was open in another program";
    if (HasFailure())
      for (size_t i = 0; i < reports.size(); ++i) std::fprintf(stderr, "report %s %d\n", reports[i].c_str(), errs[i]);
    port.reset();
    if (hadMap_)
      ::setenv("MORVANE_PORT_MAP", savedMap_.c_str(), 1);
    else
      ::unsetenv("MORVANE_PORT_MAP");
  }

  int Count(const std::string& what) const {
    int n = 0;
    for (const auto& r : reports) n += r == what;
    return n;
  }

  mvtest::TempDir dir;
  mvtest::RawPty pty;
  mv::HeadlessLoop loop;
  std::unique_ptr<TDVXCOMPort> port;
  int master = -1, slave = -1;
  std::string slavePath;
  std::vector<std::string> reports;
  std::vector<int> errs;

 private:
  std::string savedMap_;
  bool hadMap_ = false;
};

TEST_F(PtyPort, PortMapAndPresence) {
  EXPECT_EQ(mv::PortDevicePath(kCom), slavePath);
  EXPECT_TRUE(PLKDVX::IsPortPres(kCom));
  EXPECT_TRUE(port->IsPortPresent(kCom));
  EXPECT_FALSE(PLKDVX::IsPortPres(0));
  EXPECT_FALSE(PLKDVX::IsPortPres(256));
  EXPECT_EQ(mv::PortDevicePath(256), "");
  EXPECT_EQ(mv::PortDevicePath(1), "/dev/ttyUSB0");
  EXPECT_EQ(mv::PortDevicePath(9), "/dev/ttyACM0");
  EXPECT_EQ(mv::PortDevicePath(32), "/dev/ttyS15");
  EXPECT_EQ(mv::PortDevicePath(40), "");
  // Entries beyond the fixed table and relative links work too.
  ASSERT_EQ(::symlink(slavePath.c_str(), dir.File("COM40").c_str()), 0);
  EXPECT_TRUE(PLKDVX::IsPortPres(40));
  // A regular file and a dangling link are not ports.
  mvtest::WriteFile(dir.File("plain"), "x");
  ASSERT_EQ(::symlink("plain", dir.File("COM41").c_str()), 0);
  EXPECT_EQ(mv::PortDevicePath(41), dir.File("plain"));
  EXPECT_FALSE(PLKDVX::IsPortPres(41));
  ASSERT_EQ(::symlink("/dev/null", dir.File("COM42").c_str()), 0);
  EXPECT_FALSE(PLKDVX::IsPortPres(42));  // a character device, but no terminal
  ::unlink(dir.File("COM" + std::to_string(kCom)).c_str());
  EXPECT_FALSE(PLKDVX::IsPortPres(kCom));  // checked afresh
  EXPECT_FALSE(port->Open());
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports[0], "OpenCOMPort/CreateFile");
}

TEST_F(PtyPort, BurstArrivesCompleteAndInOrderWhileTheGuiIsSlow) {
  constexpr int kBytes = 20000;
  std::vector<std::uint8_t> got;
  got.reserve(kBytes);
  int elsewhere = 0;  // OnRxChar on another thread than the loop's
  port->OnRxChar = [&, loopThread = std::this_thread::get_id()](void*, std::uint8_t ch) {
    got.push_back(ch);
    elsewhere += std::this_thread::get_id() != loopThread;
  };
  ASSERT_TRUE(port->Open());
  std::vector<std::uint8_t> sent(kBytes);
  for (int i = 0; i < kBytes; ++i) sent[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
  std::thread writer([&] {
    size_t off = 0;
    while (off < sent.size()) {
      const ssize_t n = ::write(master, sent.data() + off, sent.size() - off);
      if (n > 0)
        off += static_cast<size_t>(n);
      else if (errno != EINTR && errno != EAGAIN)
        break;
    }
  });
  std::this_thread::sleep_for(200ms);  // the GUI side is busy elsewhere
  EXPECT_TRUE(loop.RunUntil([&] { return got.size() >= sent.size(); }, 30s));
  writer.join();
  EXPECT_EQ(got, sent);  // includes 0xFF and 0x00 bytes unchanged
  EXPECT_EQ(elsewhere, 0);
  EXPECT_TRUE(port->Close());
}

TEST_F(PtyPort, TransmitLongBufferAbortAndNextBuffer) {
  std::vector<int> txLens;
  port->OnTxData = [&](void*, int n) { txLens.push_back(n); };
  ASSERT_TRUE(port->Open());
  // Nobody reads the other end: the write fills the line's buffers and waits.
  std::vector<std::uint8_t> big(4 << 20, 0x55);
  ASSERT_TRUE(port->TxData(big.data(), static_cast<int>(big.size())));
  loop.RunFor(50ms);
  EXPECT_TRUE(txLens.empty());
  EXPECT_TRUE(port->TxAbort());
  loop.RunFor(50ms);
  EXPECT_TRUE(txLens.empty());
  // Drain what reached the other end, then a short frame goes through.
  std::uint8_t buf[4096];
  while (::read(master, buf, sizeof buf) > 0) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) break;
  }
  static const std::uint8_t frame[] = {0x10, 0x01, 0x02};
  bool accepted = false;
  ASSERT_TRUE(loop.RunUntil([&] { return accepted || (accepted = port->TxData(frame, 3)); }, 5s));
  ASSERT_TRUE(loop.RunUntil([&] { return !txLens.empty(); }, 5s));
  EXPECT_EQ(txLens, std::vector<int>{3});
  EXPECT_TRUE(port->Close());
}

// PurgeInput throws away what had arrived and was not delivered yet, also
// what the receive worker already holds for the GUI thread; what arrives
// after it is delivered, also when the purge came while the port waited.
TEST_F(PtyPort, PurgeInputThrowsAwayWhatHadArrivedAndKeepsWhatComesAfter) {
  std::vector<std::uint8_t> got;
  port->OnRxChar = [&](void*, std::uint8_t ch) { got.push_back(ch); };
  ASSERT_TRUE(port->Open());
  // Arrived while the program was busy elsewhere: part of it waits in the
  // hand-off, the rest in the driver.
  const std::vector<std::uint8_t> stale(1000, 0x11);
  ASSERT_EQ(::write(master, stale.data(), stale.size()), 1000);
  for (int i = 0; i < 5000 && !loop.Queue().HasPending(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(port->PurgeInput());
  loop.RunFor(50ms);
  EXPECT_TRUE(got.empty()) << got.size() << " stale bytes delivered";
  ASSERT_TRUE(port->PurgeInput());  // the receive worker waits for input now
  const std::uint8_t fresh[] = {1, 2, 3};
  ASSERT_EQ(::write(master, fresh, 3), 3);
  ASSERT_TRUE(loop.RunUntil([&] { return got.size() >= 3; }, 2s));
  EXPECT_EQ(got, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_TRUE(port->Close());
}

// TxAbort while the transmit worker holds a frame it has not begun to write:
// once TxAbort has said yes, nothing of the frame leaves and the caller's
// buffer is never read again (freed at once here; the AddressSanitizer build
// catches a read of a long frame, which is sent from the caller's memory).
TEST_F(PtyPort, AbortBetweenTakingAFrameAndWritingItSendsNothing) {
  std::mutex mu;
  std::condition_variable cv;
  bool taken = false, resume = false;
  port->SetTxFrameTakenHook([&] {
    std::unique_lock<std::mutex> lock(mu);
    taken = true;
    cv.notify_all();
    cv.wait(lock, [&] { return resume; });
  });
  std::vector<int> txLens;
  port->OnTxData = [&](void*, int n) { txLens.push_back(n); };
  ASSERT_TRUE(port->Open());
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  auto lineCarried = [&] {
    std::size_t n = 0;
    std::uint8_t buf[4096];
    for (ssize_t r; (r = ::read(master, buf, sizeof buf)) > 0;) n += static_cast<std::size_t>(r);
    return n;
  };
  for (const int size : {3, 4096}) {  // a copied frame, and one sent from the caller's memory
    SCOPED_TRACE(size);
    auto frame = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(size));
    std::fill(frame.get(), frame.get() + size, 0x5A);
    ASSERT_TRUE(port->TxData(frame.get(), size));
    {
      std::unique_lock<std::mutex> lock(mu);
      ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return taken; }));
    }
    EXPECT_TRUE(port->TxAbort());
    EXPECT_FALSE(port->TxInProgress());  // free at once for the next frame
    frame.reset();
    {
      std::lock_guard<std::mutex> lock(mu);
      resume = true;
      cv.notify_all();
    }
    loop.RunFor(20ms);
    EXPECT_EQ(lineCarried(), 0u);
    EXPECT_TRUE(txLens.empty());
    std::lock_guard<std::mutex> lock(mu);
    taken = resume = false;
  }
  // The transmitter is free for the next frame.
  {
    std::lock_guard<std::mutex> lock(mu);
    resume = true;
  }
  static const std::uint8_t next[] = {0x24};
  ASSERT_TRUE(port->TxData(next, 1));
  ASSERT_TRUE(loop.RunUntil([&] { return !txLens.empty(); }, 5s));
  EXPECT_EQ(lineCarried(), 1u);
  EXPECT_TRUE(port->Close());
}

TEST_F(PtyPort, OpenCloseWhileStreamingNeverHangsAndLeavesNothingBehind) {
  long received = 0;
  port->OnRxChar = [&](void*, std::uint8_t) { ++received; };
  static const std::uint8_t frame[] = {1, 2, 3, 4};
  // Warm up once so that lazily made process resources are not counted.
  ASSERT_TRUE(port->Open());
  loop.RunFor(5ms);
  ASSERT_TRUE(port->Close());
  const int fds = CountEntries("/proc/self/fd");
  const int tasks = CountEntries("/proc/self/task");

  std::atomic<bool> stop{false};
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  std::thread writer([&] {
    std::uint8_t chunk[64];
    for (int i = 0; i < 64; ++i) chunk[i] = static_cast<std::uint8_t>(i);
    while (!stop) {
      if (::write(master, chunk, sizeof chunk) < 0) std::this_thread::sleep_for(100us);
      std::uint8_t sink[256];
      while (::read(master, sink, sizeof sink) > 0) {
      }
    }
  });
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(port->Open()) << i;
    port->TxData(frame, 4);
    loop.RunFor(std::chrono::milliseconds(i % 3));
    ASSERT_TRUE(port->Close()) << i;
  }
  stop = true;
  writer.join();
  EXPECT_GT(received, 0);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries("/proc/self/task"), tasks);
  // Only the pseudo-terminal's missing modem lines were reported, once per open.
  for (const auto& r : reports) EXPECT_EQ(r, kNoModemLines);
  EXPECT_EQ(reports.size(), 301u);
}

TEST_F(PtyPort, OtherEndClosedGivesOneReportFromTheReceiverAndNoSpin) {
  ASSERT_TRUE(port->Open());
  loop.RunFor(20ms);
  reports.clear();
  errs.clear();
  pty.CloseMaster();
  master = -1;
  ASSERT_TRUE(loop.RunUntil([&] { return Count("Execute/ReadFile") > 0; }, 5s));
  // Let it run: a spinning worker would keep reporting or burn the CPU.
  const clock_t cpu0 = std::clock();
  loop.RunFor(300ms);
  const double cpuSeconds = double(std::clock() - cpu0) / CLOCKS_PER_SEC;
  EXPECT_EQ(Count("Execute/ReadFile"), 1);
  EXPECT_EQ(errs[0], EIO);
  EXPECT_LT(cpuSeconds, 0.2);
  EXPECT_TRUE(port->GetOpened());
  EXPECT_TRUE(port->Close());
}

TEST_F(PtyPort, DeviceIsHeldExclusivelyAndBadSettingsAreRefused) {
  ASSERT_TRUE(port->Open());
  TDVXCOMPort second(loop.Queue());
  std::vector<int> secondErrs;
  second.OnReport = [&](void*, PLKDVX::TReportType, const std::string&, const std::string& d, const std::string&, int,
                        int err) {
    if (d == "CreateFile") secondErrs.push_back(err);
  };
  second.SetPort1(kCom);
  EXPECT_FALSE(second.Open());
  EXPECT_EQ(secondErrs, std::vector<int>{EBUSY});
  // The pseudo-terminal has no modem lines: said once, as a warning, at open.
  loop.RunFor(50ms);
  EXPECT_EQ(Count(kNoModemLines), 1);
  EXPECT_EQ(Count("Execute/WaitCommEvent"), 0);
  EXPECT_TRUE(port->Close());

  // One and a half stop bits cannot be set here: the open fails at the
  // settings step and is undone; the device's own settings are back.
  termios before{};
  ::tcgetattr(slave, &before);
  reports.clear();
  errs.clear();
  port->SetStopBits(PLKDVX::sb1_5);
  EXPECT_FALSE(port->Open());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "OpenCOMPort/SetCommState");
  EXPECT_EQ(errs.back(), EINVAL);
  // A pseudo-terminal always carries whole bytes without parity: asking for
  // mark parity is refused, not taken as done.
  port->SetStopBits(PLKDVX::sb2);
  port->SetParity(PLKDVX::paMark);
  EXPECT_FALSE(port->Open());
  EXPECT_EQ(reports.back(), "OpenCOMPort/SetCommState");
  port->SetParity(PLKDVX::paNone);
  ASSERT_TRUE(port->Open());
  termios during{};
  ::tcgetattr(slave, &during);
  EXPECT_EQ(during.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(during.c_cflag & CSTOPB);
  EXPECT_FALSE(during.c_lflag & ICANON);
  EXPECT_EQ(::cfgetospeed(&during), static_cast<speed_t>(B115200));
  // A settings change while open goes to the device at once.
  port->SetBaudRate(PLKDVX::br9600);
  ::tcgetattr(slave, &during);
  EXPECT_EQ(::cfgetospeed(&during), static_cast<speed_t>(B9600));
  EXPECT_TRUE(port->Close());
  termios after{};
  ::tcgetattr(slave, &after);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
}

}  // namespace
