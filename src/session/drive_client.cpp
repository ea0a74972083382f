#include "session/drive_client.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "session/trace_file.h"

namespace mv {

namespace {

// How often a waiting caller's interrupt check runs.
constexpr std::chrono::milliseconds kSlice{20};

// Calls of the same thread in progress: a call made while another waits on
// this thread comes from a signal handler and goes ahead of the queue.
thread_local int tWaiting = 0;

std::string OneLine(std::string text) {
  for (std::size_t p = text.find('\n'); p != std::string::npos; p = text.find('\n', p)) text.replace(p, 1, ": ");
  return text;
}

// The signals a program may handle itself; the synchronous ones (a fault in
// a thread's own code) stay with the thread that caused them.
sigset_t AsynchronousSignals() {
  sigset_t set;
  sigfillset(&set);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&set, s);
  return set;
}

}  // namespace

const char* RequestName(MainRequestKind kind) {
  switch (kind) {
    case MainRequestKind::DriveInfo: return "info";
    case MainRequestKind::Activate:
    case MainRequestKind::DeactivateAll: return "activate";
    case MainRequestKind::GetProfile: return "get-profile";
    case MainRequestKind::SaveProfile: return "save-profile";
    case MainRequestKind::GetAllProfiles: return "get-all";
    case MainRequestKind::SaveAllProfiles: return "save-all";
    case MainRequestKind::ReadProfile: return "read-profile";
  }
  return "request";
}

const char* RequestName(ControlRequestKind kind) {
  switch (kind) {
    case ControlRequestKind::ChangeProfile: return "change";
    case ControlRequestKind::Start: return "start";
    case ControlRequestKind::Stop: return "stop";
    case ControlRequestKind::Reset: return "reset";
    case ControlRequestKind::SetSpeed: return "speed";
    case ControlRequestKind::Status:
    case ControlRequestKind::TimerStatus: return "status";
  }
  return "request";
}

std::string FailureLine(const char* request, const RequestEnd& end) {
  std::string line = request;
  if (IsRefusal(end.outcome) || end.step == 0) return line + ": request refused: " + RequestOutcomeText(end.outcome);
  return line + ": request abandoned at step " + std::to_string(end.step) + ": " + RequestOutcomeText(end.outcome);
}

std::string SlotLine(const MainResult& result, int slotIndex) {
  char text[96];
  return SlotMessage(result, slotIndex, text, sizeof text) ? OneLine(text) : std::string();
}

void RequireOk(const MainResult& result) {
  const char* request = RequestName(result.kind);
  if (!result.Completed() || !result.end.trusted) {
    RequestEnd end = result.end;
    if (end.outcome == RequestOutcome::Completed) end.outcome = RequestOutcome::Shifted;
    throw DriveError(FailureLine(request, end), request, end);
  }
  for (int i = 0; i < kSlotCount; ++i) {
    const SlotOutcome o = result.slotOutcome[static_cast<std::size_t>(i)];
    if (o == SlotOutcome::Received || o == SlotOutcome::Saved || o == SlotOutcome::NotAsked) continue;
    char box[96];
    std::string text;
    if (SlotMessage(result, i, box, sizeof box))
      text = OneLine(box);
    else if (o == SlotOutcome::OtherSlot)
      text = std::string(request) + ": the drive answered with another slot's profile";
    else
      text = std::string(request) + ": no answer for slot " + std::to_string(i + 1);
    DriveError e(text, request, result.end);
    e.slot = i;
    e.slotOutcome = o;
    if (SlotMessage(result, i, box, sizeof box)) e.windowText = box;
    throw e;
  }
}

void RequireOk(const ControlResult& result) {
  if (result.Ok()) return;
  const char* request = RequestName(result.kind);
  RequestEnd end = result.end;
  if (end.outcome == RequestOutcome::Completed) end.outcome = RequestOutcome::Shifted;
  throw DriveError(FailureLine(request, end), request, end);
}

// ---------------------------------------------------------------------------

