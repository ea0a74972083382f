#include "serial/headless_loop.h"

#include <algorithm>

namespace mv {

using Clock = std::chrono::steady_clock;

class HeadlessLoop::LoopTimer final : public Timer {
 public:
  explicit LoopTimer(HeadlessLoop* loop) : loop_(loop) { loop_->timers_.push_back(this); }
  ~LoopTimer() override {
    auto& t = loop_->timers_;
    t.erase(std::remove(t.begin(), t.end(), this), t.end());
  }
  void SetInterval(int ms) override {
    interval_ = std::max(ms, 0);
    if (enabled_) deadline_ = Clock::now() + std::chrono::milliseconds(interval_);
  }
  int Interval() const override { return interval_; }
  void SetEnabled(bool on) override {
    enabled_ = on;
    if (on) deadline_ = Clock::now() + std::chrono::milliseconds(interval_);
  }
  bool Enabled() const override { return enabled_; }

  HeadlessLoop* loop_;
  int interval_ = 1000;
  bool enabled_ = false;
  Clock::time_point deadline_{};
  unsigned firedPass_ = 0;
};

HeadlessLoop::HeadlessLoop() : owned_(std::make_unique<GuiCallQueue>()), queue_(owned_.get()) {}

HeadlessLoop::HeadlessLoop(GuiCallQueue& queue) : queue_(&queue) { queue_->BindToCurrentThread(); }

HeadlessLoop::~HeadlessLoop() {
  // Timers still alive must not reach back into a dead loop.
  for (LoopTimer* t : timers_) t->enabled_ = false;
}

std::unique_ptr<Timer> HeadlessLoop::CreateTimer() { return std::make_unique<LoopTimer>(this); }

bool HeadlessLoop::FireDueTimers() {
  ++pass_;
  bool fired = false;
  for (;;) {
    const Clock::time_point now = Clock::now();
    LoopTimer* due = nullptr;
    for (LoopTimer* t : timers_) {
      if (!t->enabled_ || t->firedPass_ == pass_ || t->deadline_ > now) continue;
      if (!due || t->deadline_ < due->deadline_) due = t;
    }
    if (!due) return fired;
    due->firedPass_ = pass_;
    const auto step = std::chrono::milliseconds(due->interval_);
    due->deadline_ += step;
    if (due->deadline_ <= now) due->deadline_ = now + step;  // fell behind: no catch-up burst
    fired = true;
    if (due->OnTimer) {
      // The handler may destroy this or any other timer; the list is searched
      // afresh afterwards.
      std::function<void()> handler = due->OnTimer;
      handler();
    }
  }
}

Clock::time_point HeadlessLoop::NextDeadline(Clock::time_point limit) const {
  Clock::time_point next = limit;
  for (const LoopTimer* t : timers_)
    if (t->enabled_ && t->deadline_ < next) next = t->deadline_;
  return next;
}

bool HeadlessLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const Clock::time_point end = Clock::now() + timeout;
  // done() is asked once per check; its last answer is the result.
  for (;;) {
    if (done && done()) return true;
    if (quit_.exchange(false)) return false;
    // A stream of hand-offs does not keep a due timer waiting.
    bool worked = queue_->ServePendingUntil(NextDeadline(end)) > 0;
    worked = FireDueTimers() || worked;
    const Clock::time_point now = Clock::now();
    if (now >= end) return done ? done() : false;
    if (worked) continue;  // re-check done() before sleeping
    queue_->WaitForWork(NextDeadline(end));
  }
}

void HeadlessLoop::RunFor(std::chrono::milliseconds duration) { RunUntil(nullptr, duration); }

void HeadlessLoop::Quit() {
  quit_.store(true);
  queue_->Wake();
}

}  // namespace mv
