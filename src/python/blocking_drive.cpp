#include "python/blocking_drive.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "control/control_rules.h"
#include "control/status_csv.h"
#include "python/script_error.h"
#include "session/drive_record.h"

namespace mv::python {

namespace {

// Longest a single request may take before the wait gives up (the engine's
// own timeouts end every request far sooner), as in the command-line tool.
constexpr std::chrono::milliseconds kRequestLimit{30000};
// How long the loop runs between two looks at the break check: a Ctrl-C is
// acted on within this time.
constexpr std::chrono::milliseconds kSlice{20};

std::string SlotText(const char* format, int slotIndex) {
  char text[80];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(slotIndex + 1));
  return text;
}

// "Motor profile 3\nInvalid Checksum" as one line, as the command-line tool
// writes the window's messages.
std::string OneLine(std::string text) {
  for (std::size_t p = text.find('\n'); p != std::string::npos; p = text.find('\n', p)) text.replace(p, 1, ": ");
  return text;
}

ScriptError SlotError(ErrorKind kind, const char* what, const std::string& windowText, int slotIndex) {
  ScriptError e(kind, OneLine(windowText));
  e.request = what;
  e.windowText = windowText;
  e.slot = slotIndex + 1;
  return e;
}

// The signals a script may handle itself; the synchronous ones (a fault in
// the worker's own code) stay with the thread that caused them.
sigset_t AsynchronousSignals() {
  sigset_t set;
  sigfillset(&set);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&set, s);
  return set;
}

}  // namespace

// What the request handlers and the engine tell the drive; a completed poll
// also notes its wall-clock time.
class BlockingDrive::View final : public DriveRecord {
 public:
  std::int64_t polledAtMs = 0;

 protected:
  void PollDone(const StatusValues&) override { polledAtMs = WallClockMs(); }
};

BlockingDrive::BlockingDrive(const PortChoice& choice)
    : view_(std::make_unique<View>()), session_(choice, view_.get()) {
  view_->engine = &session_.Session().Engine();
  session_.Session().SetMainView(*view_);
  session_.Session().SetControlView(*view_);
}

BlockingDrive::~BlockingDrive() {
  DriveSession& s = session_.Session();
  s.Port().Close();
  s.ClearViews();
}

void BlockingDrive::Open() {
  if (IsOpen()) return;
  DriveSession& s = session_.Session();
  // The next request must not be refused as busy.
  Settle();
  const sigset_t blocked = AsynchronousSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  std::string why;
  const bool opened = session_.Open(why);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (opened) return;
  const std::string device = s.Port().DevicePath();
  ScriptError e(ErrorKind::PortNotOpened, "cannot open " + device + ": " + why);
  e.path = device;
  e.err = s.OpenError();
  throw e;
}

void BlockingDrive::Close() { session_.Session().Port().Close(); }

bool BlockingDrive::IsOpen() const { return session_.Session().Port().GetOpened(); }

std::string BlockingDrive::DevicePath() const { return session_.Session().Port().DevicePath(); }

const LinkCounters& BlockingDrive::Counters() const { return session_.Session().Engine().Counters(); }

void BlockingDrive::ResetCounters() { session_.Session().Engine().ResetCounters(); }

bool BlockingDrive::Wait(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return done();
    if (session_.Loop().RunUntil(done, std::min(kSlice, left))) return true;
    if (!breakCheck_) continue;
    try {
      breakCheck_();
    } catch (...) {
      // Nothing may keep running once the script has been interrupted.
      Close();
      throw;
    }
  }
}

void BlockingDrive::Settle() {
  const RequestEngine& engine = session_.Session().Engine();
  GuiCallQueue& queue = session_.Loop().Queue();
  Wait([&] { return !queue.HasPending() && !engine.Busy() && engine.Parser().State() == ParserState::AwaitCode; },
       kRequestLimit);
}