struct DriveClient::Job {
  enum class Type : std::uint8_t { Open, Close, Main, Control, PollNext, Query };
  Type type = Type::Query;
  MainRequestKind mainKind = MainRequestKind::DriveInfo;
  ControlRequestKind controlKind = ControlRequestKind::Status;
  int slot = -1;
  std::uint32_t rpm = 0;
  const MotorProfile* profiles = nullptr;  // the caller's, valid while it waits
  Poll* poll = nullptr;
  const std::function<void()>* query = nullptr;
  bool front = false;  // a signal handler's call: ahead of the queue

  MainResult main{};
  ControlResult control{};
  OpenResult open{};

  bool done = false;  // under mu_
  // Client's thread only:
  bool giveUp = false;    // the caller gave it up
  bool finished = false;  // Finish ran: the caller may be gone any moment
  bool queued = false;    // in the queue
  bool inInbox = false;   // handed over, not yet taken
  Job* next = nullptr;    // the queue, or the Stop's waiters
  Job* inbox = nullptr;
  GuiCallQueue::PendingCall rec;
};

DriveClient::DriveClient(const PortChoice& choice) {
  // The thread and, through it, the port's workers never take a signal
  // meant for the program.
  const sigset_t blocked = AsynchronousSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  thread_ = std::thread([this, choice] { Run(choice); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return ready_; });
}

DriveClient::~DriveClient() {
  Close();
  // Not a job: the loop's queue goes with the thread, so nothing of this
  // thread may still be inside it then. The wake is made under mu_, which
  // the thread takes before it ends.
  {
    const std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
    session_->Loop().Quit();
  }
  thread_.join();
}

void DriveClient::SetInterruptCheck(std::function<void()> check) { interruptCheck_ = std::move(check); }

void DriveClient::SetErrorLineHandler(std::function<void(const PortReport&, const std::string&)> handler) {
  OnLoop([this, &handler] { errorLine_ = std::move(handler); });
}

void DriveClient::Run(const PortChoice& choice) {
  // Named so that top -H, a debugger or a script tells it from the caller's.
  pthread_setname_np(pthread_self(), "Drive client");
  HeadlessSession session(choice);  // its loop belongs to this thread
  DriveSession& s = session.Session();
  session.OnErrorLine = [this](const PortReport& r, const std::string& line) {
    if (errorLine_) errorLine_(r, line);
  };
  s.SetMainSink(MainResultSink::Bind<&DriveClient::MainEnded>(this));
  s.SetControlSink(ControlResultSink::Bind<&DriveClient::ControlEnded>(this));
  {
    const std::lock_guard<std::mutex> lock(mu_);
    session_ = &session;
    ready_ = true;
  }
  cv_.notify_all();
  // The jobs handed over are taken at the loop's top level, never inside a
  // hand-off the port serves while it closes.
  while (!quit_)
    session.Loop().RunUntil(
        [this] {
          Pump();
          return quit_.load();
        },
        std::chrono::hours(1));
  s.Port().Close();
  s.ClearSinks();
  session.OnErrorLine = nullptr;
  const std::lock_guard<std::mutex> lock(mu_);
  session_ = nullptr;
}

// ---- caller side -------------------------------------------------------------

void DriveClient::OnLoop(const std::function<void()>& fn) {
  Job job;
  job.type = Job::Type::Query;
  job.query = &fn;
  Submit(job);
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&job] { return job.done; });
}

void DriveClient::Submit(Job& job) {
  job.front = tWaiting > 0;
  // Only links the job in: the work is done at the loop's top level.
  session_->Loop().Queue().Invoke(job.rec, [this, &job] {
    job.inbox = inbox_;
    job.inInbox = true;
    inbox_ = &job;
  });
}

void DriveClient::Wait(Job& job) {
  struct Depth {
    Depth() { ++tWaiting; }
    ~Depth() { --tWaiting; }
  } depth;
  std::unique_lock<std::mutex> lock(mu_);
  while (!job.done) {
    if (!interruptCheck_) {
      cv_.wait(lock);
      continue;
    }
    cv_.wait_for(lock, kSlice);
    if (job.done) break;
    lock.unlock();
    try {
      interruptCheck_();
    } catch (...) {
      GiveUp(job);
      throw;
    }
    lock.lock();
  }
}

