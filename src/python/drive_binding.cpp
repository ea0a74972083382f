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
// thread of its own.
#include <Python.h>
#include <cxxabi.h>
#include <pybind11/stl.h>

#include <cctype>
#include <cstdio>
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
#include "python/script_error.h"
#include "serial/port_map.h"
#include "serial/port_types.h"
#include "session/drive_client.h"
#include "session/trace_file.h"

namespace mv::python {

namespace {

// The drive's identity as the main window shows it.
struct DriveInfoValues {
  std::string name, version, serialNo, hardwareId;
};

// One completed status poll, with the wall-clock time it completed.
struct StatusSample {
  StatusValues values;
  std::array<std::string, kStatusFieldCount> texts;  // as the status fields show them
  std::int64_t unixMs = 0;
};

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

std::string StatusText(const char* request) {
  return std::string(request) + ": request refused: " + kPortNotOpenedText;
}

[[noreturn]] void ThrowFailure(const char* request, const RequestEnd& end, const std::string& device) {
  RequestEnd e = end;
  if (e.outcome == RequestOutcome::Completed) e.outcome = RequestOutcome::Shifted;  // answers not its own
  const std::string text = FailureLine(request, e);
  if (e.outcome == RequestOutcome::DeviceGone) {
    // The port's own report: the device went away.
    ScriptError error(ErrorKind::PortNotOpened, text);
    error.request = request;
    error.path = device;
    error.err = ENODEV;
    throw error;
  }
  if (IsRefusal(e.outcome) || e.step == 0) {
    ScriptError error(ErrorKind::RequestRefused, text);
    error.request = request;
    throw error;
  }
  ScriptError error(ErrorKind::RequestAbandoned, text);
  error.request = request;
  error.outcome = e.outcome;
  error.step = e.step;
  throw error;
}

void Require(const ControlResult& r, const std::string& device) {
  if (!r.Ok()) ThrowFailure(RequestName(r.kind), r.end, device);
}

void Require(const MainResult& r, const std::string& device) {
  const char* request = RequestName(r.kind);
  if (!r.Completed() || !r.end.trusted) ThrowFailure(request, r.end, device);
  // The first slot whose answer was not what was asked for; for a batch the
  // text names every such slot.
  int first = -1;
  std::string all;
  for (int i = 0; i < kSlotCount; ++i) {
    const SlotOutcome o = r.slotOutcome[static_cast<std::size_t>(i)];
    if (o == SlotOutcome::NotAsked || o == SlotOutcome::Received || o == SlotOutcome::Saved) continue;
    if (first < 0) first = i;
    std::string line = SlotLine(r, i);
    if (line.empty()) line = std::string(request) + ": the drive answered with another slot's profile";
    all += (all.empty() ? "" : "; ") + line;
  }
  if (first < 0) return;
  const SlotOutcome o = r.slotOutcome[static_cast<std::size_t>(first)];
  const ErrorKind kind = o == SlotOutcome::BadChecksum  ? ErrorKind::InvalidChecksum
                         : o == SlotOutcome::NotChanged ? ErrorKind::NotChanged
                                                        : ErrorKind::Other;
  ScriptError error(kind, all);
  error.request = request;
  error.slot = first + 1;
  char box[96];
  if (SlotMessage(r, first, box, sizeof box)) error.windowText = box;
  throw error;
}

// A profile the drive's own check would refuse: nothing is sent.
[[noreturn]] void ThrowBadChecksum(const char* request, int slotIndex) {
  char text[96];
  std::snprintf(text, sizeof text, kInvalidChecksumFormat, static_cast<unsigned>(slotIndex + 1));
  std::string line = text;
  line.replace(line.find('\n'), 1, ": ");
  ScriptError e(ErrorKind::InvalidChecksum, line);
  e.request = request;
  e.slot = slotIndex + 1;
  e.windowText = text;
  throw e;
}

StatusSample SampleOf(const ControlResult& r) {
  StatusSample s;
  s.values = r.status.values;
  for (std::size_t i = 0; i < kStatusFieldCount; ++i) s.texts[i] = r.status.texts[i].data();
  s.unixMs = WallClockMs();
  return s;
}

// The signals a script may handle itself are blocked in the client's thread
// (see DriveClient); made per open, so a closed drive has no thread at all.
class PyDrive {
 public:
  PortChoice choice;
  bool stopOnExit = false;
  std::string tracePath;  // where the link trace goes when the port closes ("" = nowhere)

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
      KeepTrace(*c);
      c.reset();
      PyEval_RestoreThread(state);
      // Nobody is left to raise to: a trace that cannot be written is said.
      if (std::string message; !SaveTrace(message)) PySys_WriteStderr("morvane: %s\n", message.substr(0, 900).c_str());
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
    With(
        [&](std::shared_ptr<DriveClient>&) {
          made = std::make_shared<DriveClient>(choice);
          made->SetInterruptCheck(&CheckSignals);
          opened = made->Open();
          if (!opened.ok) made.reset();  // its thread ends here, without the GIL
        },
        nullptr);
    if (!opened.ok) {
      ScriptError e(ErrorKind::PortNotOpened, "cannot open " + opened.device + ": " + opened.why);
      e.path = opened.device;
      e.err = opened.err;
      throw e;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!client_) client_ = std::move(made);
  }

