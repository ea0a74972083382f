// The port's sequences, rules and reports against the scriptable device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "support/platform_fake.h"

namespace {

using namespace std::chrono_literals;
using PLKDVX::TDVXCOMPort;

struct ReportRec {
  PLKDVX::TReportType type;
  std::string func, desc, file;
  int line, err;
};

// A lamp that writes every switch into a shared log as "NAME:0/1".
class LogLamp : public PLKDVX::IndicatorLamp {
 public:
  LogLamp(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
  void SetStateOn(bool on) override {
    on_ = on;
    log_.push_back(name_ + (on ? ":1" : ":0"));
  }
  bool on_ = false;

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

class PortFake : public ::testing::Test {
 protected:
  PortFake() : fake(std::make_shared<mv::FakeSerialPlatform>()) { Make(false); }

  void Make(bool designing) {
    port.reset();
    port = std::make_unique<TDVXCOMPort>(loop.Queue(), fake, designing);
    port->OnReport = [this](void*, PLKDVX::TReportType t, const std::string& f, const std::string& d,
                            const std::string& file, int line, int err) {
      reports.push_back({t, f, d, file, line, err});
    };
    port->OnOpen = [this](void*) { ++opens; };
    port->OnClose = [this](void*) { ++closes; };
  }

  std::vector<std::string> Descs() const {
    std::vector<std::string> d;
    for (const auto& r : reports) d.push_back(r.func + "/" + r.desc);
    return d;
  }

  // The undo calls made after the index-th recorded call.
  std::vector<std::string> UndoCallsAfter(size_t index) const {
    std::vector<std::string> out;
    const auto calls = fake->Calls();
    for (size_t i = index + 1; i < calls.size(); ++i)
      if (calls[i] == "SetCommMask" || calls[i] == "SetupComm" || calls[i] == "SetCommTimeouts" ||
          calls[i] == "CloseHandle")
        out.push_back(calls[i]);
    return out;
  }

  // For states that change on a worker without a hand-off (nothing wakes the
  // loop): run the loop in short slices until pred holds.
  bool Poll(const std::function<bool()>& pred) {
    for (int i = 0; i < 5000; ++i) {
      if (pred()) return true;
      loop.RunFor(1ms);
    }
    return pred();
  }

  mv::HeadlessLoop loop;
  std::shared_ptr<mv::FakeSerialPlatform> fake;
  std::unique_ptr<TDVXCOMPort> port;
  std::vector<ReportRec> reports;
  int opens = 0, closes = 0;
};

TEST_F(PortFake, FailureAtEachOpenStepUndoesOnlyTheStagesReachedInReverse) {
  const std::vector<std::string> u4 = {"SetCommMask", "SetupComm", "SetCommTimeouts", "CloseHandle"};
  const std::vector<std::string> u3 = {"SetupComm", "SetCommTimeouts", "CloseHandle"};
  const std::vector<std::string> u2 = {"SetCommTimeouts", "CloseHandle"};
  const std::vector<std::string> u1 = {"CloseHandle"};
  struct Step {
    const char* call;
    int nth;
    std::vector<std::string> reports;  // func/desc in order
    std::vector<std::string> undo;
    bool platformError;
  };
  const std::vector<Step> steps = {
      {"CreateFile", 1, {"OpenCOMPort/CreateFile"}, {}, true},
      {"GetCommTimeouts", 1, {"OpenCOMPort/GetCommTimeouts"}, u1, true},
      {"SetCommTimeouts", 1, {"OpenCOMPort/SetCommTimeouts"}, u1, true},
      {"GetCommProperties", 1, {"OpenCOMPort/GetCommProperties"}, u2, true},
      {"SetupComm", 1, {"OpenCOMPort/SetupComm"}, u2, true},
      {"GetCommProperties", 2, {"OpenCOMPort/GetCommProperties"}, u3, true},
      {"GetCommMask", 1, {"OpenCOMPort/GetCommMask"}, u3, true},
      {"SetCommMask", 1, {"OpenCOMPort/SetCommMask"}, u3, true},
      {"GetCommMask", 2, {"OpenCOMPort/GetCommMask"}, u4, true},
      {"SetCommState", 1, {"OpenCOMPort/SetCommState"}, u4, true},
      {"CreateThread", 1, {"OpenCOMPort/COM port status thread creation"}, u4, false},
      {"CreateEvent",
       1,
       {"TDVXCOMStatusThread/CreateEvent", "OpenCOMPort/COM port status thread initialisation"},
       u4,
       false},
      {"CreateThread", 2, {"OpenCOMPort/COM port Rx data thread creation"}, u4, false},
      {"CreateEvent",
       2,
       {"TDVXCOMRxThread/CreateEvent", "OpenCOMPort/COM port Rx data thread initialisation"},
       u4,
       false},
      {"CreateThread", 3, {"OpenCOMPort/COM port Tx data thread creation"}, u4, false},
      {"CreateEvent",
       3,
       {"TDVXCOMTxThread/CreateEvent", "OpenCOMPort/COM port Tx data thread initialisation"},
       u4,
       false},
      {"CreateEvent",
       4,
       {"TDVXCOMTxThread/CreateEvent", "OpenCOMPort/COM port Tx data thread initialisation"},
       u4,
       false},
  };
  std::vector<std::string> log;
  LogLamp cts("CTS", log), tx("TX", log);
  port->SetCTSIndicator(&cts);
  port->SetTXIndicator(&tx);
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.call) + " #" + std::to_string(s.nth));
    reports.clear();
    fake->ClearCalls();
    cts.on_ = tx.on_ = true;
    fake->FailCall(s.call, EIO, s.nth);
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(Descs(), s.reports);
    const auto& last = reports.back();
    EXPECT_EQ(last.type, PLKDVX::rtError);
    EXPECT_EQ(last.err, s.platformError ? EIO : 0);
    EXPECT_NE(last.file.find("TDVXCOMPort"), std::string::npos);
    // Where the failing call was made, and what was undone after it.
    const auto calls = fake->Calls();
    size_t at = 0;
    for (int seen = 0; at < calls.size(); ++at)
      if (calls[at] == s.call && ++seen == s.nth) break;
    ASSERT_LT(at, calls.size());
    EXPECT_EQ(UndoCallsAfter(at), s.undo);
    EXPECT_FALSE(port->GetOpened());
    EXPECT_EQ(port->OpenStage(), 0);
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(closes, 0);
    EXPECT_FALSE(cts.on_);  // every linked lamp off
    EXPECT_FALSE(tx.on_);
    EXPECT_EQ(fake->OpenDevices(), 0);
    EXPECT_EQ(fake->LiveEvents(), 0);
    fake->ClearFailures();
  }
  // After all that, a clean open and close still work.
  reports.clear();
  EXPECT_TRUE(port->Open());
  EXPECT_TRUE(port->Close());
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(reports.empty());
}