void DriveClient::GiveUp(Job& job) {
  // Handed over again, now to be given up; the job is finished (and off
  // every list of the loop) before the caller's frame goes.
  session_->Loop().Queue().Invoke(job.rec, [this, &job] {
    // Finished meanwhile: its caller returns at once and the job goes with
    // it, so it must not be linked anywhere again.
    if (job.finished) return;
    job.giveUp = true;
    if (!job.inInbox) {
      job.inbox = inbox_;
      job.inInbox = true;
      inbox_ = &job;
    }
  });
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&job] { return job.done; });
}

// ---- the client's thread ----------------------------------------------------

void DriveClient::Finish(Job& job) {
  // A job given up while its request was ending (in the same pass of the
  // loop) is back in the inbox: its caller may not go before Pump has taken
  // it out, and Pump finishes it then.
  if (job.inInbox) return;
  job.finished = true;
  {
    const std::lock_guard<std::mutex> lock(mu_);
    job.done = true;
  }
  cv_.notify_all();
}

void DriveClient::Pump() {
  // Jobs handed over since the last pass, oldest first.
  Job* taken = nullptr;
  while (inbox_ != nullptr) {
    Job* j = inbox_;
    inbox_ = j->inbox;
    j->inbox = taken;
    taken = j;
  }
  while (taken != nullptr) {
    Job* j = taken;
    taken = j->inbox;
    j->inbox = nullptr;
    j->inInbox = false;
    if (j->giveUp)
      Abandon(*j);
    else
      Enqueue(*j);
  }
  // Start what may start: one request of the client at a time, and only
  // once the engine is idle (a given-up request ends its step first).
  DriveSession& s = session_->Session();
  for (;;) {
    if (mainRunning_ != nullptr || controlRunning_ != nullptr || s.Engine().Busy()) return;
    Job* j = head_;
    Job* before = nullptr;
    while (j != nullptr && !Startable(*j)) {
      before = j;
      j = j->next;
    }
    if (j == nullptr) return;
    if (before != nullptr)
      before->next = j->next;
    else
      head_ = j->next;
    if (tail_ == j) tail_ = before;
    j->next = nullptr;
    j->queued = false;
    Begin(*j);
  }
}

void DriveClient::Enqueue(Job& job) {
  if (job.type == Job::Type::Query) {
    (*job.query)();
    Finish(job);
    return;
  }
  if (job.type == Job::Type::Control && job.controlKind == ControlRequestKind::Stop) {
    // Jumps the queue and the running request; a second Stop rides along
    // with the one in flight.
    job.next = stopWaiters_;
    stopWaiters_ = &job;
    if (stopInFlight_) return;
    stopInFlight_ = true;
    if (session_->Session().DeviceGone()) {
      ControlResult gone{};
      gone.kind = ControlRequestKind::Stop;
      gone.end.outcome = RequestOutcome::DeviceGone;
      ControlEnded(gone);
      return;
    }
    session_->Session().Control().Stop();  // its result comes to ControlEnded
    return;
  }
  job.queued = true;
  if (job.front) {
    job.next = head_;
    head_ = &job;
    if (tail_ == nullptr) tail_ = &job;
  } else {
    job.next = nullptr;
    if (tail_ != nullptr)
      tail_->next = &job;
    else
      head_ = &job;
    tail_ = &job;
  }
}

