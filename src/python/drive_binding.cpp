// morvane.Drive: one drive on one serial port, through the drive client
// (session/drive_client.h), which serves the calls of every thread one at a
// time on a thread of its own and lets Stop jump the queue.
//
// The GIL is released for every call into the drive: a script's other
// threads run while a request waits for its answer. Between the slices of a
// wait the main thread takes the GIL back for a moment to run the script's
// signal handlers (Ctrl-C): a handler that raises gives the request up, the
// port stays open and the exception goes on; a handler may itself call the
// drive. The client exists while the port is open, so a closed drive has no
// thread of its own; its polls end with it.
//
// Logging: the client's thread never touches Python. The port's reports are
// queued there and logged (logger "morvane", WARNING) by the thread that
// called the drive, as soon as its call returns. At DEBUG, the events the
// link's recorder kept during a call (each frame in hex and words, each
// request's end) are logged after it; while DEBUG is off nothing more is
// asked of the client.
#include <Python.h>
#include <cxxabi.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "control/control_rules.h"
#include "control/status_csv.h"
#include "control/status_requests.h"
#include "python/binding.h"
#include "serial/port_info.h"
#include "serial/port_map.h"
#include "serial/port_types.h"
#include "session/drive_client.h"
#include "session/trace_file.h"

namespace mv::python {

namespace {

// The ports the port settings dialog lists.
constexpr int kListedPorts = 32;
constexpr int kLogDebug = 10;  // logging.DEBUG

// A Python error taken out of the interpreter while the GIL was released
// again; put back when the call has the GIL for good.
struct PendingPythonError {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
};

// The thread state of the call waiting on this thread with the GIL released
// (null when none): the signal check takes the GIL back with it.
thread_local PyThreadState* tReleased = nullptr;
unsigned long gMainThread = 0;  // the interpreter's main thread (signal handlers run only there)

// Between the slices of a wait: the script's signal handlers run (only the
// main thread runs them). Never through the GIL-state API: a daemon thread
// that takes a thread state while the interpreter ends would abort it.
void CheckSignals() {
  if (tReleased == nullptr || PyThread_get_thread_ident() != gMainThread) return;
  PyEval_RestoreThread(tReleased);
  PendingPythonError pending{nullptr, nullptr, nullptr};
  const bool failed = PyErr_CheckSignals() != 0;
  if (failed) PyErr_Fetch(&pending.type, &pending.value, &pending.traceback);
  tReleased = PyEval_SaveThread();
  if (failed) throw pending;
}

// The port's reports of one drive, from the client's thread to whichever
// thread logs them. Bounded: a port that reports without end loses the
// oldest lines, and says how many.
class LogQueue {
 public:
  void Push(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mu_);
    if (lines_.size() == kLimit) {
      lines_.pop_front();
      ++dropped_;
    }
    lines_.push_back(line);
  }
  // With the GIL: logs what has come.
  void Flush() {
    std::deque<std::string> lines;
    std::size_t dropped = 0;
    {
      const std::lock_guard<std::mutex> lock(mu_);
      lines.swap(lines_);
      std::swap(dropped, dropped_);
    }
    if (lines.empty()) return;
    // A handler's own failure stays in logging (Handler.handleError); what
    // goes on from here is the script's (a Ctrl-C that lands meanwhile).
    const py::object& logger = Side().logger;
    if (dropped != 0) logger.attr("warning")("%d earlier reports of the port were not logged", dropped);
    for (const std::string& line : lines) logger.attr("warning")("%s", Text(line));
  }