TEST_F(PortFake, FailingUndoStepsAreReportedAndTheUndoGoesOn) {
  ASSERT_TRUE(port->Open());
  EXPECT_EQ(fake->LastSettings().BaudRate, 9600u);
  fake->FailCall("SetCommMask", 1, 1);
  fake->FailCall("SetupComm", 2, 1);
  fake->FailCall("SetCommTimeouts", 3, 1);
  fake->FailCall("CloseHandle", 4, 1);
  EXPECT_FALSE(port->Close());
  EXPECT_EQ(Descs(), (std::vector<std::string>{"OpenCOMPort/SetCommMask", "OpenCOMPort/SetupComm",
                                               "OpenCOMPort/SetCommTimeouts", "OpenCOMPort/CloseHandle"}));
  EXPECT_EQ(reports[3].err, 4);
  EXPECT_FALSE(port->GetOpened());
  EXPECT_EQ(closes, 0);  // not a clean close
  EXPECT_EQ(fake->OpenDevices(), 0);
  EXPECT_EQ(fake->LiveEvents(), 0);
}

TEST_F(PortFake, OpenAndCloseTwiceWarnAndSucceed) {
  EXPECT_TRUE(port->Close());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].type, PLKDVX::rtWarning);
  EXPECT_EQ(Descs()[0], "Close/COM port already closed");
  reports.clear();
  ASSERT_TRUE(port->Open());
  fake->ClearCalls();
  EXPECT_TRUE(port->Open());
  EXPECT_TRUE(port->OpenCOMPort());  // never a second device over the first
  EXPECT_EQ(Descs(), (std::vector<std::string>{"Open/COM port already open", "Open/COM port already open"}));
  for (const auto& c : fake->Calls())  // only the workers' own waits, no open step
    EXPECT_TRUE(c == "ReadFile" || c == "WaitCommEvent" || c == "WaitForSingleObject") << c;
  EXPECT_EQ(fake->OpenDevices(), 1);
  EXPECT_EQ(opens, 1);
}

