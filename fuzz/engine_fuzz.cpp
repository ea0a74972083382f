// The request engine driven by an arbitrary sequence of events: requests
// from a few step tables (Stop's jump over the queue among them), received
// bytes (one at a time or in bursts), receive errors, breaks, timer
// expiries, counter resets, a caller giving up, the device going away and
// the port opening and closing. Checks the engine's bookkeeping after every
// event: every frame sent is a step of a request that has not ended, at most
// one request runs and one waits to jump, handlers see complete responses of
// the right length for their own step, and every accepted request ends
// exactly once with an outcome that is an end.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "core/timer.h"
#include "fuzz_util.h"
#include "link/engine.h"

namespace {

class Port : public mv::LinkPort {
 public:
  bool opened = true;
  std::vector<std::vector<std::uint8_t>> frames;
  bool GetOpened() const override { return opened; }
  bool TxData(const std::uint8_t* buffer, int length) override {
    FUZZ_CHECK(length >= 1 && length <= static_cast<int>(mv::kFrameBufferSize));
    frames.emplace_back(buffer, buffer + length);
    return opened;
  }
  void DiscardOutput() override { ++outputDiscards; }
  int outputDiscards = 0;
};

class FakeTimer : public mv::Timer {
 public:
  int interval = 0;
  bool enabled = false;
  void SetInterval(int ms) override { interval = ms; }
  int Interval() const override { return interval; }
  void SetEnabled(bool on) override { enabled = on; }
  bool Enabled() const override { return enabled; }
};

bool IsEnd(mv::RequestOutcome o) {
  return o != mv::RequestOutcome::None && o != mv::RequestOutcome::Pending &&
         o != mv::RequestOutcome::RefusedPortClosed && o != mv::RequestOutcome::RefusedBusy &&
         o != mv::RequestOutcome::RefusedInvalid;
}

class View : public mv::LinkView {
 public:
  int ended = 0;
  int notOpened = 0;
  mv::LinkCounters counters{};
  void SetPortStatusText(const char*) override { ++notOpened; }
  void CountersChanged(const mv::LinkCounters& c) override { counters = c; }
  void RequestEnded(const mv::RequestEnd& e) override {
    FUZZ_CHECK(IsEnd(e.outcome));
    FUZZ_CHECK(e.step <= e.count);
    ++ended;
  }
};

// One accepted request: its table and whether its end has been told.
struct Live {
  const mv::RequestStep* table = nullptr;
  std::uint32_t size = 0;
  bool live = false;
  int ends = 0;
  mv::RequestCompletion done{};
  void Ended(const mv::RequestEnd& e) {
    FUZZ_CHECK(live && ends == 0);
    FUZZ_CHECK(e.count == size && e.step <= size);
    ++ends;
    live = false;
  }
};

struct World;
World* gWorld = nullptr;

struct World {
  Port port;
  FakeTimer timer;
  View view;
  mv::RequestEngine engine{port, timer, &view};
  int accepted = 0;
  int handlerCalls = 0;
  int reentrantRefused = 0;
  // Every request ever accepted in this run (a completion must outlive its
  // request, and the count of them is small).
  std::vector<std::unique_ptr<Live>> requests;
  int LiveCount() const {
    int n = 0;
    for (const auto& r : requests) n += r->live ? 1 : 0;
    return n;
  }
  // The live request whose table holds `step` at the engine's step index.
  const Live* Owner(const mv::RequestStep* step) const {
    const std::uint32_t i = engine.StepIndex();
    for (const auto& r : requests)
      if (r->live && i < r->size && &r->table[i] == step) return r.get();
    return nullptr;
  }
};

std::uint8_t gData[3][223];

void Handler(void*, const mv::RequestStep& step, const mv::Response& r) {
  World& w = *gWorld;
  ++w.handlerCalls;
  FUZZ_CHECK(w.engine.Busy());
  FUZZ_CHECK(w.Owner(&step) != nullptr);
  FUZZ_CHECK(mv::IsResponseCode(r.code));
  FUZZ_CHECK(static_cast<std::int32_t>(r.length) == mv::ResponseLengthTable[r.code]);
  FUZZ_CHECK(r.length == 0 || r.payload != nullptr);
  volatile std::uint8_t sink = 0;
  for (std::uint32_t i = 0; i < r.length; ++i) sink = sink ^ r.payload[i];
  // A handler that sends again is refused while its own request runs.
  if (r.code == 0x0B) {
    static const mv::RequestStep again[1] = {{0x01, nullptr, 0, {}}};
    FUZZ_CHECK(!w.engine.SendRequest(again, 1));
    ++w.reentrantRefused;
  }
}

const mv::StepHandler kH{Handler, nullptr};
const mv::RequestStep kOne[1] = {{0x05, nullptr, 0, kH}};
const mv::RequestStep kThree[3] = {{0x51, gData[0], 1, kH}, {0x52, gData[1], 223, kH}, {0x0A, nullptr, 0, kH}};
const mv::RequestStep kSix[6] = {{0x10, gData[0], 2, kH}, {0x11, gData[1], 2, {}},   {0x12, gData[2], 4, kH},
                                 {0x13, nullptr, 0, kH},  {0x14, gData[0], 223, kH}, {0x15, gData[1], 16, kH}};
const mv::RequestStep kBad[1] = {{0x01, nullptr, 5, kH}};  // data missing: refused before anything happens

// A frame is the encoding of a step of a request that was accepted.
void CheckFrame(const World& w, const std::vector<std::uint8_t>& f) {
  bool found = false;
  for (const auto& r : w.requests) {
    for (std::uint32_t i = 0; i < r->size && !found; ++i) {
      const mv::RequestStep& s = r->table[i];
      if (f.size() != 1 + s.length || f[0] != s.command) continue;
      found = true;
      for (std::uint32_t k = 0; k < s.length; ++k) found = found && f[1 + k] == s.data[k];
    }
  }
  FUZZ_CHECK(found);
}

void CheckState(World& w) {
  const mv::LinkCounters& c = w.engine.Counters();
  FUZZ_CHECK(w.view.counters.tx == c.tx && w.view.counters.rx == c.rx && w.view.counters.errs == c.errs);
  const int live = w.LiveCount();
  FUZZ_CHECK(w.view.ended == w.accepted - live);
  FUZZ_CHECK(live <= 2);  // one running, one waiting to jump
  FUZZ_CHECK(w.engine.Busy() == (live > 0));
  if (w.engine.Busy()) FUZZ_CHECK(w.timer.enabled);
  const mv::ParserState st = w.engine.Parser().State();
  FUZZ_CHECK(st == mv::ParserState::AwaitCode || st == mv::ParserState::AwaitPayload);
  FUZZ_CHECK(w.engine.Parser().WritePosition() <= mv::kReceiveWriteLimit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  World w;
  gWorld = &w;
  for (int t = 0; t < 3; ++t)
    for (int i = 0; i < 223; ++i) gData[t][i] = static_cast<std::uint8_t>(t * 50 + i);

  while (in.remaining_bytes() > 0) {
    const std::uint32_t before = static_cast<std::uint32_t>(w.port.frames.size());
    const std::uint32_t txBefore = w.engine.Counters().tx;
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
      case 0:
      case 1: {
        const mv::RequestStep* tables[4] = {kOne, kThree, kSix, kBad};
        const std::uint32_t sizes[4] = {1, 3, 6, 1};
        const int k = in.ConsumeIntegralInRange<int>(0, 3);
        const bool jump = in.ConsumeBool();
        const int liveBefore = w.LiveCount();
        auto r = std::make_unique<Live>();
        r->table = tables[k];
        r->size = sizes[k];
        r->done = mv::RequestCompletion::Bind<&Live::Ended>(r.get());
        r->live = true;  // until told otherwise: the first frame may go out before Start returns
        const mv::RequestOutcome o = w.engine.Start(
            tables[k], sizes[k], jump ? mv::RequestPriority::JumpQueue : mv::RequestPriority::Normal, &r->done);
        const bool room = liveBefore == 0 || (jump && liveBefore == 1);
        FUZZ_CHECK((o == mv::RequestOutcome::Pending) == (k != 3 && w.port.opened && room));
        if (o == mv::RequestOutcome::Pending) {
          ++w.accepted;
          w.requests.push_back(std::move(r));
        } else {
          FUZZ_CHECK(r->ends == 0);
        }
        break;
      }
      case 2:
      case 3:
      case 4: w.engine.RxChar(in.ConsumeIntegral<std::uint8_t>()); break;
      case 5: {
        // A burst, as a full receive queue delivers it.
        const std::vector<std::uint8_t> burst = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 300));
        for (std::uint8_t b : burst) w.engine.RxChar(b);
        break;
      }
      case 6:
        if (in.ConsumeBool())
          w.engine.RxError();
        else
          w.engine.RxBreak();
        break;
      case 7:
        if (w.timer.enabled && w.timer.OnTimer) w.timer.OnTimer();
        break;
      case 8:
        w.engine.ResetCounters();
        FUZZ_CHECK(w.engine.Counters().tx == 0 && w.view.counters.tx == 0);
        break;
      case 9: w.port.opened = !w.port.opened; break;
      case 10:
        // The caller of a live request gives up.
        for (auto it = w.requests.rbegin(); it != w.requests.rend(); ++it)
          if ((*it)->live && in.ConsumeBool()) {
            w.engine.Abandon(&(*it)->done);
            break;
          }
        break;
      case 11: w.engine.EndNow(mv::RequestOutcome::DeviceGone); break;
    }
    for (std::size_t i = before; i < w.port.frames.size(); ++i) CheckFrame(w, w.port.frames[i]);
    // Every Tx counted is one frame handed to the port.
    const std::uint32_t sent = static_cast<std::uint32_t>(w.port.frames.size()) - before;
    if (w.engine.Counters().tx >= txBefore) FUZZ_CHECK(w.engine.Counters().tx - txBefore == sent);
    CheckState(w);
  }
  for (const auto& r : w.requests) FUZZ_CHECK(r->live || r->ends == 1);
  gWorld = nullptr;
  return 0;
}
