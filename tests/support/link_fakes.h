// Fakes for driving the request engine by hand: a port that records frames,
// a timer the test fires, and a status bar that records what it was told.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/timer.h"
#include "link/engine.h"

namespace linktest {

class FakePort : public mv::LinkPort {
 public:
  bool opened = true;
  bool refuse = false;                            // the transmitter refuses every frame
  std::uint32_t bps = 0;                          // line speed told to the engine (0 = unknown)
  std::vector<std::vector<std::uint8_t>> frames;  // every frame offered, refused ones too
  std::vector<const std::uint8_t*> buffers;       // where each frame was sent from

  bool GetOpened() const override { return opened; }
  bool TxData(const std::uint8_t* buffer, int length) override {
    frames.emplace_back(buffer, buffer + length);
    buffers.push_back(buffer);
    return opened && !refuse;
  }
  std::uint32_t BitsPerSecond() const override { return bps; }
  int outputDiscards = 0;  // DiscardOutput calls (a failed request withdrew its frame)
  int inputDiscards = 0;
  void DiscardOutput() override { ++outputDiscards; }
  void DiscardInput() override { ++inputDiscards; }
};

class FakeTimer : public mv::Timer {
 public:
  int interval = 0;
  bool enabled = false;
  int restarts = 0;  // times it was enabled

  void SetInterval(int ms) override { interval = ms; }
  int Interval() const override { return interval; }
  void SetEnabled(bool on) override {
    if (on) ++restarts;
    enabled = on;
  }
  bool Enabled() const override { return enabled; }
  // The interval passes: fires only while enabled, as a real timer would.
  void Expire() {
    if (enabled && OnTimer) OnTimer();
  }
};

class FakeStatusBar : public mv::LinkView {
 public:
  std::string panel0;
  mv::LinkCounters counters{};
  std::vector<mv::RequestOutcome> ended;

  void SetPortStatusText(const char* text) override { panel0 = text; }
  void CountersChanged(const mv::LinkCounters& c) override { counters = c; }
  std::vector<mv::RequestEnd> ends;
  void RequestEnded(const mv::RequestEnd& e) override {
    ended.push_back(e.outcome);
    ends.push_back(e);
  }
};

// Port, timer, status bar and engine wired together.
struct Rig {
  FakePort port;
  FakeTimer timer;
  FakeStatusBar bar;
  mv::RequestEngine engine{port, timer, &bar};

  void Feed(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t b : bytes) engine.RxChar(b);
  }
  // A response: code followed by `payload`.
  void Answer(std::uint8_t code, const std::vector<std::uint8_t>& payload) {
    engine.RxChar(code);
    Feed(payload);
  }
};

}  // namespace linktest