TEST_F(PortFake, PropertyRulesAtRunAndDesignTime) {
  // Run time: COMMax and EnumMode are fixed, Port takes 1..COMMax without a
  // presence test and nothing while open.
  port->SetCOMMax(10);
  port->SetEnumMode(PLKDVX::emAll);
  EXPECT_EQ(port->GetCOMMax(), 32);
  EXPECT_EQ(port->GetEnumMode(), PLKDVX::emPresent);
  const int first = port->GetPort();  // the first present port, or 1
  port->SetPort1(0);
  port->SetPort1(33);
  EXPECT_EQ(port->GetPort(), first);
  port->SetPort1(32);
  EXPECT_EQ(port->GetPort(), 32);
  ASSERT_TRUE(port->Open());
  port->SetPort1(5);
  EXPECT_EQ(port->GetPort(), 32);
  ASSERT_TRUE(port->Close());

  port->SetRxQueueSize(1023);
  port->SetTxQueueSize(512001);
  EXPECT_EQ(port->GetRxQueueSize(), 20480);
  EXPECT_EQ(port->GetTxQueueSize(), 20480);
  port->SetRxQueueSize(1024);
  port->SetTxQueueSize(512000);
  EXPECT_EQ(port->GetRxQueueSize(), 1024);
  EXPECT_EQ(port->GetTxQueueSize(), 512000);

  port->SetBaudRate(11);
  port->SetDataBits(4);
  port->SetParity(5);
  port->SetStopBits(3);
  port->SetBaudRate(-1);
  EXPECT_EQ(port->GetBaudRateStr(), "9600");
  EXPECT_EQ(port->GetDataBitsStr(), "8");
  EXPECT_EQ(port->GetParityStr(), "none");
  EXPECT_EQ(port->GetStopBitsStr(), "1");
  port->SetStopBits(PLKDVX::sb1_5);
  EXPECT_EQ(port->GetStopBitsStr(), "1.5");
  port->SetCopyright("x");
  port->SetVersion("9");
  EXPECT_EQ(port->GetVersion(), "1.00");
  EXPECT_NE(port->GetCopyright(), "x");

  // Design time.
  Make(true);
  port->SetEnumMode(PLKDVX::emAll);
  port->SetPort1(7);
  port->SetCOMMax(0);
  port->SetCOMMax(300);
  EXPECT_EQ(port->GetCOMMax(), 32);
  port->SetCOMMax(4);  // Port 7 is now beyond it: emAll makes it 1
  EXPECT_EQ(port->GetCOMMax(), 4);
  EXPECT_EQ(port->GetPort(), 1);
  port->SetPort1(0);
  EXPECT_EQ(port->GetPort(), 0);
  port->SetEnumMode(PLKDVX::emPresent);
  port->SetEnumMode(PLKDVX::emAll);
  EXPECT_EQ(port->GetPort(), 1);  // emAll turns port 0 into 1
  port->SetEnumMode(7);
  EXPECT_EQ(port->GetEnumMode(), PLKDVX::emAll);
}

