// Blocking hand-off from worker threads to the GUI thread.
//
// Threading rule: all application logic (every port operation and every port
// event) runs on one thread, the GUI thread. A worker that needs something
// done there queues a call and blocks until the GUI thread has run it (or
// posts it and awaits it before it queues the next); so a worker has at most
// one call pending, and whatever it hands over cannot change under the GUI
// thread. Calls run on the GUI thread in the order they were queued.
//
//  - The GUI thread is the thread that made the queue (BindToCurrentThread
//    moves it).
//  - A call made on the GUI thread itself runs at once.
//  - Queuing a call runs the wake hook (from the worker's thread); the GUI
//    side answers by calling ServePending() on the GUI thread soon after (the
//    Qt application posts an event, the headless loop waits on the queue
//    directly).
//  - While the GUI thread waits for a worker to end (QueueThread::JoinServing)
//    it keeps serving queued calls, so a worker inside a hand-off always
//    finishes it. When the join happens inside that very worker's call (a
//    handler closing the port), the worker is released instead: its running
//    call finishes on the GUI thread, its later calls are skipped.
//  - A call made with Invoke is copied onto the GUI thread's stack before it
//    runs, so a handler may end the worker that queued it (a posted call
//    copies what it needs itself and asks CallReleased() after each
//    handler); a handler must not destroy the object (the port) whose event
//    it is handling.
//
// No allocation per call: each worker owns one PendingCall record. Neither
// side spins: a worker sleeps until its call has run (or, after Post, until it
// has something else to do), the GUI thread until a call is queued. A worker
// with much to hand over (the receive worker during a stream) hands it over
// in one call, so a busy line costs one hand-off per burst, not one per byte.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>

namespace mv {

class GuiCallQueue {
 public:
  // One per worker, reused for every call; not copyable, must outlive the
  // worker's last call.
  struct PendingCall {
    PendingCall() = default;
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;

    void (*fn)(void*) = nullptr;
    void* ctx = nullptr;
    PendingCall* next = nullptr;
    bool queued = false;
    bool done = true;       // nothing posted, or the last posted call has run
    bool released = false;  // sticky: the worker is being ended, calls are skipped
    std::condition_variable cv;
  };

  GuiCallQueue();
  ~GuiCallQueue();
  GuiCallQueue(const GuiCallQueue&) = delete;
  GuiCallQueue& operator=(const GuiCallQueue&) = delete;

  void BindToCurrentThread();
  bool IsGuiThread() const;

  // Called from the queuing thread each time a call is queued; may be empty.
  void SetWakeHook(std::function<void()> hook);

  // Runs fn(ctx) on the GUI thread and returns when it has run (or at once
  // when rec has been released). On the GUI thread fn runs directly.
  void Call(PendingCall& rec, void (*fn)(void*), void* ctx);

  // Call in two halves, for a worker that has other work to do meanwhile:
  // Post queues fn(ctx) and returns at once (ctx must stay valid until the
  // call has run); Await blocks until it has run or rec was released. The
  // worker awaits before it posts rec again and before it ends, so the rule
  // of one pending call per worker holds. On the GUI thread Post runs fn at once.
  void Post(PendingCall& rec, void (*fn)(void*), void* ctx);
  void Await(PendingCall& rec);

  // Convenience: runs a small copyable callable f on the GUI thread. The
  // callable is copied onto the GUI thread's stack before it runs.
  template <class F>
  void Invoke(PendingCall& rec, const F& f) {
    static_assert(std::is_trivially_copyable_v<F> || std::is_copy_constructible_v<F>);
    Call(
        rec,
        [](void* p) {
          F local = *static_cast<const F*>(p);
          local();
        },
        const_cast<void*>(static_cast<const void*>(&f)));
  }

  // GUI thread: runs the calls queued so far (and any queued meanwhile), in
  // queue order, for at most a few milliseconds: calls still queued then are
  // left for the next pass (HasPending() tells), so that a stream of calls
  // never keeps the rest of the GUI thread's work waiting. Returns the number
  // of calls run.
  int ServePending();
  // The same, ending the pass at `end` at the latest (after one call at
  // least): a loop ends it when its next timer is due.
  int ServePendingUntil(std::chrono::steady_clock::time_point end);
  bool HasPending() const;

  // GUI thread: blocks until a call is queued, Wake() is called or the
  // deadline passes. Returns true when there is something to serve.
  bool WaitForWork(std::chrono::steady_clock::time_point deadline);
  // Any thread: ends one WaitForWork early.
  void Wake();

  // GUI thread: releases rec (see the threading rule); pending and later calls
  // of rec are skipped, the worker waiting in Call returns.
  void Release(PendingCall& rec);
  // Whether rec's call is running on the GUI thread right now (up the stack).
  bool IsRunning(const PendingCall& rec) const;
  // GUI thread, inside a worker's call: whether that worker has been released
  // meanwhile (a handler the call ran closed the port, which ends the worker).
  // The call must then stop and touch nothing of the worker's any more.
  bool CallReleased() const { return frames_ != nullptr && frames_->abandoned; }

 private:
  friend class QueueThread;
  struct Frame {
    PendingCall* rec;
    bool abandoned;
    Frame* outer;
  };
  void MarkEnded(std::atomic<bool>& ended);
  void WaitEnded(const std::atomic<bool>& ended, PendingCall* rec);

  mutable std::mutex mu_;
  std::condition_variable guiCv_;
  PendingCall* head_ = nullptr;
  PendingCall* tail_ = nullptr;
  Frame* frames_ = nullptr;  // calls running on the GUI thread, innermost first (GUI thread only)
  bool woken_ = false;
  std::thread::id gui_;
  std::function<void()> wakeHook_;
};

// A worker thread whose end the GUI thread waits for while serving the queue.
class QueueThread {
 public:
  QueueThread() = default;
  ~QueueThread();  // joins (serving) when still running
  QueueThread(const QueueThread&) = delete;
  QueueThread& operator=(const QueueThread&) = delete;

  // Starts body on a new thread; false (errno-like code in err) when the
  // platform refused to make a thread.
  bool Start(GuiCallQueue& queue, std::function<void()> body, int& err);
  bool Started() const { return started_; }
  bool Ended() const { return ended_.load(); }
  // GUI thread: waits for the body to return, serving queued calls meanwhile.
  // rec is the worker's PendingCall: when its call is running up the stack it
  // is released so the worker can end.
  void JoinServing(GuiCallQueue::PendingCall* rec);
  std::thread::native_handle_type NativeHandle() { return thread_.native_handle(); }
  // Linux thread id of the worker, 0 until it has started running.
  int Tid() const { return tid_.load(); }

 private:
  GuiCallQueue* queue_ = nullptr;
  std::thread thread_;
  std::atomic<bool> ended_{false};
  std::atomic<int> tid_{0};
  bool started_ = false;
};

}  // namespace mv