 private:
  static constexpr std::size_t kLimit = 256;
  std::mutex mu_;
  std::deque<std::string> lines_;
  std::size_t dropped_ = 0;
};

bool DebugLogged() { return Side().logger.attr("isEnabledFor")(kLogDebug).cast<bool>(); }

const char* OutcomeKey(RequestOutcome o) {
  switch (o) {
    case RequestOutcome::Timeout: return "timeout";
    case RequestOutcome::BadCode: return "bad_code";
    case RequestOutcome::RxError: return "rx_error";
    case RequestOutcome::RxBreak: return "rx_break";
    case RequestOutcome::FrameRefused: return "frame_refused";
    case RequestOutcome::Shifted: return "shifted";
    case RequestOutcome::LineNotQuiet: return "line_not_quiet";
    case RequestOutcome::Abandoned: return "abandoned";
    case RequestOutcome::Preempted: return "preempted";
    case RequestOutcome::DeviceGone: return "device_gone";
    case RequestOutcome::Completed: return "completed";
    case RequestOutcome::RefusedPortClosed:
    case RequestOutcome::RefusedBusy:
    case RequestOutcome::RefusedInvalid:
    case RequestOutcome::Pending:
    case RequestOutcome::None: break;
  }
  return "none";
}

const char* TraceKindName(TraceKind kind) {
  switch (kind) {
    case TraceKind::Frame: return "frame";
    case TraceKind::Received: return "received";
    case TraceKind::RequestBegun: return "request begun";
    case TraceKind::Verify: return "verify";
    case TraceKind::RequestEnded: return "request ended";
    case TraceKind::PortOpened: return "port opened";
    case TraceKind::PortClosed: return "port closed";
    case TraceKind::LineSpeed: return "line speed";
    case TraceKind::Break: return "break";
    case TraceKind::LineError: return "line error";
    case TraceKind::Report: return "report";
  }
  return "event";
}

// One event of the link's flight recorder, as a script reads it.
struct PyTraceEvent {
  TraceEvent event;
  std::int64_t wallOffsetUs = 0;
};

// One event of the link's recorder as a log line: "frame 35 02: #3 get-all
// step 3 of 6: 0x35 get profile, slot 3".
std::string TraceLine(const TraceEvent& e) {
  const std::string kind = TraceKindName(e.kind);
  const std::string said = DescribeEvent(e);
  if (e.IsBytes()) return kind + " " + HexBytes(e) + ": " + said;
  return said.rfind(kind, 0) == 0 ? said : kind + ": " + said;  // "port closed", not "port closed: port closed"
}

const char* SlotOutcomeKey(SlotOutcome o) {
  switch (o) {
    case SlotOutcome::NotAsked: return "not_asked";
    case SlotOutcome::NoAnswer: return "no_answer";
    case SlotOutcome::Received: return "received";
    case SlotOutcome::BadChecksum: return "bad_checksum";
    case SlotOutcome::OtherSlot: return "other_slot";
    case SlotOutcome::Saved: return "saved";
    case SlotOutcome::NotChanged: return "not_changed";
  }
  return "not_asked";
}

[[noreturn]] void RaiseRefused(const char* request) {
  py::dict details;
  details["request"] = request;
  Raise(Side().requestRefused, std::string(request) + ": request refused: " + kPortNotOpenedText, details);
}

[[noreturn]] void RaiseFailure(const char* request, const RequestEnd& end, const std::string& device,
                               const py::object& results = py::none()) {
  RequestEnd e = end;
  if (e.outcome == RequestOutcome::Completed) e.outcome = RequestOutcome::Shifted;  // answers not its own
  py::dict details;
  details["request"] = request;
  details["results"] = results;
  const std::string text = FailureLine(request, e);
  if (e.outcome == RequestOutcome::DeviceGone) {
    // The port's own report: the device went away.
    details["errno"] = ENODEV;
    details["strerror"] = std::strerror(ENODEV);
    details["filename"] = PathText(device);
    details["device"] = PathText(device);
    Raise(Side().portError, text, details);
  }
  if (IsRefusal(e.outcome) || e.step == 0) Raise(Side().requestRefused, text, details);
  details["outcome"] = OutcomeKey(e.outcome);
  details["step"] = e.step;
  Raise(Side().requestAbandoned, text, details);
}

void Require(const ControlResult& r, const std::string& device) {
  if (!r.Ok()) RaiseFailure(RequestName(r.kind), r.end, device);
}

// Why slot i did not come or was not saved, on one line ("" when it was).
std::string SlotProblem(const MainResult& r, int i) {
  char box[96];
  if (SlotMessage(r, i, box, sizeof box)) return OneLine(box);
  switch (r.slotOutcome[static_cast<std::size_t>(i)]) {
    case SlotOutcome::OtherSlot:
      return std::string(RequestName(r.kind)) + ": the drive answered slot " + std::to_string(i + 1) +
             " with another slot's profile";
    case SlotOutcome::NoAnswer:
      return std::string(RequestName(r.kind)) + ": no answer for slot " + std::to_string(i + 1);
    default: return {};
  }
}

// A SlotResult for each slot of a batch request; `sent` are the profiles a
// save sent (null for a get).
py::list SlotResults(const MainResult& r, const std::array<MotorProfile, kSlotCount>* sent) {
  py::list out;
  for (int i = 0; i < kSlotCount; ++i) {
    const auto s = static_cast<std::size_t>(i);
    const SlotOutcome o = r.slotOutcome[s];
    py::object profile = py::none();
    if (o == SlotOutcome::Received) profile = py::cast(r.profiles[s]);
    if (o == SlotOutcome::Saved && sent != nullptr) profile = py::cast((*sent)[s]);
    out.append(Side().slotResult(i + 1, SlotOutcomeKey(o), profile, Text(SlotProblem(r, i))));
  }
  return out;
}

// Raises unless the request completed with answers of its own and every slot
// asked for came intact or was saved; a batch request's error carries the
// result of each slot.
void Require(const MainResult& r, const std::string& device, bool batch,
             const std::array<MotorProfile, kSlotCount>* sent = nullptr) {
  const char* request = RequestName(r.kind);
  if (!r.Completed() || !r.end.trusted)
    RaiseFailure(request, r.end, device, batch ? py::object(SlotResults(r, sent)) : py::object(py::none()));
  // The first slot that failed gives the class; the text names every one.
  int first = -1;
  std::string all;
  for (int i = 0; i < kSlotCount; ++i) {
    const SlotOutcome o = r.slotOutcome[static_cast<std::size_t>(i)];
    if (o == SlotOutcome::NotAsked || o == SlotOutcome::Received || o == SlotOutcome::Saved) continue;
    if (first < 0) first = i;
    all += (all.empty() ? "" : "; ") + SlotProblem(r, i);
  }
  if (first < 0) return;
  const SlotOutcome o = r.slotOutcome[static_cast<std::size_t>(first)];
  py::dict details;
  details["request"] = request;
  details["slot"] = first + 1;
  details["results"] = batch ? py::object(SlotResults(r, sent)) : py::object(py::none());
  char box[96];
  const std::string window = SlotMessage(r, first, box, sizeof box) ? std::string(box) : std::string();
  details["window_text"] = window;
  details["text"] = window;
  Raise(o == SlotOutcome::BadChecksum  ? Side().invalidChecksum
        : o == SlotOutcome::NotChanged ? Side().profileNotChanged
                                       : Side().morvaneError,
        all, details);
}

// A profile the drive's own check would refuse: nothing is sent.
[[noreturn]] void RaiseBadChecksum(const char* request, int slotIndex) {
  char text[96];
  std::snprintf(text, sizeof text, kInvalidChecksumFormat, static_cast<unsigned>(slotIndex + 1));
  py::dict details;
  details["request"] = request;
  details["slot"] = slotIndex + 1;
  details["window_text"] = text;
  details["text"] = text;
  Raise(Side().invalidChecksum, OneLine(text), details);
}

// Nothing the drive would refuse, nor what the profile file reader refuses,
// leaves (unless forced).
void RequireSendable(const char* request, int slotIndex, const MotorProfile& p, bool force) {
  if (!ProfileChecksumValid(p)) RaiseBadChecksum(request, slotIndex);
  if (!force) RequireProfileValid(p, std::string(request) + ", slot " + std::to_string(slotIndex + 1) + ": ");
}

py::object ValueOf(const StatusValues& v, StatusField f) {
  if (!v.Has(f)) return py::none();
  switch (f) {
    case StatusField::PhaseCurrent: return py::float_(v.PhaseCurrentA());
    case StatusField::MotorSpeed: return py::int_(v.SpeedRpm());
    case StatusField::PhasePower: return py::int_(v.PhasePowerW());
    case StatusField::Status: return py::int_(v.StatusWord());
    case StatusField::ControllerTemp: return py::int_(v.ControllerTempC());
    case StatusField::InternalStatus: return py::int_(v.InternalStatusWord());
    case StatusField::MotorTemp: return py::int_(v.MotorTempR());
    case StatusField::MotorTorque: return py::int_(v.Torque());
    case StatusField::BusVoltage: return py::float_(v.BusVoltageV());
  }
  return py::none();
}

// The status fields by their names in morvane.Status.
constexpr std::pair<StatusField, const char*> kStatusNames[] = {
    {StatusField::PhaseCurrent, "phase_current_a"},     {StatusField::MotorSpeed, "speed_rpm"},
    {StatusField::PhasePower, "phase_power_w"},         {StatusField::Status, "status_word"},
    {StatusField::ControllerTemp, "controller_temp_c"}, {StatusField::InternalStatus, "internal_status_word"},
    {StatusField::MotorTemp, "motor_temp_ohm"},         {StatusField::MotorTorque, "torque_nm"},
    {StatusField::BusVoltage, "bus_voltage_v"},
};

py::object StatusOf(const ControlResult& r) {
  py::dict values;
  values["time"] = static_cast<double>(WallClockMs()) / 1000.0;
  for (const auto& [field, name] : kStatusNames) values[name] = ValueOf(r.status.values, field);
  py::dict texts;
  for (const StatusFieldInfo& f : kStatusFields) texts[f.label] = Text(r.status.Text(f.field));
  values["texts"] = texts;
  return Side().status(**values);
}

py::object CountersOf(const LinkCounters& c) { return Side().counters(c.tx, c.rx, c.to, c.errs, c.busy); }

struct PyPoll;

// One drive; the signals a script may handle itself are blocked in the
// client's thread (see DriveClient); made per open, so a closed drive has no
// thread at all.
class PyDrive {
 public:
  PortChoice choice;
  bool stopOnExit = false;
  std::string tracePath;               // where the link trace goes when the port closes ("" = nowhere)
  py::object traceGiven = py::none();  // that path as given
  std::shared_ptr<LogQueue> log = std::make_shared<LogQueue>();
  std::vector<PyPoll*> polls;  // alive, under the GIL