TEST_F(PortFake, SettingsWhileOpenReapplyTheWholeRecordWithCurrentLineLevels) {
  port->SetDTRInitialLevel(true);
  port->SetParity(PLKDVX::paEven);
  ASSERT_TRUE(port->Open());
  mv::DeviceSettings s = fake->LastSettings();
  EXPECT_EQ(s.DCBlength, sizeof(mv::DeviceSettings));
  EXPECT_EQ(s.fBinary, 1);
  EXPECT_EQ(s.fParity, 1);
  EXPECT_EQ(s.Parity, 2);
  EXPECT_EQ(s.fDtrControl, 1);
  EXPECT_EQ(s.fRtsControl, 0);
  EXPECT_EQ(s.XonLim, 1024);
  EXPECT_EQ(s.XoffLim, 256);
  EXPECT_EQ(s.XonChar, 0x11);
  EXPECT_EQ(s.XoffChar, 0x13);
  EXPECT_EQ(s.fOutxCtsFlow + s.fOutX + s.fInX + s.fErrorChar + s.fAbortOnError, 0);
  EXPECT_EQ(port->GetRxQueueSize(), 4096);  // the driver's size while open
  EXPECT_EQ(port->GetTxQueueSize(), 2048);

  ASSERT_TRUE(port->SetRTS(true));
  ASSERT_TRUE(port->SetDTR(false));
  port->SetBaudRate(PLKDVX::br57600);
  s = fake->LastSettings();
  EXPECT_EQ(s.BaudRate, 57600u);
  EXPECT_EQ(s.fRtsControl, 1);
  EXPECT_EQ(s.fDtrControl, 0);
  EXPECT_EQ(s.Parity, 2);

  // Refused by the device: reported, the property keeps its old value and the
  // next change does not carry the refused one.
  fake->FailCall("SetCommState", EINVAL);
  port->SetParity(PLKDVX::paMark);
  EXPECT_EQ(port->GetParity(), PLKDVX::paEven);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(Descs()[0], "SetBaudParity/SetCommState");
  EXPECT_EQ(reports[0].err, EINVAL);
  port->SetDataBits(PLKDVX::db7);
  s = fake->LastSettings();
  EXPECT_EQ(s.ByteSize, 7);
  EXPECT_EQ(s.Parity, 2);

  // Closed: only stored.
  ASSERT_TRUE(port->Close());
  fake->ClearCalls();
  port->SetBaudRate(PLKDVX::br110);
  EXPECT_TRUE(fake->Calls().empty());
  EXPECT_EQ(port->GetBaudRateStr(), "110");
}

TEST_F(PortFake, LineOperationsNeedAnOpenPortAndReportPlatformFailures) {
  bool level = true;
  EXPECT_FALSE(port->GetCTS(level));
  EXPECT_FALSE(port->SetTxBreak(true));
  EXPECT_EQ(Descs(), (std::vector<std::string>{"GetCTS/COM port not open", "SetTxBreak/COM port not open"}));
  EXPECT_TRUE(level);
  reports.clear();
  ASSERT_TRUE(port->Open());
  fake->SetModemStatus(mv::kMsDsrOn | mv::kMsRlsdOn);
  EXPECT_TRUE(port->GetDSR(level));
  EXPECT_TRUE(level);
  EXPECT_TRUE(port->GetRI(level));
  EXPECT_FALSE(level);
  fake->FailCall("GetCommModemStatus", EIO);
  level = true;
  EXPECT_FALSE(port->GetCD(level));
  EXPECT_TRUE(level);  // left as it was
  fake->FailCall("EscapeCommFunction", EPERM);
  EXPECT_FALSE(port->SetRTS(true));
  EXPECT_EQ(Descs(), (std::vector<std::string>{"GetCD/GetCommModemStatus", "SetRTS/EscapeCommFunction"}));
  EXPECT_EQ(reports[1].err, EPERM);
}

TEST_F(PortFake, TransmitRulesBusyAndAbort) {
  static const std::uint8_t a[] = {1, 2, 3};
  static const std::uint8_t b[] = {9};
  EXPECT_FALSE(port->TxData(a, 0));  // closed comes first, whatever the length
  EXPECT_FALSE(port->TxChar(5));
  EXPECT_FALSE(port->TxAbort());
  EXPECT_EQ(Descs(), (std::vector<std::string>{"TxData/COM port not open", "TxChar/COM port not open",
                                               "TxAbort/COM port not open"}));
  reports.clear();

  std::vector<int> txLens;
  port->OnTxData = [&](void*, int n) { txLens.push_back(n); };
  ASSERT_TRUE(port->Open());
  EXPECT_FALSE(port->TxData(a, 0));
  EXPECT_FALSE(port->TxData(a, -3));
  EXPECT_FALSE(port->TxData(nullptr, 3));
  EXPECT_FALSE(port->TxAbort());
  EXPECT_EQ(Descs(), (std::vector<std::string>{"TxData/aLen less than or equal to zero",
                                               "TxData/aLen less than or equal to zero", "TxData/no data buffer",
                                               "TDVXCOMTxThread/Tx not in progress", "TxAbort/Abort error"}));
  EXPECT_EQ(reports[3].type, PLKDVX::rtWarning);
  EXPECT_EQ(reports[4].type, PLKDVX::rtError);
  reports.clear();

  // A second request while the first is on its way is refused; the first goes on.
  fake->HoldWrites(true);
  ASSERT_TRUE(port->TxData(a, 3));
  ASSERT_TRUE(Poll([&] { return fake->WriteInProgress(); }));
  EXPECT_FALSE(port->TxData(b, 1));
  EXPECT_FALSE(port->TxChar(7));
  EXPECT_EQ(Descs(), (std::vector<std::string>{"TDVXCOMTxThread/Tx is busy", "TxData/Tx error",
                                               "TDVXCOMTxThread/Tx is busy", "TxChar/Tx error"}));
  fake->HoldWrites(false);
  ASSERT_TRUE(loop.RunUntil([&] { return txLens.size() == 1; }, 5s));
  EXPECT_EQ(txLens[0], 3);
  EXPECT_EQ(fake->Written(), (std::vector<std::uint8_t>{1, 2, 3}));

  // Abort during a write: no OnTxData for it, the next request is taken.
  fake->HoldWrites(true);
  ASSERT_TRUE(port->TxData(b, 1));
  ASSERT_TRUE(Poll([&] { return fake->WriteInProgress(); }));
  EXPECT_TRUE(port->TxAbort());
  loop.RunFor(20ms);
  fake->HoldWrites(false);
  ASSERT_TRUE(Poll([&] { return port->TxChar(0x42); }));
  ASSERT_TRUE(loop.RunUntil([&] { return txLens.size() == 2; }, 5s));
  EXPECT_EQ(txLens[1], 1);
  EXPECT_EQ(fake->Written(), (std::vector<std::uint8_t>{1, 2, 3, 0x42}));
}