  void Close() {
    std::shared_ptr<DriveClient> c;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      c.swap(client_);
    }
    if (!c) return;
    // The counters go on from here when the port is opened again.
    const LinkCounters last = With(
        [this](std::shared_ptr<DriveClient>& held) {
          held->Close();  // the trace ends with the port's close
          KeepTrace(*held);
          return held->Counters();
        },
        std::move(c));
    Add(base_, last);
    if (std::string message; !SaveTrace(message)) {
      PyErr_SetString(PyExc_OSError, message.c_str());
      throw py::error_already_set();
    }
  }

  // What the link's recorder kept, over every open, oldest first: at most
  // the recorder's own number of events.
  std::vector<DriveClient::TraceCopy> Trace() {
    std::vector<DriveClient::TraceCopy> all = closedTrace_;
    if (std::shared_ptr<DriveClient> c = Client())
      all.push_back(With([](std::shared_ptr<DriveClient>& held) { return held->Trace(); }, std::move(c)));
    return all;
  }

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

  std::string Device() {
    if (std::shared_ptr<DriveClient> c = Client())
      return With([](std::shared_ptr<DriveClient>& held) { return held->DevicePath(); }, std::move(c));
    return !choice.device.empty() ? choice.device : PortDevicePath(choice.port);
  }

