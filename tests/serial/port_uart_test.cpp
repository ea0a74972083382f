// The port on a device with modem lines (the emulated UART): the status
// worker's wait in the driver, its wake-up, pulses seen through the driver's
// counters, overruns, the re-arm after a settings change, a driver that
// refuses the wait, and an application that takes the wake-up signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "support/emulated_uart.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Driver = mvtest::EmulatedUart::Driver;

class UartPort : public ::testing::Test {
 protected:
  void Open(Driver driver = Driver::k8250) {
    uart = std::make_unique<mvtest::EmulatedUart>(driver);
    ASSERT_TRUE(uart->Ok());
    port = std::make_unique<PLKDVX::TDVXCOMPort>(loop.Queue());
    port->SetDevicePathOverride(uart->Path());
    port->SetBaudRate(PLKDVX::br115200);
    port->OnReport = [this](void*, PLKDVX::TReportType, const std::string& f, const std::string& d, const std::string&,
                            int, int) { log.push_back(f + "/" + d); };
    auto line = [this](const char* name) {
      return [this, name](void*, bool level) { log.push_back(std::string(name) + (level ? ":1" : ":0")); };
    };
    port->OnCTS = line("CTS");
    port->OnDSR = line("DSR");
    port->OnRI = line("RI");
    port->OnCD = line("CD");
    port->OnRxError = [this](void*) { log.push_back("RxError"); };
    port->OnRxChar = [this](void*, std::uint8_t ch) { log.push_back("Rx:" + std::to_string(ch)); };
    ASSERT_TRUE(port->Open());
  }

  void TearDown() override {
    port.reset();
    uart.reset();
  }

  // Serves the loop in short slices until pred holds (states that change on
  // a worker without a hand-off wake nobody).
  bool Poll(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5s) {
    for (const auto end = Clock::now() + limit; Clock::now() < end; loop.RunFor(1ms))
      if (pred()) return true;
    return pred();
  }
  bool Logged(const std::string& what) { return std::find(log.begin(), log.end(), what) != log.end(); }
  bool WaitsInTheDriver() {
    return Poll([&] { return uart->Waiter() != 0; });
  }

  mv::HeadlessLoop loop;
  std::unique_ptr<mvtest::EmulatedUart> uart;
  std::unique_ptr<PLKDVX::TDVXCOMPort> port;
  std::vector<std::string> log;
};

TEST_F(UartPort, EachLineChangeAndPulseIsReportedFromTheWaitInTheDriver) {
  const struct {
    int bit;
    const char* name;
  } lines[] = {{TIOCM_CTS, "CTS"}, {TIOCM_DSR, "DSR"}, {TIOCM_RNG, "RI"}, {TIOCM_CAR, "CD"}};
  Open();
  EXPECT_TRUE(log.empty()) << log[0];  // lines present: no warning at open
  for (const auto& l : lines) {
    SCOPED_TRACE(l.name);
    // An idle port sleeps in the driver (nothing is sampled).
    ASSERT_TRUE(WaitsInTheDriver());
    log.clear();
    uart->SetLines(l.bit);
    ASSERT_TRUE(Poll([&] { return !log.empty(); }));
    EXPECT_EQ(log[0], std::string(l.name) + ":1");
    // A pulse leaves the level as it was: only the driver's counter shows it.
    ASSERT_TRUE(WaitsInTheDriver());
    log.clear();
    uart->Pulse(l.bit);
    ASSERT_TRUE(Poll([&] { return !log.empty(); }));
    EXPECT_EQ(log[0], std::string(l.name) + ":1");
    ASSERT_TRUE(WaitsInTheDriver());
    uart->SetLines(0);
    ASSERT_TRUE(Poll([&] { return Logged(std::string(l.name) + ":0"); }));
  }
  // The output lines went to the driver.
  EXPECT_TRUE(port->SetDTR(true));
  EXPECT_TRUE(port->SetRTS(true));
  EXPECT_EQ(uart->Outputs(), TIOCM_DTR | TIOCM_RTS);
  EXPECT_TRUE(port->Close());
}

// On an 8250 a tcsetattr switches the modem-status interrupt off under a
// pending wait, which would then never end: the wait is started afresh.
TEST_F(UartPort, SettingsChangeRearmsTheWait) {
  Open();
  ASSERT_TRUE(WaitsInTheDriver());
  const int waits = uart->Waits();
  port->SetBaudRate(PLKDVX::br9600);
  ASSERT_TRUE(Poll([&] { return uart->Waits() > waits && uart->Armed(); }, 2s));
  uart->SetLines(TIOCM_CTS);
  ASSERT_TRUE(Poll([&] { return Logged("CTS:1"); }, 2s)) << "the change was lost in a silenced wait";
  EXPECT_TRUE(port->Close());
}