void BlockingDrive::ThrowRefused(const char* what) const {
  std::string text = std::string(what) + ": request refused";
  if (!view_->portText.empty()) text += ": " + view_->portText;
  ScriptError e(ErrorKind::RequestRefused, text);
  e.request = what;
  throw e;
}

void BlockingDrive::ThrowAbandoned(const char* what) const {
  const RequestEngine& engine = session_.Session().Engine();
  const unsigned step = engine.StepIndex() + 1;
  ScriptError e(ErrorKind::RequestAbandoned, std::string(what) + ": request abandoned at step " + std::to_string(step) +
                                                 ": " + RequestOutcomeText(engine.LastOutcome()));
  e.request = what;
  e.outcome = engine.LastOutcome();
  e.step = step;
  throw e;
}

template <class Send>
void BlockingDrive::Run(const char* what, Send send) {
  Settle();
  const int failuresBefore = view_->failures;
  view_->portText.clear();
  if (!send()) ThrowRefused(what);
  const RequestEngine& engine = session_.Session().Engine();
  if (!Wait([&engine] { return !engine.Busy(); }, kRequestLimit))
    throw ScriptError(ErrorKind::Other, std::string(what) + ": the request did not end");
  if (view_->failures != failuresBefore) ThrowAbandoned(what);
}

DriveIdentity BlockingDrive::Info() {
  View& w = *view_;
  w.name.reset();
  w.version.reset();
  w.serialNo.reset();
  w.hardwareId.reset();
  Run("info", [this] { return session_.Session().Main().GetDriveData(); });
  return {w.name.value_or(""), w.version.value_or(""), w.serialNo.value_or(""), w.hardwareId.value_or("")};
}

MotorProfile BlockingDrive::GetProfile(int slotIndex) {
  View& w = *view_;
  const auto i = static_cast<std::size_t>(slotIndex);
  w.received[i] = false;
  w.messages.clear();
  Run("get-profile", [&] { return session_.Session().Main().GetProfile(slotIndex); });
  // The one message a profile's answer shows is its bad checksum.
  if (!w.messages.empty())
    throw SlotError(ErrorKind::InvalidChecksum, "get-profile", w.messages.front().text, slotIndex);
  if (!w.received[i])
    throw ScriptError(ErrorKind::Other, "get-profile: the drive answered with another slot's profile");
  return w.slots[i];
}

void BlockingDrive::SaveProfile(int slotIndex, const MotorProfile& profile) {
  // The drive would keep a record its own check refuses: nothing is sent.
  if (!ProfileChecksumValid(profile))
    throw SlotError(ErrorKind::InvalidChecksum, "save-profile", SlotText(kInvalidChecksumFormat, slotIndex), slotIndex);
  View& w = *view_;
  w.slots[static_cast<std::size_t>(slotIndex)] = profile;
  w.messages.clear();
  Run("save-profile", [&] { return session_.Session().Main().SaveProfile(slotIndex); });
  // The one message a save's answer shows is "not changed".
  if (!w.messages.empty()) throw SlotError(ErrorKind::NotChanged, "save-profile", w.messages.front().text, slotIndex);
}

std::array<MotorProfile, kSlotCount> BlockingDrive::GetAll() {
  View& w = *view_;
  w.received.fill(false);
  w.messages.clear();
  Run("get-all", [this] { return session_.Session().Main().GetAllProfiles(); });
  if (!w.messages.empty()) {
    const View::Message& m = w.messages.front();
    throw SlotError(ErrorKind::InvalidChecksum, "get-all", m.text, static_cast<int>(m.step));
  }
  if (std::find(w.received.begin(), w.received.end(), false) != w.received.end())
    throw ScriptError(ErrorKind::Other, "get-all: the drive answered with another slot's profile");
  return w.slots;
}

