// A USB adapter unplugged while its port is open: every worker ends with one
// report and stops calling the device; closing works, and once the adapter is
// back the same port opens and carries data again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "support/platform_fake.h"

namespace {

using namespace std::chrono_literals;

struct Rep {
  std::string what;  // func/desc
  std::string file;
  int err;
};

class PortUnplug : public ::testing::Test {
 protected:
  PortUnplug() : fake(std::make_shared<mv::FakeSerialPlatform>()), port(loop.Queue(), fake) {
    port.OnReport = [this](void*, PLKDVX::TReportType, const std::string& f, const std::string& d,
                           const std::string& file, int, int err) {
      reports.push_back({f + "/" + d, file, err});
    };
    port.OnRxChar = [this](void*, std::uint8_t c) { received.push_back(c); };
    port.OnTxData = [this](void*, int n) { sent += n; };
  }

  int CallsOf(const std::string& name) const {
    const auto calls = fake->Calls();
    return static_cast<int>(std::count(calls.begin(), calls.end(), name));
  }

  // Pulls the adapter: from now on every device call fails as the kernel
  // fails them for a device that has gone; the waits in progress end.
  void Unplug() {
    // The receiver is inside its read and the status worker inside its wait
    // (as they are nearly all the time), so that each meets the failure in
    // the call it is making, and only there.
    for (int i = 0; i < 5000 && (fake->ReadsWaiting() == 0 || fake->StatusWaitsWaiting() == 0); ++i) loop.RunFor(1ms);
    ASSERT_EQ(fake->ReadsWaiting(), 1);
    ASSERT_EQ(fake->StatusWaitsWaiting(), 1);
    fake->ClearCalls();
    for (const char* call : {"ReadFile", "WaitCommEvent", "WriteFile"}) fake->FailAlways(call, ENXIO);
    fake->InjectReadFailure(ENXIO);      // the pending read ends with the error
    fake->SetModemStatus(mv::kMsCtsOn);  // the pending status wait wakes and waits again
  }

  mv::HeadlessLoop loop;
  std::shared_ptr<mv::FakeSerialPlatform> fake;
  PLKDVX::TDVXCOMPort port;
  std::vector<Rep> reports;
  std::vector<std::uint8_t> received;
  int sent = 0;
  const std::uint8_t frame[3] = {0x35, 0x00, 0x01};
};

TEST_F(PortUnplug, EachWorkerEndsWithOneReportAndStopsCallingTheDevice) {
  ASSERT_TRUE(port.Open());
  Unplug();
  ASSERT_TRUE(port.TxData(frame, 3));  // accepted; the write then fails on the worker
  ASSERT_TRUE(loop.RunUntil([&] { return reports.size() >= 3; }, 5s));
  loop.RunFor(100ms);  // time enough for a worker that loops to show it

  std::vector<std::string> what;
  for (const Rep& r : reports) what.push_back(r.what);
  std::sort(what.begin(), what.end());
  EXPECT_EQ(what, (std::vector<std::string>{"Execute/ReadFile", "Execute/WaitCommEvent", "Execute/WriteFile"}));
  for (const Rep& r : reports) {
    EXPECT_EQ(r.err, ENXIO) << r.what;
    const char* unit = r.what == "Execute/ReadFile"        ? "TDVXCOMRxThread"
                       : r.what == "Execute/WaitCommEvent" ? "TDVXCOMStatusThread"
                                                           : "TDVXCOMTxThread";
    EXPECT_NE(r.file.find(unit), std::string::npos) << r.what << " from " << r.file;
  }
  // No busy loop: the receiver never asked again, the others asked once.
  EXPECT_EQ(CallsOf("ReadFile"), 0);
  EXPECT_EQ(CallsOf("WaitCommEvent"), 1);
  EXPECT_EQ(CallsOf("WriteFile"), 1);
  const std::size_t callsBefore = fake->Calls().size();
  loop.RunFor(100ms);
  EXPECT_EQ(fake->Calls().size(), callsBefore);
  EXPECT_EQ(reports.size(), 3u);
  EXPECT_EQ(sent, 0);
  EXPECT_TRUE(port.GetOpened());  // a worker failure does not close the port by itself
}

TEST_F(PortUnplug, CloseAndReopenOnceTheAdapterIsBack) {
  ASSERT_TRUE(port.Open());
  Unplug();
  ASSERT_TRUE(port.TxData(frame, 3));
  ASSERT_TRUE(loop.RunUntil([&] { return reports.size() >= 3; }, 5s));
  // The dead transmitter keeps refusing until the port is reopened, also
  // after an abort.
  EXPECT_TRUE(port.TxAbort());
  reports.clear();
  EXPECT_FALSE(port.TxData(frame, 3));
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].what, "TDVXCOMTxThread/Tx is busy");
  EXPECT_EQ(reports[1].what, "TxData/Tx error");

  // Closing with every worker already ended does not hang and releases the device.
  reports.clear();
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.GetOpened());
  EXPECT_EQ(fake->OpenDevices(), 0);
  EXPECT_EQ(fake->LiveEvents(), 0);
  EXPECT_TRUE(reports.empty());

  fake->ClearFailures();  // plugged back in
  ASSERT_TRUE(port.Open());
  fake->InjectBytes({0x53, 0x01});
  ASSERT_TRUE(port.TxData(frame, 3));
  ASSERT_TRUE(loop.RunUntil([&] { return received.size() == 2 && sent == 3; }, 5s));
  EXPECT_EQ(received, (std::vector<std::uint8_t>{0x53, 0x01}));
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(port.Close());
}

}  // namespace