// The answer to a frame can be delivered before the end of that frame's
// transmission is: a frame sent from the answer's handler must not find the
// transmitter busy once its write is over.
TEST_F(PortFake, FrameSentBeforeThePreviousEndOfSendIsHandedOverIsAccepted) {
  static const std::uint8_t a[] = {1, 2, 3};
  static const std::uint8_t b[] = {4, 5};
  std::vector<int> txLens;
  port->OnTxData = [&](void*, int n) { txLens.push_back(n); };
  ASSERT_TRUE(port->Open());
  ASSERT_TRUE(port->TxData(a, 3));
  // Wait for the write without serving the GUI side: the end-of-send hand-off stays queued.
  for (int i = 0; i < 5000 && fake->Written().size() < 3; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(fake->Written().size(), 3u);
  for (int i = 0; i < 5000 && !loop.Queue().HasPending(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(port->TxData(b, 2));
  ASSERT_TRUE(loop.RunUntil([&] { return txLens.size() == 2; }, 5s));
  EXPECT_EQ(txLens, (std::vector<int>{3, 2}));
  EXPECT_EQ(fake->Written(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(reports.empty());
}

// A frame offered while the last write is just ending (its answer reached
// the GUI thread before the transmit worker ran again) is not refused: TxData
// waits a moment for the write to end. Timed by the scheduler, so one of a
// few tries must make it; without the wait none can.
TEST_F(PortFake, FrameOfferedWhileTheLastWriteEndsWaitsForIt) {
  static const std::uint8_t a[] = {1}, b[] = {2};
  std::vector<int> txLens;
  port->OnTxData = [&](void*, int n) { txLens.push_back(n); };
  ASSERT_TRUE(port->Open());
  bool accepted = false;
  for (int attempt = 0; attempt < 3 && !accepted; ++attempt) {
    fake->HoldWrites(true);
    ASSERT_TRUE(Poll([&] { return port->TxData(a, 1); }));
    ASSERT_TRUE(Poll([&] { return fake->WriteInProgress(); }));
    std::atomic<bool> offering{false};
    std::thread line([&] {
      while (!offering) std::this_thread::yield();
      std::this_thread::sleep_for(1ms);
      fake->HoldWrites(false);
    });
    offering = true;
    accepted = port->TxData(b, 1);
    line.join();
    ASSERT_TRUE(loop.RunUntil([&] { return !port->TxInProgress(); }, 5s));
  }
  EXPECT_TRUE(accepted);
  loop.RunFor(10ms);
  EXPECT_EQ(fake->Written().back(), 2);
}

TEST_F(PortFake, StatusEventsReachTheirHandlersInOrderWithLampPulses) {
  std::vector<std::string> log;
  LogLamp brk("BRK", log), err("ERR", log), cts("CTS", log);
  port->SetBRKIndicator(&brk);
  port->SetERRIndicator(&err);
  port->SetCTSIndicator(&cts);
  port->OnRxBreak = [&](void*) { log.push_back("OnRxBreak"); };
  port->OnRxError = [&](void*) { log.push_back("OnRxError"); };
  port->OnCTS = [&](void*, bool level) { log.push_back(std::string("OnCTS:") + (level ? "1" : "0")); };
  ASSERT_TRUE(port->Open());
  log.clear();

  // A break and a framing error in one status event: the break comes first.
  fake->InjectLineErrors(mv::kCeFrame, true);
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 6; }, 5s));
  EXPECT_EQ(log, (std::vector<std::string>{"OnRxBreak", "BRK:1", "BRK:0", "OnRxError", "ERR:1", "ERR:0"}));

  // A receive-queue overflow alone raises nothing.
  log.clear();
  fake->InjectLineErrors(mv::kCeRxOver);
  loop.RunFor(30ms);
  EXPECT_TRUE(log.empty());

  // The level handed over is the one read on the GUI thread after the change.
  fake->SetModemStatus(mv::kMsCtsOn);
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 2; }, 5s));
  EXPECT_EQ(log, (std::vector<std::string>{"OnCTS:1", "CTS:1"}));

  // A failing ClearCommError is reported by the status thread; other bits still count.
  log.clear();
  reports.clear();
  fake->FailCall("ClearCommError", EIO);
  fake->InjectLineErrors(mv::kCeFrame);
  fake->SetModemStatus(0);
  ASSERT_TRUE(loop.RunUntil([&] { return log.size() >= 2; }, 5s));
  EXPECT_EQ(log, (std::vector<std::string>{"OnCTS:0", "CTS:0"}));
  ASSERT_EQ(Descs(), (std::vector<std::string>{"ProcessStatusEvnt/ClearCommError"}));
  EXPECT_NE(reports[0].file.find("TDVXCOMStatusThread"), std::string::npos);
}