void DriveClient::Abandon(Job& job) {
  if (job.finished) return;
  DriveSession& s = session_->Session();
  if (job.queued) {
    Job* before = nullptr;
    for (Job* j = head_; j != nullptr && j != &job; j = j->next) before = j;
    if (before != nullptr)
      before->next = job.next;
    else
      head_ = job.next;
    if (tail_ == &job) tail_ = before;
    job.queued = false;
  } else if (mainRunning_ == &job) {
    mainRunning_ = nullptr;
    s.Main().AbandonRunning();
  } else if (controlRunning_ == &job) {
    controlRunning_ = nullptr;
    s.Control().Abandon(job.control.kind);
  } else {
    // A Stop is never taken back; the caller just stops waiting for it.
    for (Job** link = &stopWaiters_; *link != nullptr; link = &(*link)->next) {
      if (*link == &job) {
        *link = job.next;
        break;
      }
    }
  }
  job.main.end.outcome = RequestOutcome::Abandoned;
  job.control.end.outcome = RequestOutcome::Abandoned;
  Finish(job);
}

bool DriveClient::Startable(const Job& job) const {
  if (job.type != Job::Type::PollNext) return true;
  return job.poll->due_ || !session_->Session().Port().GetOpened();
}

void DriveClient::Begin(Job& job) {
  DriveSession& s = session_->Session();
  switch (job.type) {
    case Job::Type::Open: {
      if (!s.Port().GetOpened()) {
        job.open.ok = session_->Open(job.open.why);
        job.open.err = s.OpenError();
      } else {
        job.open.ok = true;
      }
      job.open.device = s.Port().DevicePath();
      Finish(job);
      return;
    }
    case Job::Type::Close:
      s.Port().Close();
      Finish(job);
      return;
    case Job::Type::Main: {
      if (s.DeviceGone()) {
        job.main.kind = job.mainKind;
        job.main.end.outcome = RequestOutcome::DeviceGone;
        Finish(job);
        return;
      }
      mainRunning_ = &job;
      MainRequests& m = s.Main();
      RequestOutcome started = RequestOutcome::RefusedInvalid;
      switch (job.mainKind) {
        case MainRequestKind::DriveInfo: started = m.GetDriveData(); break;
        case MainRequestKind::Activate: started = m.Activate(job.slot); break;
        case MainRequestKind::DeactivateAll: started = m.DeactivateAll(); break;
        case MainRequestKind::GetProfile: started = m.GetProfile(job.slot); break;
        case MainRequestKind::SaveProfile: started = m.SaveProfile(job.slot, *job.profiles); break;
        case MainRequestKind::GetAllProfiles: started = m.GetAllProfiles(); break;
        case MainRequestKind::SaveAllProfiles: {
          std::array<MotorProfile, kSlotCount> six;
          for (std::size_t i = 0; i < kSlotCount; ++i) six[i] = job.profiles[i];
          started = m.SaveAllProfiles(six);
          break;
        }
        case MainRequestKind::ReadProfile: started = m.GetProfileToScratch(job.slot); break;
      }
      if (started != RequestOutcome::Pending && mainRunning_ == &job) {  // refused before the tables looked
        mainRunning_ = nullptr;
        job.main.kind = job.mainKind;
        job.main.slot = job.slot;
        job.main.end.outcome = started;
        Finish(job);
      }
      return;
    }
    case Job::Type::Control:
    case Job::Type::PollNext: {
      ControlRequestKind kind = job.controlKind;
      if (job.type == Job::Type::PollNext) {
        Poll& p = *job.poll;
        p.due_ = false;
        kind = p.started_ ? ControlRequestKind::TimerStatus : ControlRequestKind::Status;
        // The period counts from this poll: one made up late is followed by
        // the next a whole period later, never at once.
        if (s.Port().GetOpened()) {
          p.started_ = true;
          p.timer_->SetEnabled(false);
          p.timer_->SetEnabled(true);
        }
      }
      job.control.kind = kind;
      if (s.DeviceGone()) {
        job.control.end.outcome = RequestOutcome::DeviceGone;
        Finish(job);
        return;
      }
      controlRunning_ = &job;
      ControlStatusRequests& c = s.Control();
      RequestOutcome started = RequestOutcome::RefusedInvalid;
      switch (kind) {
        case ControlRequestKind::ChangeProfile: started = c.Change(job.slot); break;
        case ControlRequestKind::Start: started = c.Start(); break;
        case ControlRequestKind::Stop: started = c.Stop(); break;
        case ControlRequestKind::Reset: started = c.Reset(); break;
        case ControlRequestKind::SetSpeed: started = c.Speed(job.rpm); break;
        case ControlRequestKind::Status: started = c.GetStatus(); break;
        case ControlRequestKind::TimerStatus: started = c.TimerStatus(); break;
      }
      if (started != RequestOutcome::Pending && controlRunning_ == &job) {
        controlRunning_ = nullptr;
        job.control.end.outcome = started;
        Finish(job);
      }
      return;
    }
    case Job::Type::Query: return;  // run when taken (Enqueue)
  }
}

