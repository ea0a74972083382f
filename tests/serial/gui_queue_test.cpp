// The blocking hand-off and the headless loop that serves it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "serial/gui_queue.h"
#include "serial/headless_loop.h"

namespace {

using namespace std::chrono_literals;

TEST(GuiCallQueue, WorkerCallsRunOnTheGuiThreadInOrderAndBlockTheWorker) {
  mv::HeadlessLoop loop;
  mv::GuiCallQueue& q = loop.Queue();
  const std::thread::id gui = std::this_thread::get_id();
  std::vector<int> seen;
  std::atomic<int> wrongThread{0};
  std::atomic<int> finished{0};
  constexpr int kWorkers = 3, kCalls = 200;
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      mv::GuiCallQueue::PendingCall rec;
      for (int i = 0; i < kCalls; ++i) {
        int value = w * 1000 + i;
        bool ran = false;
        q.Invoke(rec, [&seen, &wrongThread, &ran, gui, value] {
          if (std::this_thread::get_id() != gui) ++wrongThread;
          seen.push_back(value);
          ran = true;
        });
        // The call has run when Invoke returns: the worker never runs ahead.
        if (!ran) ++wrongThread;
      }
      q.Invoke(rec, [&finished] { ++finished; });
    });
  }
  EXPECT_TRUE(loop.RunUntil([&] { return finished == kWorkers; }, 10s));
  for (auto& t : workers) t.join();
  EXPECT_EQ(wrongThread, 0);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kWorkers * kCalls));
  // Within one worker, program order.
  std::vector<int> last(kWorkers, -1);
  for (int v : seen) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(GuiCallQueue, CallOnGuiThreadRunsAtOnceAndWakeHookRunsOnTheWorker) {
  mv::GuiCallQueue q;
  mv::GuiCallQueue::PendingCall rec;
  int n = 0;
  q.Invoke(rec, [&n] { ++n; });
  EXPECT_EQ(n, 1);
  EXPECT_FALSE(q.HasPending());

  std::atomic<int> hooks{0};
  std::thread::id hookThread;
  q.SetWakeHook([&] {
    hookThread = std::this_thread::get_id();
    ++hooks;
  });
  std::thread::id workerId;
  std::thread worker([&] {
    workerId = std::this_thread::get_id();
    mv::GuiCallQueue::PendingCall r;
    q.Invoke(r, [&n] { ++n; });
  });
  while (hooks == 0) std::this_thread::yield();  // the worker woke the GUI side
  EXPECT_TRUE(q.HasPending());
  EXPECT_EQ(q.ServePending(), 1);
  worker.join();
  EXPECT_EQ(n, 2);
  EXPECT_EQ(hookThread, workerId);
}

TEST(GuiCallQueue, JoinInsideTheWorkersOwnCallReleasesIt) {
  // A handler ending the worker that is waiting for that very handler.
  mv::HeadlessLoop loop;
  mv::GuiCallQueue& q = loop.Queue();
  std::atomic<bool> stop{false};
  std::atomic<int> callsAfterRelease{0};
  mv::QueueThread thread;
  mv::GuiCallQueue::PendingCall rec;
  int err = 0;
  bool joined = false;
  ASSERT_TRUE(thread.Start(
      q,
      [&] {
        int i = 0;
        while (!stop) {
          q.Invoke(rec, [&, i] {
            if (i == 3) {
              stop = true;
              thread.JoinServing(&rec);
              joined = true;
            } else if (stop) {
              ++callsAfterRelease;
            }
          });
          ++i;
        }
      },
      err));
  EXPECT_TRUE(loop.RunUntil([&] { return joined; }, 5s));
  EXPECT_TRUE(thread.Ended());
  EXPECT_EQ(callsAfterRelease, 0);
}

// Workers that stream calls (a byte per call, as the receive worker does in
// a burst) must not hold the GUI thread in one pass: timers, painting, input
// and closing run between passes. Each call here takes a millisecond on the
// GUI thread, long enough for every worker to have queued its next call, so
// the queue never runs empty: a pass that only ended with the queue would
// serve every call at once.
TEST(GuiCallQueue, APassEndsWhileWorkersKeepQueuing) {
  mv::GuiCallQueue q;
  constexpr int kCalls = 150;
  constexpr int kWorkers = 2;
  int served = 0;
  mv::QueueThread workers[kWorkers];
  mv::GuiCallQueue::PendingCall recs[kWorkers];
  for (int w = 0; w < kWorkers; ++w) {
    int err = 0;
    mv::GuiCallQueue::PendingCall& rec = recs[w];
    ASSERT_TRUE(workers[w].Start(
        q,
        [&q, &rec, &served] {
          for (int i = 0; i < kCalls; ++i)
            q.Invoke(rec, [&served] {
              ++served;
              std::this_thread::sleep_for(1ms);
            });
        },
        err));
  }
  while (!q.HasPending()) std::this_thread::yield();
  const int firstPass = q.ServePending();
  EXPECT_GT(firstPass, 0);
  EXPECT_LT(firstPass, kCalls);
  for (int w = 0; w < kWorkers; ++w) workers[w].JoinServing(&recs[w]);
  EXPECT_EQ(served, kWorkers * kCalls);
}

TEST(HeadlessLoop, TimersArePeriodicWhileEnabledAndMaySelfDestruct) {
  mv::HeadlessLoop loop;
  auto periodic = loop.CreateTimer();
  int ticks = 0;
  periodic->SetInterval(5);
  periodic->OnTimer = [&] { ++ticks; };
  periodic->SetEnabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 3; }, 2s));
  periodic->SetEnabled(false);
  const int stopped = ticks;
  loop.RunFor(30ms);
  EXPECT_EQ(ticks, stopped);

  // A one-shot pattern: the handler disables and destroys its own timer.
  auto once = loop.CreateTimer();
  int fired = 0;
  once->SetInterval(1);
  once->OnTimer = [&] {
    ++fired;
    once.reset();
  };
  once->SetEnabled(true);
  loop.RunFor(30ms);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(once, nullptr);

  // A zero interval fires once per pass, not in an endless burst.
  auto zero = loop.CreateTimer();
  int zeroTicks = 0;
  zero->SetInterval(0);
  zero->OnTimer = [&] { ++zeroTicks; };
  zero->SetEnabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return zeroTicks >= 5; }, 2s));
}

TEST(HeadlessLoop, RunUntilReportsTimeoutAndQuitFromAnotherThread) {
  mv::HeadlessLoop loop;
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 20ms));
  std::thread quitter([&] {
    std::this_thread::sleep_for(20ms);
    loop.Quit();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  quitter.join();
}

}  // namespace