TEST_F(PortFake, ReceivedBytesArriveOneByOneAndAReadFailureEndsTheReceiverOnce) {
  std::vector<std::uint8_t> got;
  std::vector<std::string> log;
  LogLamp rx("RX", log);
  port->SetRXIndicator(&rx);
  port->OnRxChar = [&](void*, std::uint8_t ch) { got.push_back(ch); };
  ASSERT_TRUE(port->Open());
  log.clear();
  fake->InjectBytes({0x00, 0xFF, 0x41});
  ASSERT_TRUE(loop.RunUntil([&] { return got.size() == 3; }, 5s));
  EXPECT_EQ(got, (std::vector<std::uint8_t>{0x00, 0xFF, 0x41}));
  EXPECT_EQ(log, (std::vector<std::string>{"RX:1", "RX:0", "RX:1", "RX:0", "RX:1", "RX:0"}));

  fake->InjectReadFailure(EIO);
  ASSERT_TRUE(loop.RunUntil([&] { return !reports.empty(); }, 5s));
  loop.RunFor(30ms);
  ASSERT_EQ(Descs(), (std::vector<std::string>{"Execute/ReadFile"}));
  EXPECT_EQ(reports[0].err, EIO);
  EXPECT_NE(reports[0].file.find("TDVXCOMRxThread"), std::string::npos);
  EXPECT_TRUE(port->GetOpened());  // a worker failure never closes the port
  fake->InjectBytes({1});
  loop.RunFor(30ms);
  EXPECT_EQ(got.size(), 3u);  // nothing more until reopened
  EXPECT_TRUE(port->Close());
  EXPECT_EQ(closes, 1);
}

TEST_F(PortFake, HandlersMayCloseThePortFromInsideAHandOff) {
  int received = 0;
  port->OnRxChar = [&](void*, std::uint8_t) {
    if (++received == 2) port->Close();
  };
  ASSERT_TRUE(port->Open());
  fake->InjectBytes(std::vector<std::uint8_t>(50, 7));
  ASSERT_TRUE(loop.RunUntil([&] { return !port->GetOpened(); }, 5s));
  EXPECT_EQ(received, 2);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(fake->LiveEvents(), 0);
  // And the port opens again afterwards (the bytes left unread were thrown
  // away by the open).
  EXPECT_TRUE(port->Open());
  fake->InjectBytes({7});
  ASSERT_TRUE(loop.RunUntil([&] { return received > 2; }, 5s));
  EXPECT_EQ(received, 3);
  EXPECT_TRUE(port->Close());
}