void BlockingDrive::SaveAll(const std::array<MotorProfile, kSlotCount>& profiles) {
  for (int i = 0; i < kSlotCount; ++i)
    if (!ProfileChecksumValid(profiles[static_cast<std::size_t>(i)]))
      throw SlotError(ErrorKind::InvalidChecksum, "save-all", SlotText(kInvalidChecksumFormat, i), i);
  view_->slots = profiles;
  Run("save-all", [this] { return session_.Session().Main().SaveAllProfiles(); });
}

void BlockingDrive::Activate(int slotIndex) {
  MainRequests& main = session_.Session().Main();
  Run("activate", [&] { return slotIndex == kNoProfileIndex ? main.DeactivateAll() : main.Activate(slotIndex); });
}

void BlockingDrive::Start() {
  Run("start", [this] { return session_.Session().Control().Start(); });
}

void BlockingDrive::Stop() {
  Run("stop", [this] { return session_.Session().Control().Stop(); });
}

void BlockingDrive::Reset() {
  Run("reset", [this] { return session_.Session().Control().Reset(); });
}

std::int32_t BlockingDrive::SetSpeed(std::int64_t rpm) {
  const std::int32_t sent = ClampSpeed(rpm);
  Run("speed", [&] { return session_.Session().Control().Speed(static_cast<std::uint32_t>(sent)); });
  return sent;
}

StatusReading BlockingDrive::LastReading() const { return {view_->values, view_->fields, view_->polledAtMs}; }

StatusReading BlockingDrive::Status() {
  Run("status", [this] { return session_.Session().Control().GetStatus(); });
  return LastReading();
}

StatusPoller::StatusPoller(BlockingDrive& drive, std::int64_t periodMs, std::optional<std::int64_t> count)
    : drive_(drive), periodMs_(ClampPeriod(periodMs)), count_(count), timer_(drive.session_.Loop().CreateTimer()) {
  timer_->SetInterval(periodMs_);
  timer_->OnTimer = [this] {
    // While the script is elsewhere (or inside another request of the same
    // drive) a tick only marks a poll as due: it never gets in the way.
    if (!waiting_) {
      tickPending_ = true;
      return;
    }
    // Refused (and counted as Busy) when the previous poll is still running.
    drive_.session_.Session().Control().TimerStatus();
  };
}

StatusPoller::~StatusPoller() { timer_->SetEnabled(false); }

void StatusPoller::Stop() {
  stopped_ = true;
  timer_->SetEnabled(false);
}

bool StatusPoller::Next(StatusReading& out) {
  if (stopped_ || (count_ && made_ >= *count_)) {
    Stop();
    return false;
  }
  drive_.Settle();
  BlockingDrive::View& w = *drive_.view_;
  ControlStatusRequests& control = drive_.session_.Session().Control();
  const std::int64_t pollsBefore = w.pollsDone;
  const int failuresBefore = w.failures;
  w.portText.clear();
  if (made_ == 0) {
    if (!control.GetStatus()) drive_.ThrowRefused("status");
    timer_->SetEnabled(true);
  } else if (tickPending_ || !drive_.IsOpen()) {
    // A closed port refuses at once rather than at the next tick.
    tickPending_ = false;
    if (!control.TimerStatus()) drive_.ThrowRefused("status");
  }
  struct Waiting {
    bool& flag;
    explicit Waiting(bool& f) : flag(f) { flag = true; }
    ~Waiting() { flag = false; }
  } waiting(waiting_);
  const auto limit = std::chrono::milliseconds(periodMs_) + kRequestLimit;
  try {
    if (!drive_.Wait([&] { return w.pollsDone != pollsBefore || w.failures != failuresBefore; }, limit))
      throw ScriptError(ErrorKind::Other, "status: the request did not end");
  } catch (...) {
    Stop();
    throw;
  }
  ++made_;
  if (count_ && made_ >= *count_) Stop();
  if (w.failures != failuresBefore) drive_.ThrowAbandoned("status");
  out = drive_.LastReading();
  return true;
}

}  // namespace mv::python