  ~PyDrive() {
    std::shared_ptr<DriveClient> c;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      c.swap(client_);
    }
    // Released without the GIL: ending the client waits for its thread.
    if (c) {
      PyThreadState* state = PyEval_SaveThread();
      c->Close();  // the trace ends with the port's close
      DriveClient::TraceCopy last = c->Trace();
      c.reset();
      PyEval_RestoreThread(state);
      KeepTrace(std::move(last));
      // Nobody is left to raise to: a trace that cannot be written is said.
      if (std::string message; !SaveTrace(message))
        PySys_WriteStderr("morvane: %s\n", OneLine(message, tracePath).substr(0, 900).c_str());
    }
  }

  std::shared_ptr<DriveClient> Client() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return client_;
  }

  void Open() {
    if (Client()) return;
    std::shared_ptr<DriveClient> made;
    OpenResult opened;
    const std::shared_ptr<LogQueue> queue = log;
    try {
      With(
          [&](std::shared_ptr<DriveClient>&) {
            made = std::make_shared<DriveClient>(choice);
            made->SetInterruptCheck(&CheckSignals);
            made->SetErrorLineHandler([queue](const PortReport&, const std::string& line) { queue->Push(line); });
            opened = made->Open();
            if (!opened.ok) made.reset();  // its thread ends here, without the GIL
          },
          nullptr);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      log->Flush();
      throw;
    }
    log->Flush();
    if (!opened.ok) {
      const std::string name = choice.device.empty()
                                   ? "COM" + std::to_string(choice.port) +
                                         (opened.device.empty() ? std::string() : " (" + opened.device + ")")
                                   : opened.device;
      py::dict details;
      details["errno"] = opened.err;
      details["strerror"] = opened.err != 0 ? py::object(py::str(std::strerror(opened.err))) : py::object(py::none());
      details["filename"] = PathText(opened.device);
      details["device"] = PathText(opened.device);
      details["window_text"] = Text(opened.why);
      Raise(Side().portError, OneLine("cannot open " + name + ": " + OneLine(opened.why, opened.device), opened.device),
            details);
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!client_) {
      client_ = std::move(made);
      device_ = opened.device;
      traceNext_ = 0;  // the new client's recorder counts from 0: its open is logged with the first call
    }
  }

  void Close();

  // Since the drive was made or the counters reset, over every open.
  LinkCounters Counters() {
    LinkCounters sum = base_;
    if (std::shared_ptr<DriveClient> c = Client())
      Add(sum, With([](std::shared_ptr<DriveClient>& held) { return held->Counters(); }, std::move(c)));
    return sum;
  }

  void ResetCounters() {
    base_ = LinkCounters{};
    if (std::shared_ptr<DriveClient> c = Client())
      With([](std::shared_ptr<DriveClient>& held) { held->ResetCounters(); }, std::move(c));
  }

  // The device the port stands for: as opened, or as it would be opened now.
  std::string Device() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (client_) return device_;
    }
    return !choice.device.empty() ? choice.device : PortDevicePath(choice.port);
  }

  // Runs f on the open drive's client without the GIL, then logs what the
  // port reported meanwhile; a closed drive refuses as the engine does.
  template <class F>
  auto OnClient(const char* request, F&& f) {
    std::shared_ptr<DriveClient> c = Client();
    if (!c) RaiseRefused(request);
    const bool debug = DebugLogged();
    try {
      auto result = With([&f](std::shared_ptr<DriveClient>& held) { return f(*held); }, c);
      Logged(c, debug);
      return result;
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended: nothing may touch Python
    } catch (...) {
      Logged(c, debug);
      throw;
    }
  }

  // After a call: what the port reported (WARNING) and, when `debug`, what
  // the link's recorder kept since the last call (DEBUG).
  void Logged(const std::shared_ptr<DriveClient>& c, bool debug) {
    log->Flush();
    if (!debug || !c || c != Client()) return;  // a poll of an earlier open: its events were logged then
    const DriveClient::TraceCopy t = With(
        [this](std::shared_ptr<DriveClient>& held) {
          const std::lock_guard<std::mutex> lock(traceMutex_);  // calls of several threads take turns
          return held->TraceSince(traceNext_);
        },
        c);
    const py::object& logger = Side().logger;
    for (const TraceEvent& e : t.events) logger.attr("debug")("%s", Text(TraceLine(e)));
  }

  // What the link's recorder kept, over every open, oldest first: at most
  // the recorder's own number of events.
  std::vector<DriveClient::TraceCopy> Trace() {
    std::vector<DriveClient::TraceCopy> all = closedTrace_;
    if (std::shared_ptr<DriveClient> c = Client())
      all.push_back(With([](std::shared_ptr<DriveClient>& held) { return held->Trace(); }, std::move(c)));
    return all;
  }

  // Writes every open's trace to tracePath; false with why.
  bool SaveTrace(std::string& message) {
    if (tracePath.empty()) return true;
    std::string text = TraceFileHeaderText();
    for (const DriveClient::TraceCopy& t : closedTrace_)
      for (const TraceEvent& e : t.events) AppendTraceEvent(text, e, t.wallOffsetUs);
    return WriteTraceFile(tracePath, text, message);
  }

  // Runs f(held) without the GIL; `held` is released before the GIL is taken
  // back. The wait's signal check (CheckSignals) takes it back for a moment.
  //
  // Not py::gil_scoped_release: its destructor takes the GIL back, and a
  // daemon thread that does so while the interpreter exits is ended right
  // there (pthread_exit), by an unwind that no destructor may pass: the
  // process would abort. Taken back here, the unwind goes up like any other.
  template <class F>
  static auto With(F&& f, std::shared_ptr<DriveClient> held) -> decltype(f(held)) {
    using Result = decltype(f(held));
    PyThreadState* const outer = tReleased;
    PyThreadState* state = PyEval_SaveThread();
    tReleased = state;
    auto back = [&] {
      held.reset();
      state = tReleased;  // a signal check may have released it anew
      tReleased = outer;
      PyEval_RestoreThread(state);
    };
    try {
      if constexpr (std::is_void_v<Result>) {
        f(held);
        back();
      } else {
        Result result = f(held);
        back();
        return result;
      }
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended: nothing may touch Python
    } catch (PendingPythonError& pending) {
      back();
      PyErr_Restore(pending.type, pending.value, pending.traceback);
      throw py::error_already_set();
    } catch (...) {
      back();
      throw;
    }
  }

 private:
  static void Add(LinkCounters& to, const LinkCounters& c) {
    to.tx += c.tx;
    to.rx += c.rx;
    to.to += c.to;
    to.errs += c.errs;
    to.busy += c.busy;
  }

  // The recorder goes with the client: what it kept stays here.
  void KeepTrace(DriveClient::TraceCopy copy) {
    closedTrace_.push_back(std::move(copy));
    std::size_t kept = 0;
    for (const DriveClient::TraceCopy& t : closedTrace_) kept += t.events.size();
    while (kept > kTraceCapacity) {
      std::vector<TraceEvent>& oldest = closedTrace_.front().events;
      const std::size_t drop = std::min(oldest.size(), kept - kTraceCapacity);
      oldest.erase(oldest.begin(), oldest.begin() + static_cast<std::ptrdiff_t>(drop));
      kept -= drop;
      if (oldest.empty()) closedTrace_.erase(closedTrace_.begin());
    }
  }

  std::mutex mutex_;
  std::shared_ptr<DriveClient> client_;              // while open
  std::string device_;                               // the device opened
  LinkCounters base_{};                              // of the earlier opens
  std::vector<DriveClient::TraceCopy> closedTrace_;  // of the earlier opens
  std::mutex traceMutex_;
  std::uint64_t traceNext_ = 0;  // the recorder's next event not yet logged
};