void DriveClient::MainEnded(const MainResult& result) {
  Job* job = mainRunning_;
  mainRunning_ = nullptr;
  if (job != nullptr) {
    job->main = result;
    Finish(*job);
  }
  // The next job starts at the loop's top level (Pump), not inside whatever
  // delivered this result.
  session_->Loop().Queue().Wake();
}

void DriveClient::ControlEnded(const ControlResult& result) {
  if (result.kind == ControlRequestKind::Stop) {
    Job* waiters = stopWaiters_;
    stopWaiters_ = nullptr;
    stopInFlight_ = false;
    while (waiters != nullptr) {
      Job* next = waiters->next;
      waiters->control = result;
      Finish(*waiters);
      waiters = next;
    }
  } else {
    Job* job = controlRunning_;
    controlRunning_ = nullptr;
    if (job != nullptr) {
      job->control = result;
      Finish(*job);
    }
  }
  session_->Loop().Queue().Wake();
}

// ---- calls ------------------------------------------------------------------

OpenResult DriveClient::Open() {
  Job job;
  job.type = Job::Type::Open;
  Submit(job);
  Wait(job);
  return job.open;
}

void DriveClient::Close() {
  Job job;
  job.type = Job::Type::Close;
  Submit(job);
  // Never given up: a close asked for is carried out.
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&job] { return job.done; });
}

bool DriveClient::IsOpen() {
  bool open = false;
  OnLoop([this, &open] { open = session_->Session().Port().GetOpened(); });
  return open;
}

std::string DriveClient::DevicePath() {
  std::string path;
  OnLoop([this, &path] { path = session_->Session().Port().DevicePath(); });
  return path;
}

LinkCounters DriveClient::Counters() {
  LinkCounters c;
  OnLoop([this, &c] { c = session_->Session().Engine().Counters(); });
  return c;
}

DriveClient::TraceCopy DriveClient::Trace() {
  TraceCopy copy;
  OnLoop([this, &copy] {
    const LinkRecorder& recorder = session_->Session().Recorder();
    const TraceRing& ring = recorder.Ring();
    copy.events.reserve(ring.Size());
    for (std::uint64_t seq = ring.First(); seq < ring.End(); ++seq) copy.events.push_back(ring.At(seq));
    copy.wallOffsetUs = recorder.WallTimeUs(0);
  });
  return copy;
}

DriveClient::TraceCopy DriveClient::TraceSince(std::uint64_t& next) {
  TraceCopy copy;
  OnLoop([this, &copy, &next] {
    const LinkRecorder& recorder = session_->Session().Recorder();
    const TraceRing& ring = recorder.Ring();
    if (next > ring.End()) next = ring.End();
    for (std::uint64_t seq = std::max(next, ring.First()); seq < ring.End(); ++seq) copy.events.push_back(ring.At(seq));
    next = ring.End();
    copy.wallOffsetUs = recorder.WallTimeUs(0);
  });
  return copy;
}

std::string DriveClient::TraceText() {
  std::string text;
  OnLoop([this, &text] { text = TraceFileText(session_->Session().Recorder()); });
  return text;
}

void DriveClient::ResetCounters() {
  OnLoop([this] { session_->Session().Engine().ResetCounters(); });
}