// A signal that is not a wake-up (here the port's own, from elsewhere) ends
// the wait with EINTR: the worker looks, finds nothing and waits again.
TEST_F(UartPort, WaitInterruptedByASignalWaitsAgain) {
  Open();
  ASSERT_TRUE(WaitsInTheDriver());
  const int waits = uart->Waits();
  ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), uart->Waiter(), SIGRTMIN + 4), 0);
  ASSERT_TRUE(Poll([&] { return uart->Waits() > waits && uart->Waiter() != 0; }, 2s));
  loop.RunFor(20ms);
  EXPECT_TRUE(log.empty()) << log[0];
  uart->SetLines(TIOCM_CAR);
  ASSERT_TRUE(Poll([&] { return Logged("CD:1"); }, 2s));
  EXPECT_TRUE(port->Close());
}

// The driver counts an overrun of its FIFO; nothing in the data marks it.
TEST_F(UartPort, OverrunCountedByTheDriverIsALineError) {
  Open();
  uart->Overrun();
  const std::uint8_t byte = 0x41;
  ASSERT_EQ(::write(uart->Master(), &byte, 1), 1);
  ASSERT_TRUE(Poll([&] { return Logged("RxError") && Logged("Rx:65"); }, 2s));
  loop.RunFor(20ms);
  EXPECT_EQ(std::count(log.begin(), log.end(), "RxError"), 1);
  EXPECT_TRUE(port->Close());
}

// A USB CDC-ACM adapter refuses the wait (for DSR): its lines are sampled.
TEST_F(UartPort, DriverThatRefusesTheWaitIsSampled) {
  Open(Driver::kCdcAcm);
  loop.RunFor(50ms);
  uart->SetLines(TIOCM_DSR);
  ASSERT_TRUE(Poll([&] { return Logged("DSR:1"); }, 2s));
  EXPECT_EQ(uart->Waiter(), 0);
  const Clock::time_point t0 = Clock::now();
  EXPECT_TRUE(port->Close());
  EXPECT_LT(Clock::now() - t0, 100ms);
}

std::atomic<int> appHandlerCalls{0};
void AppHandler(int) { ++appHandlerCalls; }

// The application takes the port's wake-up signal while the status worker
// waits in the driver: with its own handler through signal() (which asks for
// SA_RESTART, so the wait would just go on) or by ignoring it. The port
// still wakes its worker, never calls the application's handler, leaves the
// signal as the application set it, and samples the lines from then on.
TEST_F(UartPort, ApplicationTakingTheWakeSignalNeverKeepsSettingsOrCloseWaiting) {
  const struct {
    const char* name;
    void (*disposition)(int);
  } cases[] = {{"own handler through signal()", AppHandler}, {"ignored", SIG_IGN}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Open();
    ASSERT_TRUE(WaitsInTheDriver());
    struct sigaction before {};
    ::sigaction(SIGRTMIN + 4, nullptr, &before);
    ::signal(SIGRTMIN + 4, c.disposition);
    appHandlerCalls = 0;
    // Without a way to wake it the worker would wait on: end its wait after
    // 2 s so that a broken port fails here instead of hanging.
    std::atomic<bool> done{false};
    std::thread rescue([&] {
      for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(10ms);
      if (!done) uart->Unplug();
    });
    Clock::time_point t0 = Clock::now();
    port->SetBaudRate(PLKDVX::br57600);
    EXPECT_LT(Clock::now() - t0, 100ms) << "SetBaudRate";
    EXPECT_EQ(port->GetBaudRate(), PLKDVX::br57600);
    uart->SetLines(TIOCM_CTS);
    EXPECT_TRUE(Poll([&] { return Logged("CTS:1"); }, 2s));
    t0 = Clock::now();
    EXPECT_TRUE(port->Close());
    EXPECT_LT(Clock::now() - t0, 100ms) << "Close";
    done = true;
    rescue.join();
    EXPECT_EQ(appHandlerCalls, 0);
    struct sigaction now {};
    ::sigaction(SIGRTMIN + 4, nullptr, &now);
    EXPECT_EQ(now.sa_handler, c.disposition);
    ::sigaction(SIGRTMIN + 4, &before, nullptr);
    port.reset();
    uart.reset();
    log.clear();
  }
}

}  // namespace