// A poll holds the client it polls; when its drive is closed it lets go of
// it (at once, or when a call that waits in it has returned), so the
// client's thread ends with the drive and the poll refuses from then on.
struct PyPoll {
  py::object owner;  // the Drive, alive as long as its poll
  PyDrive* drive = nullptr;
  std::shared_ptr<DriveClient> client;
  std::unique_ptr<DriveClient::Poll> poll;
  std::shared_ptr<LogQueue> log;
  std::string device;
  std::int32_t periodMs = 0;
  int inCall = 0;         // calls waiting in poll->Next()
  bool ended = false;     // close() or count reached: StopIteration
  bool detached = false;  // its drive was closed while a call waited

  // Ends the poll and lets go of the client, without the GIL.
  void Release() {
    if (!poll && !client) return;
    std::unique_ptr<DriveClient::Poll> p = std::move(poll);
    std::shared_ptr<DriveClient> c = std::move(client);
    PyDrive::With(
        [&p, &c](std::shared_ptr<DriveClient>&) {
          p.reset();  // before its client
          c.reset();
        },
        nullptr);
  }

  ~PyPoll() {
    if (drive != nullptr)
      drive->polls.erase(std::remove(drive->polls.begin(), drive->polls.end(), this), drive->polls.end());
    Release();
  }
};

