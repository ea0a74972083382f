#include "serial/gui_queue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace mv {

namespace {

// Longest a single ServePending pass runs while calls keep coming: a byte
// stream must not keep timers, painting, input or a Close() waiting. The
// remaining calls stay queued for the next pass.
constexpr auto kMaxPass = std::chrono::milliseconds(4);

}  // namespace

GuiCallQueue::GuiCallQueue() : gui_(std::this_thread::get_id()) {}

GuiCallQueue::~GuiCallQueue() = default;

void GuiCallQueue::BindToCurrentThread() {
  std::lock_guard<std::mutex> lock(mu_);
  gui_ = std::this_thread::get_id();
}

bool GuiCallQueue::IsGuiThread() const {
  std::lock_guard<std::mutex> lock(mu_);
  return gui_ == std::this_thread::get_id();
}

void GuiCallQueue::SetWakeHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  wakeHook_ = std::move(hook);
}

void GuiCallQueue::Call(PendingCall& rec, void (*fn)(void*), void* ctx) {
  Post(rec, fn, ctx);
  Await(rec);
}

void GuiCallQueue::Post(PendingCall& rec, void (*fn)(void*), void* ctx) {
  std::unique_lock<std::mutex> lock(mu_);
  if (gui_ == std::this_thread::get_id()) {
    lock.unlock();
    fn(ctx);
    return;
  }
  if (rec.released) return;
  rec.fn = fn;
  rec.ctx = ctx;
  rec.next = nullptr;
  rec.done = false;
  rec.queued = true;
  if (tail_)
    tail_->next = &rec;
  else
    head_ = &rec;
  tail_ = &rec;
  guiCv_.notify_one();
  if (wakeHook_) {
    // The hook is only replaced while no worker runs; calling it unlocked keeps
    // a hook that serves synchronously (tests) from deadlocking.
    std::function<void()>* hook = &wakeHook_;
    lock.unlock();
    (*hook)();
  }
}

void GuiCallQueue::Await(PendingCall& rec) {
  std::unique_lock<std::mutex> lock(mu_);
  rec.cv.wait(lock, [&] { return rec.done || rec.released; });
}

int GuiCallQueue::ServePending() { return ServePendingUntil(std::chrono::steady_clock::now() + kMaxPass); }

int GuiCallQueue::ServePendingUntil(std::chrono::steady_clock::time_point end) {
  int served = 0;
  const auto passEnd = std::min(end, std::chrono::steady_clock::now() + kMaxPass);
  std::unique_lock<std::mutex> lock(mu_);
  while (head_) {
    PendingCall* rec = head_;
    head_ = rec->next;
    if (!head_) tail_ = nullptr;
    rec->next = nullptr;
    rec->queued = false;
    void (*fn)(void*) = rec->fn;
    void* ctx = rec->ctx;
    Frame frame{rec, false, frames_};
    frames_ = &frame;
    lock.unlock();
    fn(ctx);
    ++served;
    lock.lock();
    frames_ = frame.outer;
    if (!frame.abandoned) {
      rec->done = true;
      rec->cv.notify_one();
    }
    if (std::chrono::steady_clock::now() >= passEnd) break;
  }
  woken_ = false;
  return served;
}

bool GuiCallQueue::HasPending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return head_ != nullptr;
}

bool GuiCallQueue::WaitForWork(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mu_);
  guiCv_.wait_until(lock, deadline, [&] { return head_ != nullptr || woken_; });
  woken_ = false;
  return head_ != nullptr;
}

void GuiCallQueue::Wake() {
  std::lock_guard<std::mutex> lock(mu_);
  woken_ = true;
  guiCv_.notify_all();
}

void GuiCallQueue::Release(PendingCall& rec) {
  std::lock_guard<std::mutex> lock(mu_);
  rec.released = true;
  if (rec.queued) {
    // Take it out of the queue: it will never run.
    PendingCall* prev = nullptr;
    for (PendingCall* p = head_; p; prev = p, p = p->next) {
      if (p != &rec) continue;
      if (prev)
        prev->next = p->next;
      else
        head_ = p->next;
      if (tail_ == p) tail_ = prev;
      break;
    }
    rec.queued = false;
    rec.next = nullptr;
  }
  for (Frame* f = frames_; f; f = f->outer)
    if (f->rec == &rec) f->abandoned = true;
  rec.cv.notify_all();
}

bool GuiCallQueue::IsRunning(const PendingCall& rec) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (Frame* f = frames_; f; f = f->outer)
    if (f->rec == &rec && !f->abandoned) return true;
  return false;
}

void GuiCallQueue::MarkEnded(std::atomic<bool>& ended) {
  std::lock_guard<std::mutex> lock(mu_);
  ended.store(true);
  guiCv_.notify_all();
}

void GuiCallQueue::WaitEnded(const std::atomic<bool>& ended, PendingCall* rec) {
  if (rec && IsRunning(*rec)) Release(*rec);
  std::unique_lock<std::mutex> lock(mu_);
  while (!ended.load()) {
    if (head_) {
      lock.unlock();
      ServePending();
      lock.lock();
      continue;
    }
    guiCv_.wait(lock, [&] { return ended.load() || head_ != nullptr; });
  }
}

QueueThread::~QueueThread() {
  if (started_) JoinServing(nullptr);
}

bool QueueThread::Start(GuiCallQueue& queue, std::function<void()> body, int& err) {
  err = 0;
  if (started_) {
    err = EBUSY;
    return false;
  }
  queue_ = &queue;
  ended_.store(false);
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      tid_.store(static_cast<int>(::syscall(SYS_gettid)));
      body();
      queue_->MarkEnded(ended_);
    });
  } catch (const std::system_error& e) {
    err = e.code().value() ? e.code().value() : EAGAIN;
    return false;
  }
  started_ = true;
  return true;
}

void QueueThread::JoinServing(GuiCallQueue::PendingCall* rec) {
  if (!started_) return;
  queue_->WaitEnded(ended_, rec);
  thread_.join();
  started_ = false;
}

}  // namespace mv