MainResult DriveClient::RunMain(MainRequestKind kind, int slot, const MotorProfile* profiles) {
  Job job;
  job.type = Job::Type::Main;
  job.mainKind = kind;
  job.slot = slot;
  job.profiles = profiles;
  job.main.kind = kind;
  job.main.slot = slot;
  Submit(job);
  Wait(job);
  return job.main;
}

ControlResult DriveClient::RunControl(ControlRequestKind kind, std::uint32_t rpm) {
  Job job;
  job.type = Job::Type::Control;
  job.controlKind = kind;
  job.rpm = rpm;
  job.control.kind = kind;
  Submit(job);
  Wait(job);
  return job.control;
}

MainResult DriveClient::Info() { return RunMain(MainRequestKind::DriveInfo, -1, nullptr); }
MainResult DriveClient::GetProfile(int slotIndex) { return RunMain(MainRequestKind::GetProfile, slotIndex, nullptr); }
MainResult DriveClient::ReadProfile(int slotIndex) { return RunMain(MainRequestKind::ReadProfile, slotIndex, nullptr); }
MainResult DriveClient::SaveProfile(int slotIndex, const MotorProfile& profile) {
  return RunMain(MainRequestKind::SaveProfile, slotIndex, &profile);
}
MainResult DriveClient::GetAll() { return RunMain(MainRequestKind::GetAllProfiles, -1, nullptr); }
MainResult DriveClient::SaveAll(const std::array<MotorProfile, kSlotCount>& profiles) {
  return RunMain(MainRequestKind::SaveAllProfiles, -1, profiles.data());
}
MainResult DriveClient::Activate(int slotIndex) {
  return slotIndex == kNoProfileIndex ? RunMain(MainRequestKind::DeactivateAll, kNoProfileIndex, nullptr)
                                      : RunMain(MainRequestKind::Activate, slotIndex, nullptr);
}
ControlResult DriveClient::Start() { return RunControl(ControlRequestKind::Start, 0); }
ControlResult DriveClient::Stop() { return RunControl(ControlRequestKind::Stop, 0); }
ControlResult DriveClient::Reset() { return RunControl(ControlRequestKind::Reset, 0); }
ControlResult DriveClient::SetSpeed(std::uint32_t rpm) { return RunControl(ControlRequestKind::SetSpeed, rpm); }
ControlResult DriveClient::Status() { return RunControl(ControlRequestKind::Status, 0); }

// ---- polls ------------------------------------------------------------------

DriveClient::Poll::Poll(DriveClient& client, std::int32_t periodMs, std::optional<std::int64_t> count)
    : client_(client), periodMs_(periodMs), count_(count) {}

DriveClient::Poll::~Poll() {
  client_.OnLoop([this] { timer_.reset(); });
}

std::unique_ptr<DriveClient::Poll> DriveClient::StartPolling(std::int32_t periodMs, std::optional<std::int64_t> count) {
  std::unique_ptr<Poll> p(new Poll(*this, periodMs, count));
  Poll* raw = p.get();
  OnLoop([this, raw] {
    raw->timer_ = session_->Loop().CreateTimer();
    raw->timer_->SetInterval(raw->periodMs_);
    // A tick only marks a poll as due: it never gets in anybody's way.
    raw->timer_->OnTimer = [raw] { raw->due_ = true; };  // Pump runs after every timer
  });
  return p;
}

void DriveClient::Poll::Stop() {
  stopped_ = true;
  client_.OnLoop([this] {
    if (timer_) timer_->SetEnabled(false);
  });
}

std::optional<ControlResult> DriveClient::Poll::Next() {
  if (stopped_ || (count_ && made_ >= *count_)) {
    if (!stopped_) Stop();
    return std::nullopt;
  }
  Job job;
  job.type = Job::Type::PollNext;
  job.poll = this;
  client_.Submit(job);
  try {
    client_.Wait(job);
  } catch (...) {
    Stop();
    throw;
  }
  ++made_;
  if (count_ && made_ >= *count_) Stop();
  return job.control;
}

}  // namespace mv