// What has arrived is handed over in one call, a byte per OnRxChar: a
// handler that throws the input away (PurgeInput) or closes the port ends the
// delivery there; what arrives later is delivered.
TEST_F(PortFake, HandlerThatThrowsTheInputAwayEndsTheDeliveryOfWhatHadArrived) {
  std::vector<std::uint8_t> got;
  port->OnRxChar = [&](void*, std::uint8_t ch) {
    got.push_back(ch);
    if (ch == 2) {
      EXPECT_TRUE(port->PurgeInput());
    }
  };
  ASSERT_TRUE(port->Open());
  fake->InjectBytes({1, 2, 3, 4, 5});
  ASSERT_TRUE(loop.RunUntil([&] { return got.size() >= 2; }, 5s));
  loop.RunFor(20ms);
  EXPECT_EQ(got, (std::vector<std::uint8_t>{1, 2}));
  fake->InjectBytes({6});
  ASSERT_TRUE(loop.RunUntil([&] { return got.size() >= 3; }, 5s));
  EXPECT_EQ(got, (std::vector<std::uint8_t>{1, 2, 6}));
}

// A handler may end the worker whose hand-off runs it: closing the port from
// any event, then opening it again, leaves nothing of the old workers in use
// (the AddressSanitizer build catches a worker read after it was freed).
TEST_F(PortFake, EveryHandlerMayCloseThePort) {
  std::vector<std::string> log;
  LogLamp tx("TX", log), rx("RX", log), brk("BRK", log), err("ERR", log), cts("CTS", log);
  auto closeIt = [this] { port->Close(); };
  struct Case {
    const char* name;
    std::function<void()> bind;
    std::function<void()> raise;
  };
  std::uint32_t modem = 0;
  static const std::uint8_t frame[] = {0x24, 0x01};
  const Case cases[] = {
      {"OnRxChar", [&] { port->OnRxChar = [&](void*, std::uint8_t) { closeIt(); }; },
       [&] {
         fake->InjectBytes({1, 2, 3});
       }},
      {"OnTxData", [&] { port->OnTxData = [&](void*, int) { closeIt(); }; }, [&] { port->TxData(frame, 2); }},
      {"OnRxError", [&] { port->OnRxError = [&](void*) { closeIt(); }; },
       [&] { fake->InjectLineErrors(mv::kCeFrame); }},
      {"OnRxBreak", [&] { port->OnRxBreak = [&](void*) { closeIt(); }; },
       [&] { fake->InjectLineErrors(mv::kCeFrame, true); }},
      {"OnCTS", [&] { port->OnCTS = [&](void*, bool) { closeIt(); }; },
       [&] { fake->SetModemStatus(modem ^= mv::kMsCtsOn); }},
      {"OnDSR", [&] { port->OnDSR = [&](void*, bool) { closeIt(); }; },
       [&] { fake->SetModemStatus(modem ^= mv::kMsDsrOn); }},
      {"OnRI", [&] { port->OnRI = [&](void*, bool) { closeIt(); }; },
       [&] { fake->SetModemStatus(modem ^= mv::kMsRingOn); }},
      {"OnCD", [&] { port->OnCD = [&](void*, bool) { closeIt(); }; },
       [&] { fake->SetModemStatus(modem ^= mv::kMsRlsdOn); }},
      {"OnReport",
       [&] {
         port->OnReport = [&](void*, PLKDVX::TReportType, const std::string&, const std::string& d, const std::string&,
                              int, int) {
           if (d == "ReadFile") closeIt();
         };
       },
       [&] { fake->InjectReadFailure(EIO); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Make(false);
    port->SetTXIndicator(&tx);
    port->SetRXIndicator(&rx);
    port->SetBRKIndicator(&brk);
    port->SetERRIndicator(&err);
    port->SetCTSIndicator(&cts);
    c.bind();
    for (int round = 0; round < 2; ++round) {  // and again after reopening
      ASSERT_TRUE(port->Open());
      c.raise();
      ASSERT_TRUE(loop.RunUntil([&] { return !port->GetOpened(); }, 5s));
      loop.RunFor(5ms);
      EXPECT_EQ(fake->LiveEvents(), 0);
      EXPECT_EQ(fake->OpenDevices(), 0);
    }
    EXPECT_FALSE(tx.on_ || rx.on_ || brk.on_ || err.on_);
  }
}

// Frames are copied when the port accepts them: the caller's buffer can take
// the next frame at once, even while the line still holds the first.
TEST_F(PortFake, AcceptedFrameIsCopiedAndCannotBeRewrittenWhileItIsSent) {
  std::vector<int> txLens;
  port->OnTxData = [&](void*, int n) { txLens.push_back(n); };
  ASSERT_TRUE(port->Open());
  fake->HoldWrites(true);
  std::vector<std::uint8_t> buffer(224, 0x53);
  ASSERT_TRUE(port->TxData(buffer.data(), 224));
  ASSERT_TRUE(Poll([&] { return fake->WriteInProgress(); }));
  std::fill(buffer.begin(), buffer.end(), 0x21);
  buffer.resize(1);
  EXPECT_FALSE(port->TxData(buffer.data(), 1));  // the line is still busy
  fake->HoldWrites(false);
  ASSERT_TRUE(loop.RunUntil([&] { return txLens.size() == 1; }, 5s));
  EXPECT_EQ(fake->Written(), std::vector<std::uint8_t>(224, 0x53));
  EXPECT_EQ(txLens, std::vector<int>{224});
}

// A device without modem lines is told once, at open, as a warning; it opens
// and carries data as any other.
TEST_F(PortFake, DeviceWithoutModemLinesIsToldOnceAtOpen) {
  fake->SetNoModemLines(true);
  std::vector<std::uint8_t> got;
  port->OnRxChar = [&](void*, std::uint8_t ch) { got.push_back(ch); };
  ASSERT_TRUE(port->Open());
  fake->InjectBytes({5});
  ASSERT_TRUE(loop.RunUntil([&] { return got.size() == 1; }, 5s));
  loop.RunFor(20ms);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].type, PLKDVX::rtWarning);
  EXPECT_EQ(reports[0].func + "/" + reports[0].desc, "OpenCOMPort/no modem lines (CTS, DSR, RI, CD): not watched");
  EXPECT_EQ(reports[0].err, ENOTTY);
  EXPECT_TRUE(port->Close());
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(PortFake, LampLinksFollowTheLampsLifetimeAndCloseSwitchesAllOffInOrder) {
  std::vector<std::string> log;
  const char* names[] = {"CTS", "DSR", "RI", "CD", "RTS", "DTR", "BRK", "ERR", "RX", "TX"};
  std::vector<std::unique_ptr<LogLamp>> lamps;
  for (const char* n : names) lamps.push_back(std::make_unique<LogLamp>(n, log));
  port->SetCTSIndicator(lamps[0].get());
  port->SetDSRIndicator(lamps[1].get());
  port->SetRIIndicator(lamps[2].get());
  port->SetCDIndicator(lamps[3].get());
  port->SetRTSIndicator(lamps[4].get());
  port->SetDTRIndicator(lamps[5].get());
  port->SetBRKIndicator(lamps[6].get());
  port->SetERRIndicator(lamps[7].get());
  port->SetRXIndicator(lamps[8].get());
  port->SetTXIndicator(lamps[9].get());
  port->SetRTSInitialLevel(true);
  ASSERT_TRUE(port->Open());
  EXPECT_EQ(log, (std::vector<std::string>{"DTR:0", "RTS:1", "CD:0", "CTS:0", "DSR:0", "RI:0", "RX:0", "TX:0", "BRK:0",
                                           "ERR:0"}));
  log.clear();
  ASSERT_TRUE(port->Close());
  EXPECT_EQ(log, (std::vector<std::string>{"CTS:0", "DSR:0", "RI:0", "CD:0", "RTS:0", "DTR:0", "BRK:0", "ERR:0", "TX:0",
                                           "RX:0"}));
  // A destroyed lamp clears its link; a type beyond TX does nothing.
  lamps[9].reset();
  EXPECT_EQ(port->GetTXIndicator(), nullptr);
  EXPECT_EQ(port->GetRXIndicator(), lamps[8].get());
  log.clear();
  port->Indicator(10, true);
  port->Indicator(-1, true);
  EXPECT_TRUE(log.empty());
  // One lamp on two links stays watched until both links let go.
  port->SetRXIndicator(lamps[0].get());
  port->SetCTSIndicator(nullptr);
  lamps[0].reset();
  EXPECT_EQ(port->GetRXIndicator(), nullptr);
}

}  // namespace