void PyDrive::Close() {
  std::shared_ptr<DriveClient> c;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    c.swap(client_);
  }
  if (!c) return;
  // Its polls let go of the client: one that waits in another thread is
  // refused by the closed port and lets go when its call returns.
  std::vector<std::unique_ptr<DriveClient::Poll>> ended;
  std::vector<std::shared_ptr<DriveClient>> holders;
  for (PyPoll* p : polls) {
    if (p->client != c) continue;
    if (p->inCall > 0) {
      p->detached = true;
      continue;
    }
    ended.push_back(std::move(p->poll));
    holders.push_back(std::move(p->client));
  }
  // The counters go on from here when the port is opened again.
  const bool debug = DebugLogged();
  DriveClient::TraceCopy kept, tail;
  const LinkCounters last = With(
      [&](std::shared_ptr<DriveClient>& held) {
        held->Close();  // the trace ends with the port's close
        const LinkCounters counters = held->Counters();
        ended.clear();  // before the client they belong to
        holders.clear();
        kept = held->Trace();  // the recorder goes with the client
        if (debug) {
          const std::lock_guard<std::mutex> lock(traceMutex_);
          tail = held->TraceSince(traceNext_);
        }
        return counters;
      },
      std::move(c));
  log->Flush();
  const py::object& logger = Side().logger;
  for (const TraceEvent& e : tail.events) logger.attr("debug")("%s", Text(TraceLine(e)));
  KeepTrace(std::move(kept));
  Add(base_, last);
  if (std::string message; !SaveTrace(message))
    RaiseFileError(true, traceGiven, message, 0, "", ErrnoOfMessage(message));
}

int BaudIndexOf(const py::handle& baud) {
  const std::int64_t b = WholeNumber(baud, "baud", 0, 1000000000);
  for (int i = 0; i < PLKDVX::kBaudRateCount; ++i)
    if (PLKDVX::kBaudRateValues[i] == b) return i;
  throw py::value_error("baud is one of 110 300 600 1200 2400 4800 9600 19200 38400 57600 115200, not " +
                        std::to_string(b));
}

// Drive(3), Drive("/dev/ttyUSB0"), Drive(port=3), Drive(device=path).
PortChoice ChoiceOf(const py::object& port, const py::object& device) {
  PortChoice choice;
  py::object path = device;
  if (!port.is_none()) {
    if (PyBool_Check(port.ptr())) throw py::type_error("port is a port number (1 to 32) or a device path, not bool");
    if (PyIndex_Check(port.ptr())) {
      choice.port = static_cast<int>(WholeNumber(port, "port", 1, 32));
    } else {
      if (!device.is_none()) throw py::value_error("Drive takes one device path, not port=PATH and device=PATH");
      path = port;
    }
  }
  if (!path.is_none()) {
    if (choice.port != 0) throw py::value_error("Drive needs one of a port number or a device path, not both");
    choice.device = PathOf(path);
  }
  if (choice.port == 0 && choice.device.empty())
    throw py::value_error("Drive needs a port number (Drive(3) for COM3) or a device path (Drive('/dev/ttyUSB0'))");
  return choice;
}

}  // namespace