  // Runs f on the open drive's client without the GIL; a closed drive
  // refuses as the engine does.
  template <class F>
  auto OnClient(const char* request, F&& f) {
    std::shared_ptr<DriveClient> c = Client();
    if (!c) {
      ScriptError e(ErrorKind::RequestRefused, StatusText(request));
      e.request = request;
      throw e;
    }
    return With([&f](std::shared_ptr<DriveClient>& held) { return f(*held); }, std::move(c));
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
  void KeepTrace(DriveClient& c) {
    closedTrace_.push_back(c.Trace());
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
  // Writes every open's trace to tracePath; false with why.
  bool SaveTrace(std::string& message) {
    if (tracePath.empty()) return true;
    std::string text = TraceFileHeaderText();
    for (const DriveClient::TraceCopy& t : closedTrace_)
      for (const TraceEvent& e : t.events) AppendTraceEvent(text, e, t.wallOffsetUs);
    return WriteTraceFile(tracePath, text, message);
  }

  std::mutex mutex_;
  std::shared_ptr<DriveClient> client_;              // while open
  LinkCounters base_{};                              // of the earlier opens
  std::vector<DriveClient::TraceCopy> closedTrace_;  // of the earlier opens
};

// One event of the link's flight recorder, as a script reads it.
struct PyTraceEvent {
  TraceEvent event;
  std::int64_t wallOffsetUs = 0;
};

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

struct PyPoll {
  py::object owner;  // the Drive, alive as long as its poll
  std::shared_ptr<DriveClient> client;
  std::unique_ptr<DriveClient::Poll> poll;
  std::string device;

  ~PyPoll() {
    if (!poll) return;
    PyThreadState* state = PyEval_SaveThread();
    poll.reset();
    client.reset();
    PyEval_RestoreThread(state);
  }
};

int BaudIndexOf(int baud) {
  for (int i = 0; i < PLKDVX::kBaudRateCount; ++i)
    if (PLKDVX::kBaudRateValues[i] == baud) return i;
  throw py::value_error("baud is one of 110 300 600 1200 2400 4800 9600 19200 38400 57600 115200, not " +
                        std::to_string(baud));
}

// "Phase Current (A)" -> "A"; "Status" -> "".
std::string UnitOfLabel(const std::string& label) {
  const std::size_t open = label.rfind('(');
  const std::size_t close = label.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  return label.substr(open + 1, close - open - 1);
}

// "Overload (I/P)" -> "OVERLOAD", "Start/Stop" -> "START_STOP".
std::string FlagName(const std::string& label) {
  std::string name;
  for (char c : label.substr(0, label.find(" ("))) {
    if (std::isalnum(static_cast<unsigned char>(c)))
      name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    else if (!name.empty() && name.back() != '_')
      name += '_';
  }
  return name;
}

template <std::size_t N>
py::object FlagClass(const char* name, const char* group, const std::array<LampInfo, N>& lamps) {
  py::list members;
  for (const LampInfo& lamp : lamps) members.append(py::make_tuple(FlagName(lamp.label), lamp.mask));
  py::object cls = py::module_::import("enum").attr("IntFlag")(name, members, py::arg("module") = "morvane");
  std::string doc = std::string("The lamps of the control window's group '") + group + "', by bit:";
  for (const LampInfo& lamp : lamps) {
    char mask[16];
    std::snprintf(mask, sizeof mask, "0x%04X", static_cast<unsigned>(lamp.mask));
    doc += std::string("\n  ") + FlagName(lamp.label) + " (" + mask + "): " + lamp.label;
  }
  cls.attr("__doc__") = doc;
  return cls;
}

// One status field as a Python attribute.
struct StatusAttribute {
  StatusField field;
  const char* name;
  const char* what;
};
constexpr StatusAttribute kStatusAttributes[] = {
    {StatusField::PhaseCurrent, "phase_current", "Phase current in amperes (a float with one decimal)"},
    {StatusField::MotorSpeed, "speed", "Motor speed in RPM"},
    {StatusField::PhasePower, "phase_power", "Phase power in watts"},
    {StatusField::Status, "status_word", "The status word (its bits are 'flags')"},
    {StatusField::ControllerTemp, "controller_temp", "Controller temperature in degrees Celsius"},
    {StatusField::InternalStatus, "internal_status_word", "The internal status word (its bits are 'internal_flags')"},
    {StatusField::MotorTemp, "motor_temp", "Motor temperature sensor resistance in ohms"},
    {StatusField::MotorTorque, "torque", "Motor torque in the drive's unit (the window's 'NM')"},
    {StatusField::BusVoltage, "bus_voltage", "Bus voltage in volts (a float with one decimal)"},
};

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

const char* StatusLabel(StatusField f) { return kStatusFields[static_cast<std::size_t>(f)].label; }

}  // namespace

void BindDrive(py::module_& m) {
  gMainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  py::object statusBits = FlagClass("StatusBits", kStatusLampGroup, kStatusLamps);
  py::object internalBits = FlagClass("InternalStatusBits", kInternalLampGroup, kInternalLamps);
  m.attr("StatusBits") = statusBits;
  m.attr("InternalStatusBits") = internalBits;

  py::class_<DriveInfoValues>(m, "DriveInfo",
                              "The drive's identity as the main window shows it: name, version ('S0001-03, "
                              "H0002-01'), serial number and hardware id ('0x07 0x02 0x01').")
      .def_readonly("name", &DriveInfoValues::name)
      .def_readonly("version", &DriveInfoValues::version)
      .def_readonly("serial_number", &DriveInfoValues::serialNo)
      .def_readonly("hardware_id", &DriveInfoValues::hardwareId)
      .def("__repr__", [](const DriveInfoValues& i) {
        return "DriveInfo(name=" + py::repr(py::str(i.name)).cast<std::string>() +
               ", version=" + py::repr(py::str(i.version)).cast<std::string>() +
               ", serial_number=" + py::repr(py::str(i.serialNo)).cast<std::string>() +
               ", hardware_id=" + py::repr(py::str(i.hardwareId)).cast<std::string>() + ")";
      });

  py::class_<LinkCounters>(m, "Counters",
                           "The five link counters of the status bar: frames sent (tx), complete answers received "
                           "(rx), timeouts (to), errors (errs: unknown response codes, receive errors, breaks) and "
                           "requests refused while another was running (busy).")
      .def_readonly("tx", &LinkCounters::tx)
      .def_readonly("rx", &LinkCounters::rx)
      .def_readonly("to", &LinkCounters::to)
      .def_readonly("errs", &LinkCounters::errs)
      .def_readonly("busy", &LinkCounters::busy)
      .def("__eq__",
           [](const LinkCounters& a, const LinkCounters& b) {
             return a.tx == b.tx && a.rx == b.rx && a.to == b.to && a.errs == b.errs && a.busy == b.busy;
           })
      .def("__repr__", [](const LinkCounters& c) {
        return "Tx=" + std::to_string(c.tx) + " Rx=" + std::to_string(c.rx) + " TO=" + std::to_string(c.to) +
               " Errs=" + std::to_string(c.errs) + " Busy=" + std::to_string(c.busy);
      });

  py::class_<StatusSample> status(m, "Status",
                                  "One completed status poll (nine requests to the drive). Each value is in its "
                                  "unit, or None when this poll's answer for it was too short to hold one.");
  for (const StatusAttribute& a : kStatusAttributes) {
    const StatusField field = a.field;
    const std::string doc = std::string(a.what) + "; the window's field '" + StatusLabel(field) + "'.";
    status.def_property_readonly(
        a.name, [field](const StatusSample& r) { return ValueOf(r.values, field); }, doc.c_str());
  }
  status
      .def_property_readonly(
          "flags",
          [statusBits](const StatusSample& r) -> py::object {
            if (!r.values.Has(StatusField::Status)) return py::none();
            return statusBits(r.values.StatusWord());
          },
          "The status word's lamps as StatusBits (None without a status word).")
      .def_property_readonly(
          "internal_flags",
          [internalBits](const StatusSample& r) -> py::object {
            if (!r.values.Has(StatusField::InternalStatus)) return py::none();
            return internalBits(r.values.InternalStatusWord());
          },
          "The internal status word's lamps as InternalStatusBits (None without one).")
      .def_property_readonly(
          "time", [](const StatusSample& r) { return static_cast<double>(r.unixMs) / 1000.0; },
          "When the poll completed, in seconds since 1970-01-01 UTC (as time.time()).")
      .def_property_readonly(
          "complete", [](const StatusSample& r) { return r.values.received == (1u << kStatusFieldCount) - 1; },
          "Whether every field got its value.")
      .def_property_readonly(
          "texts",
          [](const StatusSample& r) {
            py::dict d;
            for (const StatusFieldInfo& f : kStatusFields) d[f.label] = r.texts[static_cast<std::size_t>(f.field)];
            return d;
          },
          "The fields as the control window shows them, by caption ('Speed (RPM)': '6000', 'Status': '0006').")
      .def(
          "as_dict",
          [](const StatusSample& r) {
            py::dict d;
            d["time"] = static_cast<double>(r.unixMs) / 1000.0;
            for (const StatusAttribute& a : kStatusAttributes) d[a.name] = ValueOf(r.values, a.field);
            return d;
          },
          "The time and the nine values by attribute name (a row for a table).")
      .def_property_readonly_static(
          "units",
          [](const py::object&) {
            py::dict d;
            for (const StatusAttribute& a : kStatusAttributes) d[a.name] = UnitOfLabel(StatusLabel(a.field));
            return d;
          },
          "The unit of each value by attribute name, as the window's captions give it ('A', 'RPM', ...; '' for "
          "the status words).")
      .def("__repr__", [](const StatusSample& r) {
        std::string text = "Status(";
        for (const StatusAttribute& a : kStatusAttributes) {
          if (text.size() > 7) text += ", ";
          text += std::string(a.name) + "=" + py::repr(ValueOf(r.values, a.field)).cast<std::string>();
        }
        return text + ")";
      });

  py::class_<PyPoll>(m, "StatusPoll",
                     "An iterator of Status, one poll per period (see Drive.poll). close() ends it early.")
      .def("__iter__", [](PyPoll& p) -> PyPoll& { return p; })
      .def("__next__",
           [](PyPoll& p) {
             const std::optional<ControlResult> r =
                 PyDrive::With([&p](std::shared_ptr<DriveClient>&) { return p.poll->Next(); }, nullptr);
             if (!r) throw py::stop_iteration();
             Require(*r, p.device);
             return SampleOf(*r);
           })
      .def_property_readonly(
          "period_ms", [](const PyPoll& p) { return p.poll->PeriodMs(); },
          "The period in use: the one asked for, clamped to 200..1500 ms as the control window clamps it.")
      .def(
          "close", [](PyPoll& p) { PyDrive::With([&p](std::shared_ptr<DriveClient>&) { p.poll->Stop(); }, nullptr); },
          "No more polls.");

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
          "text", [](const PyTraceEvent& t) { return DescribeEvent(t.event); }, "What the host made of it, in words.")
      .def("__repr__", [](const PyTraceEvent& t) {
        const std::string hex = HexBytes(t.event);
        return "<morvane.TraceEvent " + std::string(TraceKindName(t.event.kind)) + (hex.empty() ? "" : " " + hex) +
               ": " + DescribeEvent(t.event) + ">";
      });

