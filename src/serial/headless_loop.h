// A small event loop for the command-line tool and the tests: serves a
// GuiCallQueue and runs timers on the thread that runs the loop (the loop's
// thread is the queue's GUI thread). It sleeps on the queue until the next
// timer deadline or a queued call; it never busy-waits.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "core/timer.h"
#include "serial/gui_queue.h"

namespace mv {

class HeadlessLoop {
 public:
  // Owns a queue bound to the calling thread.
  HeadlessLoop();
  // Serves a queue owned elsewhere (bound to the calling thread here).
  explicit HeadlessLoop(GuiCallQueue& queue);
  ~HeadlessLoop();
  HeadlessLoop(const HeadlessLoop&) = delete;
  HeadlessLoop& operator=(const HeadlessLoop&) = delete;

  GuiCallQueue& Queue() { return *queue_; }

  // A timer run by this loop (monotonic clock; periodic while enabled;
  // OnTimer called on the loop thread). It must not outlive the loop.
  std::unique_ptr<Timer> CreateTimer();

  // Runs until done() is true (checked before waiting and after every call
  // and timer), Quit() or the timeout. Returns done()'s last answer.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Runs for the given time (or until Quit()).
  void RunFor(std::chrono::milliseconds duration);
  // Any thread: makes the running RunUntil/RunFor return.
  void Quit();

 private:
  class LoopTimer;
  friend class LoopTimer;
  // Fires due timers, each at most once per pass; returns whether any fired.
  bool FireDueTimers();
  std::chrono::steady_clock::time_point NextDeadline(std::chrono::steady_clock::time_point limit) const;

  std::unique_ptr<GuiCallQueue> owned_;
  GuiCallQueue* queue_;
  std::vector<LoopTimer*> timers_;
  unsigned pass_ = 0;
  std::atomic<bool> quit_{false};
};

}  // namespace mv