void BindDrive(py::module_& m) {
  gMainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

  m.def(
      "_ports",
      [](const py::object& sysRoot) {
        const std::string root = PathOf(sysRoot);
        py::list out;
        for (int n = 1; n <= kListedPorts; ++n) {
          const std::string path = PortDevicePath(n);
          const bool present = PLKDVX::IsPortPres(n);
          py::dict d;
          d["port"] = n;
          d["name"] = "COM" + std::to_string(n);
          d["device"] = path.empty() ? py::object(py::str("")) : PathText(path);
          d["present"] = present;
          // Only a present device has an adapter to describe, as in the dialog.
          const UsbAdapterInfo usb =
              present && !path.empty() ? ReadUsbAdapterInfo(TtyNameOfPath(path), root) : UsbAdapterInfo{};
          if (usb.usb) {
            const auto hex = [](const std::string& id) -> py::object {
              if (id.empty() || id.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return py::none();
              return py::int_(std::stoi(id, nullptr, 16));
            };
            d["vid"] = hex(usb.vendorId);
            d["pid"] = hex(usb.productId);
            d["serial_number"] = Text(usb.serial);
            d["manufacturer"] = Text(usb.manufacturer);
            d["product"] = Text(usb.product);
            d["description"] = Text(DescribeUsbAdapter(usb));
          }
          out.append(d);
        }
        return out;
      },
      py::arg("sys_root"), "The listed ports as dicts, the USB attributes read under sys_root (morvane.list_ports).");

  py::class_<PyPoll>(m, "StatusPoll",
                     "An iterator of Status, one poll per period (see Drive.poll). close() (or the end of a with "
                     "block) ends it; closing its drive ends it too, and it then refuses at once.")
      .def("__iter__", [](PyPoll& p) -> PyPoll& { return p; })
      .def("__next__",
           [](PyPoll& p) {
             if (p.ended) throw py::stop_iteration();
             if (!p.poll) RaiseRefused("status");  // its drive was closed
             struct InCall {
               PyPoll& p;
               explicit InCall(PyPoll& q) : p(q) { ++p.inCall; }
               ~InCall() { --p.inCall; }
             };
             std::optional<ControlResult> r;
             const bool debug = DebugLogged();
             try {
               const InCall call(p);
               DriveClient::Poll* poll = p.poll.get();
               r = PyDrive::With([poll](std::shared_ptr<DriveClient>&) { return poll->Next(); }, nullptr);
             } catch (abi::__forced_unwind&) {
               throw;
             } catch (...) {
               p.drive->Logged(p.client, debug);
               if (p.detached) p.Release();
               throw;
             }
             p.drive->Logged(p.client, debug);
             if (p.detached) p.Release();
             if (!r) {
               p.ended = true;
               p.Release();
               throw py::stop_iteration();
             }
             Require(*r, p.device);
             return StatusOf(*r);
           })
      .def_property_readonly(
          "period_ms", [](const PyPoll& p) { return p.periodMs; }, "The period in use, in ms.")
      .def(
          "close",
          [](PyPoll& p) {
            p.ended = true;
            if (p.poll) {
              DriveClient::Poll* poll = p.poll.get();
              PyDrive::With([poll](std::shared_ptr<DriveClient>&) { poll->Stop(); }, nullptr);
            }
            if (p.inCall == 0) p.Release();
          },
          "No more polls.")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](PyPoll& p, const py::object&, const py::object&, const py::object&) {
            p.ended = true;
            if (p.poll) {
              DriveClient::Poll* poll = p.poll.get();
              PyDrive::With([poll](std::shared_ptr<DriveClient>&) { poll->Stop(); }, nullptr);
            }
            if (p.inCall == 0) p.Release();
            return false;
          },
          "Closes the poll.");

  py::class_<PyTraceEvent>(m, "TraceEvent", "One event of the link's flight recorder (Drive.trace).")
      .def_property_readonly(
          "time", [](const PyTraceEvent& t) { return static_cast<double>(t.event.timeUs + t.wallOffsetUs) / 1e6; },
          "When it happened, in seconds since 1970 (received bytes: when the first came).")
      .def_property_readonly(
          "kind", [](const PyTraceEvent& t) { return TraceKindName(t.event.kind); },
          "'frame' (to the drive), 'received' (from it), 'request begun', 'verify', 'request ended', "
          "'port opened', 'port closed', 'line speed', 'break', 'line error' or 'report'.")
      .def_property_readonly(
          "data",
          [](const PyTraceEvent& t) {
            const TraceEvent& e = t.event;
            return py::bytes(e.IsBytes() ? reinterpret_cast<const char*>(e.data.data()) : "",
                             e.IsBytes() ? e.length : 0);
          },
          "The bytes of a frame or of what was received; b'' for the other events.")
      .def_property_readonly(
          "request",
          [](const PyTraceEvent& t) -> py::object {
            if (t.event.request == 0) return py::none();
            return py::str(TraceRequestName(t.event.requestKind));
          },
          "The request it belongs to ('get-all', 'status', ...), None for the port's events.")
      .def_property_readonly(
          "step",
          [](const PyTraceEvent& t) -> py::object {
            if (t.event.step == 0) return py::none();
            return py::int_(t.event.step);
          },
          "The request's step (from 1) of a frame or answer; None when there is none.")
      .def_property_readonly(
          "failure", [](const PyTraceEvent& t) { return t.event.Failure(); },
          "Whether it went wrong: a refused frame, bytes the host could not use, a request that failed, a break, "
          "a line error, an error report.")
      .def_property_readonly(
          "text", [](const PyTraceEvent& t) { return Text(DescribeEvent(t.event)); },
          "What the host made of it, in words.")
      .def("__repr__", [](const PyTraceEvent& t) { return "<morvane.TraceEvent " + TraceLine(t.event) + ">"; });

  py::class_<PyDrive>(
      m, "Drive",
      "One drive on one serial port: the port, the request engine and the request tables of the desktop "
      "application. Drive(3) opens COM3 (as the port map says), Drive('/dev/ttyUSB0') a device path (str, bytes "
      "or a path object; port=N and device=PATH say the same); the port opens at once (PortError, an OSError, "
      "when it cannot). As a context manager it closes the port at the end of the block; with stop_on_exit=True "
      "it first sends Stop when the block is left by an exception.\n\n"
      "Requests from several threads are served one at a time in the order they come; stop() jumps the queue: it "
      "is sent as soon as the step in flight has ended, and the request it interrupts raises "
      "RequestAbandonedError (outcome 'preempted'). Every request waits without holding the GIL. A Ctrl-C (or "
      "any exception a signal handler raises) during a wait gives the request up once its step in flight has "
      "ended and leaves the port open, so 'finally: drive.stop()' stops the motor. A signal handler may call the "
      "drive while another call of it waits. A failed request raises RequestAbandonedError (timeout, unknown "
      "response code, receive error, break, answers that were another request's, with the step) or "
      "RequestRefusedError; a device that went away PortError. The port's reports are logged to the logger "
      "'morvane' at WARNING, each frame and event of the link at DEBUG (see also trace).")
      .def(py::init([](const py::object& port, const py::object& device, const py::object& baud, bool stopOnExit,
                       const py::object& trace) {
             auto d = std::make_unique<PyDrive>();
             d->choice = ChoiceOf(port, device);
             d->choice.baud = BaudIndexOf(baud);
             d->stopOnExit = stopOnExit;
             if (!trace.is_none()) {
               // Its folder is checked before the port is opened.
               d->tracePath = PathOf(trace);
               d->traceGiven = GivenPath(trace);
               const std::size_t slash = d->tracePath.find_last_of('/');
               const std::string folder = slash == std::string::npos ? "." : d->tracePath.substr(0, slash + 1);
               if (!py::module_::import("os.path").attr("isdir")(py::bytes(folder)).cast<bool>()) {
                 const std::string text = "trace: " + OneLine(folder, folder) + " is not a folder";
                 PyErr_SetObject(PyExc_FileNotFoundError, Text(text).ptr());
                 throw py::error_already_set();
               }
             }
             d->Open();
             return d;
           }),
           py::arg("port") = py::none(), py::kw_only(), py::arg("device") = py::none(), py::arg("baud") = 115200,
           py::arg("stop_on_exit") = false, py::arg("trace") = py::none())
      .def(
          "open", [](PyDrive& d) { d.Open(); },
          "Opens the port again (nothing happens when it is open). PortError when it cannot be opened.")
      .def(
          "close", [](PyDrive& d) { d.Close(); },
          "Closes the port; its threads have ended when this returns, and its polls refuse from then on.")
      .def_property_readonly(
          "is_open", [](PyDrive& d) { return d.Client() != nullptr; }, "Whether the port is open.")
      .def_property_readonly(
          "device", [](PyDrive& d) { return PathText(d.Device()); }, "The device the port stands for.")
      .def("__enter__",
           [](py::object self) {
             self.cast<PyDrive&>().Open();
             return self;
           })
      .def("__exit__",
           [](PyDrive& d, const py::object& type, const py::object&, const py::object&) {
             if (d.stopOnExit && !type.is_none() && d.Client()) {
               // Left by an exception: the motor is stopped before the port goes.
               try {
                 d.OnClient("stop", [](DriveClient& c) { return c.Stop(); });
               } catch (abi::__forced_unwind&) {
                 throw;
               } catch (...) {
                 // The block's own exception is the one the script sees.
               }
             }
             d.Close();
             return false;
           })
      .def(
          "info",
          [](PyDrive& d) {
            const MainResult r = d.OnClient("info", [](DriveClient& c) { return c.Info(); });
            Require(r, d.Device(), false);
            const DriveIdentity& id = r.identity;
            return Side().driveInfo(Text(id.Text(DriveIdentity::kName)), Text(id.Text(DriveIdentity::kVersion)),
                                    Text(id.Text(DriveIdentity::kSerialNo)), Text(id.Text(DriveIdentity::kHardwareId)));
          },
          "The drive's name, version, serial number and hardware id (four requests) as a DriveInfo.")
      .def(
          "get_profile",
          [](PyDrive& d, const py::object& slot) {
            const int i = SlotIndexOf(slot);
            const MainResult r = d.OnClient("get-profile", [i](DriveClient& c) { return c.GetProfile(i); });
            Require(r, d.Device(), false);
            return r.profiles[static_cast<std::size_t>(i)];
          },
          py::arg("slot"), "The profile in slot 1..6 of the drive. InvalidChecksumError when its checksum is wrong.")
      .def(
          "save_profile",
          [](PyDrive& d, const py::object& slot, const MotorProfile& p, bool force) {
            const int i = SlotIndexOf(slot);
            RequireSendable("save-profile", i, p, force);
            Require(d.OnClient("save-profile", [i, &p](DriveClient& c) { return c.SaveProfile(i, p); }), d.Device(),
                    false);
          },
          py::arg("slot"), py::arg("profile"), py::kw_only(), py::arg("force") = false,
          "Saves the profile into slot 1..6 of the drive. Nothing is sent for a profile whose checksum is wrong "
          "(InvalidChecksumError) nor, unless force=True, for one the profile file reader would refuse "
          "(InvalidProfileError: Profile.check()). ProfileNotChangedError when the drive refuses it.")
      .def(
          "get_all",
          [](PyDrive& d) {
            const MainResult r = d.OnClient("get-all", [](DriveClient& c) { return c.GetAll(); });
            Require(r, d.Device(), true);
            return std::vector<MotorProfile>(r.profiles.begin(), r.profiles.end());
          },
          "The six profiles of the drive (one request of six steps), slot 1 first. When a slot fails (a wrong "
          "checksum, no answer), the error raised (InvalidChecksumError, RequestAbandonedError, ...) carries in "
          "'results' a SlotResult for each slot, with the profiles that did arrive.")
      .def(
          "save_all",
          [](PyDrive& d, const py::object& profiles, bool force) {
            if (!PySequence_Check(profiles.ptr()) || PyUnicode_Check(profiles.ptr()))
              throw py::type_error("save_all takes a sequence of 6 profiles");
            const py::sequence seq = py::reinterpret_borrow<py::sequence>(profiles);
            if (py::len(seq) != kSlotCount)
              throw py::value_error("save_all takes 6 profiles, not " + std::to_string(py::len(seq)));
            std::array<MotorProfile, kSlotCount> six;
            for (std::size_t i = 0; i < kSlotCount; ++i) {
              const py::object item = seq[i];
              if (!py::isinstance<MotorProfile>(item))
                throw py::type_error("save_all takes Profile objects, not " +
                                     std::string(Py_TYPE(item.ptr())->tp_name));
              six[i] = item.cast<MotorProfile>();
            }
            for (int i = 0; i < kSlotCount; ++i)
              RequireSendable("save-all", i, six[static_cast<std::size_t>(i)], force);
            const MainResult r = d.OnClient("save-all", [&six](DriveClient& c) { return c.SaveAll(six); });
            Require(r, d.Device(), true, &six);
            return SlotResults(r, &six);
          },
          py::arg("profiles"), py::kw_only(), py::arg("force") = false,
          "Saves six profiles into slots 1..6 (one request of six steps) and returns a SlotResult for each. "
          "ProfileNotChangedError when the drive refused any, naming every slot refused and carrying in 'results' "
          "what became of each. Nothing is sent when a profile's checksum is wrong (InvalidChecksumError) or, "
          "unless force=True, when the profile file reader would refuse one (InvalidProfileError).")
      .def(
          "activate",
          [](PyDrive& d, const py::object& slot) {
            const int i = slot.is_none() ? kNoProfileIndex : SlotIndexOf(slot);
            Require(d.OnClient("activate", [i](DriveClient& c) { return c.Activate(i); }), d.Device(), false);
          },
          py::arg("slot"), "Makes slot 1..6 the drive's active profile, or none with None.")
      .def(
          "start",
          [](PyDrive& d) { Require(d.OnClient("start", [](DriveClient& c) { return c.Start(); }), d.Device()); },
          "Starts the motor.")
      .def(
          "stop", [](PyDrive& d) { Require(d.OnClient("stop", [](DriveClient& c) { return c.Stop(); }), d.Device()); },
          "Stops the motor. Jumps the queue: sent as soon as the step in flight has ended.")
      .def(
          "reset",
          [](PyDrive& d) { Require(d.OnClient("reset", [](DriveClient& c) { return c.Reset(); }), d.Device()); },
          "Resets the drive's trips.")
      .def(
          "set_speed",
          [](PyDrive& d, const py::object& rpm, bool clamp) {
            const std::int32_t sent =
                clamp ? ClampSpeed(WholeNumber(rpm, "rpm", INT64_MIN, INT64_MAX))
                      : static_cast<std::int32_t>(WholeNumber(rpm, "rpm", kSpeedMinRpm, kSpeedMaxRpm, "RPM"));
            Require(
                d.OnClient("speed", [sent](DriveClient& c) { return c.SetSpeed(static_cast<std::uint32_t>(sent)); }),
                d.Device());
            return sent;
          },
          py::arg("rpm"), py::kw_only(), py::arg("clamp") = false,
          "Sets the motor speed in RPM, 3000..100000 (ValueError outside); with clamp=True a speed outside is "
          "pulled to the nearest limit as the speed edit does. Returns the speed sent.")
      .def(
          "status",
          [](PyDrive& d) {
            const ControlResult r = d.OnClient("status", [](DriveClient& c) { return c.Status(); });
            Require(r, d.Device());
            return StatusOf(r);
          },
          "One status poll (the control window's 'Get'), as a Status.")
      .def(
          "poll",
          [](py::object self, const py::object& periodMs, const py::object& count, bool clamp) {
            const std::int64_t period = clamp ? WholeNumber(periodMs, "period_ms", INT64_MIN, INT64_MAX)
                                              : WholeNumber(periodMs, "period_ms", kPeriodMinMs, kPeriodMaxMs, "ms");
            std::optional<std::int64_t> polls;
            if (!count.is_none()) polls = WholeNumber(count, "count", 1, INT64_MAX);
            PyDrive& d = self.cast<PyDrive&>();
            auto p = std::make_unique<PyPoll>();
            p->client = d.Client();
            if (!p->client) RaiseRefused("status");
            p->owner = self;
            p->log = d.log;
            p->device = d.Device();
            p->periodMs = ClampPeriod(period);
            const std::int32_t clamped = p->periodMs;
            p->poll = PyDrive::With(
                [&](std::shared_ptr<DriveClient>& held) { return held->StartPolling(clamped, polls); }, p->client);
            p->drive = &d;
            d.polls.push_back(p.get());
            return p;
          },
          py::arg("period_ms"), py::arg("count") = py::none(), py::kw_only(), py::arg("clamp") = false,
          "Status polls at the control window's pace, as an iterator of Status (and a context manager that closes "
          "it): the period is 200..1500 ms (ValueError outside; with clamp=True pulled to the nearest limit as the "
          "window does), the first poll is made at once, "
          "then one each period; a period that passes while the script is busy elsewhere (or while another request "
          "runs) is made up by one poll as soon as possible, never by several. count polls in all, or no end "
          "without it. A poll that fails raises RequestAbandonedError; the iterator can go on afterwards. Once the "
          "drive is closed the iterator raises RequestRefusedError at once.")
      .def_property_readonly(
          "counters", [](PyDrive& d) { return CountersOf(d.Counters()); },
          "The five link counters (Counters) since the drive was made or reset_counters().")
      .def(
          "reset_counters", [](PyDrive& d) { d.ResetCounters(); },
          "Sets the five counters back to 0, as a double click on the status bar does.")
      .def_property_readonly(
          "trace",
          [](PyDrive& d) {
            std::vector<PyTraceEvent> events;
            for (const DriveClient::TraceCopy& t : d.Trace())
              for (const TraceEvent& e : t.events) events.push_back(PyTraceEvent{e, t.wallOffsetUs});
            return events;
          },
          "The link's flight recorder, oldest first (the last 20000 events over every open): each frame to and "
          "from the drive, how each request ended, and the port's own events, as TraceEvent. With trace=PATH the "
          "same goes to a trace file each time the port closes (morvane-sim --replay PATH plays it back).")
      .def("__repr__", [](PyDrive& d) {
        return "<morvane.Drive " + py::repr(PathText(d.Device())).cast<std::string>() +
               (d.Client() ? ", open>" : ", closed>");
      });
}

}  // namespace mv::python