  py::class_<PyDrive>(m, "Drive",
                      "One drive on one serial port: the port, the request engine and the request tables of the "
                      "desktop application. Made with a port number (COM1.. as the port map says) or a device "
                      "path, it opens the port at once (PortError when it cannot); as a context manager it closes "
                      "the port at the end of the block (with stop_on_exit=True it first sends Stop when the block "
                      "is left by an exception).\n\n"
                      "Requests from several threads are served one at a time in the order they come; stop() jumps "
                      "the queue: it is sent as soon as the step in flight has ended, and the request it interrupts "
                      "raises RequestAbandoned (outcome 'preempted'). Every request waits without holding the GIL. "
                      "A Ctrl-C (or any exception a signal handler raises) during a wait gives the request up once "
                      "its step in flight has ended and leaves the port open, so 'finally: drive.stop()' stops the "
                      "motor. A signal handler may call the drive while another call of it waits. A failed request "
                      "raises RequestAbandoned (timeout, unknown response code, receive error, break, answers that "
                      "were another request's, with the step) or RequestRefused; a device that went away PortError.")
      .def(py::init([](std::optional<int> port, std::optional<std::string> device, int baud, bool stopOnExit,
                       const py::object& trace) {
             if (port.has_value() == device.has_value())
               throw py::value_error("Drive needs one of port=N or device=PATH");
             if (port && (*port < 1 || *port > 32)) throw py::value_error("port is a port number 1 to 32");
             if (device && device->empty()) throw py::value_error("device is a serial device path");
             auto d = std::make_unique<PyDrive>();
             d->choice.port = port.value_or(0);
             d->choice.device = device.value_or("");
             d->choice.baud = BaudIndexOf(baud);
             d->stopOnExit = stopOnExit;
             if (!trace.is_none()) {
               // Its folder is checked before the port is opened.
               d->tracePath = py::str(py::module_::import("os").attr("fspath")(trace));
               const std::size_t slash = d->tracePath.find_last_of('/');
               const std::string folder = slash == std::string::npos ? "." : d->tracePath.substr(0, slash + 1);
               if (!py::module_::import("os.path").attr("isdir")(folder).cast<bool>()) {
                 PyErr_SetString(PyExc_FileNotFoundError, ("trace: " + folder + " is not a folder").c_str());
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
          "close", [](PyDrive& d) { d.Close(); }, "Closes the port; its threads have ended when this returns.")
      .def_property_readonly(
          "is_open", [](PyDrive& d) { return d.Client() != nullptr; }, "Whether the port is open.")
      .def_property_readonly(
          "device", [](PyDrive& d) { return d.Device(); }, "The device the port stands for.")
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
            Require(r, d.Device());
            const DriveIdentity& id = r.identity;
            return DriveInfoValues{id.Text(DriveIdentity::kName), id.Text(DriveIdentity::kVersion),
                                   id.Text(DriveIdentity::kSerialNo), id.Text(DriveIdentity::kHardwareId)};
          },
          "The drive's name, version, serial number and hardware id (four requests) as a DriveInfo.")
      .def(
          "get_profile",
          [](PyDrive& d, int slot) {
            const int i = SlotIndexOf(slot);
            const MainResult r = d.OnClient("get-profile", [i](DriveClient& c) { return c.GetProfile(i); });
            Require(r, d.Device());
            return r.profiles[static_cast<std::size_t>(i)];
          },
          py::arg("slot"), "The profile in slot 1..6 of the drive. InvalidChecksum when its checksum is wrong.")
      .def(
          "save_profile",
          [](PyDrive& d, int slot, const MotorProfile& p) {
            const int i = SlotIndexOf(slot);
            // The drive would keep a record its own check refuses: nothing is sent.
            if (!ProfileChecksumValid(p)) ThrowBadChecksum("save-profile", i);
            Require(d.OnClient("save-profile", [i, &p](DriveClient& c) { return c.SaveProfile(i, p); }), d.Device());
          },
          py::arg("slot"), py::arg("profile"),
          "Saves the profile into slot 1..6 of the drive. ProfileNotChanged when the drive refuses it; "
          "InvalidChecksum (and nothing sent) for a profile whose checksum is wrong.")
      .def(
          "get_all",
          [](PyDrive& d) {
            const MainResult r = d.OnClient("get-all", [](DriveClient& c) { return c.GetAll(); });
            Require(r, d.Device());
            return std::vector<MotorProfile>(r.profiles.begin(), r.profiles.end());
          },
          "The six profiles of the drive (one request of six steps), slot 1 first.")
      .def(
          "save_all",
          [](PyDrive& d, const std::vector<MotorProfile>& profiles) {
            if (profiles.size() != kSlotCount) throw py::value_error("save_all takes 6 profiles");
            std::array<MotorProfile, kSlotCount> six;
            std::copy(profiles.begin(), profiles.end(), six.begin());
            for (int i = 0; i < kSlotCount; ++i)
              if (!ProfileChecksumValid(six[static_cast<std::size_t>(i)])) ThrowBadChecksum("save-all", i);
            Require(d.OnClient("save-all", [&six](DriveClient& c) { return c.SaveAll(six); }), d.Device());
          },
          py::arg("profiles"),
          "Saves six profiles into slots 1..6 (one request of six steps). ProfileNotChanged names every slot "
          "the drive refused; InvalidChecksum (and nothing sent) when a profile's checksum is wrong.")
      .def(
          "activate",
          [](PyDrive& d, std::optional<int> slot) {
            const int i = slot ? SlotIndexOf(*slot) : kNoProfileIndex;
            Require(d.OnClient("activate", [i](DriveClient& c) { return c.Activate(i); }), d.Device());
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
          [](PyDrive& d, std::int64_t rpm) {
            const std::int32_t sent = ClampSpeed(rpm);
            Require(
                d.OnClient("speed", [sent](DriveClient& c) { return c.SetSpeed(static_cast<std::uint32_t>(sent)); }),
                d.Device());
            return sent;
          },
          py::arg("rpm"),
          "Sets the motor speed in RPM, clamped to 3000..100000 as the speed edit clamps it; returns the speed "
          "sent.")
      .def(
          "status",
          [](PyDrive& d) {
            const ControlResult r = d.OnClient("status", [](DriveClient& c) { return c.Status(); });
            Require(r, d.Device());
            return SampleOf(r);
          },
          "One status poll (the control window's 'Get'), as a Status.")
      .def(
          "poll",
          [](py::object self, std::int64_t periodMs, std::optional<std::int64_t> count) {
            if (count && *count < 1) throw py::value_error("count is at least 1");
            PyDrive& d = self.cast<PyDrive&>();
            auto p = std::make_unique<PyPoll>();
            p->owner = self;
            p->device = d.Device();
            p->client = d.Client();
            if (!p->client) {
              ScriptError e(ErrorKind::RequestRefused, StatusText("status"));
              e.request = "status";
              throw e;
            }
            const std::int32_t period = ClampPeriod(periodMs);
            p->poll = PyDrive::With(
                [&](std::shared_ptr<DriveClient>& held) { return held->StartPolling(period, count); }, p->client);
            return p;
          },
          py::arg("period_ms"), py::arg("count") = py::none(),
          "Status polls at the control window's pace, as an iterator of Status: the period is clamped to "
          "200..1500 ms, the first poll is made at once, then one each period; a period that passes while the "
          "script is busy elsewhere (or while another request runs) is made up by one poll at once, never by "
          "several. count polls in all, or no end without it. A poll that fails raises RequestAbandoned; the "
          "iterator can go on afterwards.")
      .def_property_readonly(
          "counters", [](PyDrive& d) { return d.Counters(); },
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
      .def("__repr__",
           [](PyDrive& d) { return "<morvane.Drive " + d.Device() + (d.Client() ? ", open>" : ", closed>"); });
}

}  // namespace mv::python
