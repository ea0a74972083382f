// morvane.Drive: one drive on one serial port, through BlockingDrive.
//
// The GIL is released for every call into the drive: a script's other
// threads run while a request waits for its answer. Between the slices of a
// wait the GIL is taken back for a moment to run the script's signal
// handlers (Ctrl-C): a handler that raises abandons the wait, the port is
// closed and the exception goes on. One lock per drive keeps calls from
// several threads apart; it is only ever taken without the GIL, so a thread
// waiting for it never holds up the one that has it.
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

#include "control/status_requests.h"
#include "python/binding.h"
#include "python/blocking_drive.h"
#include "python/script_error.h"
#include "serial/port_types.h"

namespace mv::python {

namespace {

class PyDrive {
 public:
  std::unique_ptr<BlockingDrive> drive;
  std::mutex mutex;

  ~PyDrive() {
    // Held only by a call running on another thread, which holds a
    // reference to this drive: at its end there is none.
    const std::lock_guard<std::mutex> lock(mutex);
    if (!drive) return;
    drive->BindToCurrentThread();
    graveyard.clear();
    drive.reset();
  }

  // A poller whose iterator has gone; its timer belongs to the drive's loop,
  // which another thread may be running, so it is destroyed by the next
  // call under the drive's lock.
  void Bury(std::unique_ptr<StatusPoller> poller) {
    const std::lock_guard<std::mutex> lock(graveyardMutex);
    graveyard.push_back(std::move(poller));
  }

  // Runs f(drive) without the GIL, under the drive's lock, on this thread.
  //
  // Not py::gil_scoped_release: its destructor takes the GIL back, and a
  // daemon thread that does so while the interpreter exits is ended right
  // there (pthread_exit), by an unwind that no destructor may pass: the
  // process would abort. Taken back here, the unwind goes up like any other.
  template <class F>
  auto With(F&& f) -> decltype(f(*drive)) {
    using Result = decltype(f(*drive));
    PyThreadState* state = PyEval_SaveThread();
    try {
      if constexpr (std::is_void_v<Result>) {
        Locked(f);
        PyEval_RestoreThread(state);
      } else {
        Result result = Locked(f);
        PyEval_RestoreThread(state);
        return result;
      }
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended: nothing may touch Python
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
  }

 private:
  template <class F>
  auto Locked(F& f) -> decltype(f(*drive)) {
    const std::lock_guard<std::mutex> lock(mutex);
    drive->BindToCurrentThread();
    {
      const std::lock_guard<std::mutex> buried(graveyardMutex);
      graveyard.clear();
    }
    return f(*drive);
  }

  std::mutex graveyardMutex;
  std::vector<std::unique_ptr<StatusPoller>> graveyard;
};

struct PyPoll {
  py::object owner;  // the Drive, alive as long as its poller
  PyDrive* drive = nullptr;
  std::unique_ptr<StatusPoller> poller;

  ~PyPoll() {
    if (poller) drive->Bury(std::move(poller));
  }
};

// Raised between the slices of a wait when a signal handler of the script
// raised (KeyboardInterrupt for Ctrl-C).
void CheckSignals() {
  const py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

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
  py::object statusBits = FlagClass("StatusBits", kStatusLampGroup, kStatusLamps);
  py::object internalBits = FlagClass("InternalStatusBits", kInternalLampGroup, kInternalLamps);
  m.attr("StatusBits") = statusBits;
  m.attr("InternalStatusBits") = internalBits;

  py::class_<DriveIdentity>(m, "DriveInfo",
                            "The drive's identity as the main window shows it: name, version ('S0001-03, "
                            "H0002-01'), serial number and hardware id ('0x07 0x02 0x01').")
      .def_readonly("name", &DriveIdentity::name)
      .def_readonly("version", &DriveIdentity::version)
      .def_readonly("serial_number", &DriveIdentity::serialNo)
      .def_readonly("hardware_id", &DriveIdentity::hardwareId)
      .def("__repr__", [](const DriveIdentity& i) {
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

  py::class_<StatusReading> status(m, "Status",
                                   "One completed status poll (nine requests to the drive). Each value is in its "
                                   "unit, or None when this poll's answer for it was too short to hold one.");
  for (const StatusAttribute& a : kStatusAttributes) {
    const StatusField field = a.field;
    const std::string doc = std::string(a.what) + "; the window's field '" + StatusLabel(field) + "'.";
    status.def_property_readonly(
        a.name, [field](const StatusReading& r) { return ValueOf(r.values, field); }, doc.c_str());
  }
  status
      .def_property_readonly(
          "flags",
          [statusBits](const StatusReading& r) -> py::object {
            if (!r.values.Has(StatusField::Status)) return py::none();
            return statusBits(r.values.StatusWord());
          },
          "The status word's lamps as StatusBits (None without a status word).")
      .def_property_readonly(
          "internal_flags",
          [internalBits](const StatusReading& r) -> py::object {
            if (!r.values.Has(StatusField::InternalStatus)) return py::none();
            return internalBits(r.values.InternalStatusWord());
          },
          "The internal status word's lamps as InternalStatusBits (None without one).")
      .def_property_readonly(
          "time", [](const StatusReading& r) { return static_cast<double>(r.unixMs) / 1000.0; },
          "When the poll completed, in seconds since 1970-01-01 UTC (as time.time()).")
      .def_property_readonly(
          "complete", [](const StatusReading& r) { return r.values.received == (1u << kStatusFieldCount) - 1; },
          "Whether every field got its value.")
      .def_property_readonly(
          "texts",
          [](const StatusReading& r) {
            py::dict d;
            for (const StatusFieldInfo& f : kStatusFields) d[f.label] = r.texts[static_cast<std::size_t>(f.field)];
            return d;
          },
          "The fields as the control window shows them, by caption ('Speed (RPM)': '6000', 'Status': '0006').")
      .def(
          "as_dict",
          [](const StatusReading& r) {
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
      .def("__repr__", [](const StatusReading& r) {
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
             StatusReading out;
             const bool more = p.drive->With([&](BlockingDrive&) { return p.poller->Next(out); });
             if (!more) throw py::stop_iteration();
             return out;
           })
      .def_property_readonly(
          "period_ms", [](const PyPoll& p) { return p.poller->PeriodMs(); },
          "The period in use: the one asked for, clamped to 200..1500 ms as the control window clamps it.")
      .def(
          "close", [](PyPoll& p) { p.drive->With([&](BlockingDrive&) { p.poller->Stop(); }); }, "No more polls.");

  py::class_<PyDrive>(m, "Drive",
                      "One drive on one serial port: the port, the request engine and the request tables of the "
                      "desktop application, one request at a time. Made with a port number (COM1.. as the port "
                      "map says) or a device path, it opens the port at once (PortError when it cannot); as a "
                      "context manager it closes the port at the end of the block.\n\n"
                      "Every request waits for its end without holding the GIL, and a Ctrl-C during a wait raises "
                      "KeyboardInterrupt after closing the port. A failed request raises RequestAbandoned "
                      "(timeout, unknown response code, receive error, break, with the step) or RequestRefused.")
      .def(py::init([](std::optional<int> port, std::optional<std::string> device, int baud) {
             if (port.has_value() == device.has_value())
               throw py::value_error("Drive needs one of port=N or device=PATH");
             if (port && (*port < 1 || *port > 32)) throw py::value_error("port is a port number 1 to 32");
             if (device && device->empty()) throw py::value_error("device is a serial device path");
             PortChoice choice;
             choice.port = port.value_or(0);
             choice.device = device.value_or("");
             choice.baud = BaudIndexOf(baud);
             auto d = std::make_unique<PyDrive>();
             d->drive = std::make_unique<BlockingDrive>(choice);
             d->drive->SetBreakCheck(&CheckSignals);
             d->With([](BlockingDrive& b) { b.Open(); });
             return d;
           }),
           py::arg("port") = py::none(), py::kw_only(), py::arg("device") = py::none(), py::arg("baud") = 115200)
      .def(
          "open", [](PyDrive& d) { d.With([](BlockingDrive& b) { b.Open(); }); },
          "Opens the port again (nothing happens when it is open). PortError when it cannot be opened.")
      .def(
          "close", [](PyDrive& d) { d.With([](BlockingDrive& b) { b.Close(); }); },
          "Closes the port; its worker threads have ended when this returns.")
      .def_property_readonly(
          "is_open", [](PyDrive& d) { return d.With([](BlockingDrive& b) { return b.IsOpen(); }); },
          "Whether the port is open.")
      .def_property_readonly(
          "device", [](PyDrive& d) { return d.With([](BlockingDrive& b) { return b.DevicePath(); }); },
          "The device the port stands for.")
      .def("__enter__",
           [](py::object self) {
             self.cast<PyDrive&>().With([](BlockingDrive& b) { b.Open(); });
             return self;
           })
      .def("__exit__",
           [](PyDrive& d, const py::object&, const py::object&, const py::object&) {
             d.With([](BlockingDrive& b) { b.Close(); });
             return false;
           })
      .def(
          "info", [](PyDrive& d) { return d.With([](BlockingDrive& b) { return b.Info(); }); },
          "The drive's name, version, serial number and hardware id (four requests) as a DriveInfo.")
      .def(
          "get_profile",
          [](PyDrive& d, int slot) {
            const int i = SlotIndexOf(slot);
            return d.With([i](BlockingDrive& b) { return b.GetProfile(i); });
          },
          py::arg("slot"), "The profile in slot 1..6 of the drive. InvalidChecksum when its checksum is wrong.")
      .def(
          "save_profile",
          [](PyDrive& d, int slot, const MotorProfile& p) {
            const int i = SlotIndexOf(slot);
            d.With([i, &p](BlockingDrive& b) { b.SaveProfile(i, p); });
          },
          py::arg("slot"), py::arg("profile"),
          "Saves the profile into slot 1..6 of the drive. ProfileNotChanged when the drive refuses it; "
          "InvalidChecksum (and nothing sent) for a profile whose checksum is wrong.")
      .def(
          "get_all", [](PyDrive& d) { return d.With([](BlockingDrive& b) { return b.GetAll(); }); },
          "The six profiles of the drive (one request of six steps), slot 1 first.")
      .def(
          "save_all",
          [](PyDrive& d, const std::vector<MotorProfile>& profiles) {
            if (profiles.size() != kSlotCount) throw py::value_error("save_all takes 6 profiles");
            std::array<MotorProfile, kSlotCount> six;
            std::copy(profiles.begin(), profiles.end(), six.begin());
            d.With([&six](BlockingDrive& b) { b.SaveAll(six); });
          },
          py::arg("profiles"),
          "Saves six profiles into slots 1..6 (one request of six steps). As with the window's 'Save all to "
          "Controller' the drive's answers are not looked at: use save_profile() for a save the drive confirms. "
          "InvalidChecksum (and nothing sent) when a profile's checksum is wrong.")
      .def(
          "activate",
          [](PyDrive& d, std::optional<int> slot) {
            const int i = slot ? SlotIndexOf(*slot) : kNoProfileIndex;
            d.With([i](BlockingDrive& b) { b.Activate(i); });
          },
          py::arg("slot"), "Makes slot 1..6 the drive's active profile, or none with None.")
      .def(
          "start", [](PyDrive& d) { d.With([](BlockingDrive& b) { b.Start(); }); }, "Starts the motor.")
      .def(
          "stop", [](PyDrive& d) { d.With([](BlockingDrive& b) { b.Stop(); }); }, "Stops the motor.")
      .def(
          "reset", [](PyDrive& d) { d.With([](BlockingDrive& b) { b.Reset(); }); }, "Resets the drive's trips.")
      .def(
          "set_speed",
          [](PyDrive& d, std::int64_t rpm) { return d.With([rpm](BlockingDrive& b) { return b.SetSpeed(rpm); }); },
          py::arg("rpm"),
          "Sets the motor speed in RPM, clamped to 3000..100000 as the speed edit clamps it; returns the speed "
          "sent.")
      .def(
          "status", [](PyDrive& d) { return d.With([](BlockingDrive& b) { return b.Status(); }); },
          "One status poll (the control window's 'Get'), as a Status.")
      .def(
          "poll",
          [](py::object self, std::int64_t periodMs, std::optional<std::int64_t> count) {
            if (count && *count < 1) throw py::value_error("count is at least 1");
            PyDrive& d = self.cast<PyDrive&>();
            auto p = std::make_unique<PyPoll>();
            p->owner = self;
            p->drive = &d;
            p->poller = d.With([&](BlockingDrive& b) { return std::make_unique<StatusPoller>(b, periodMs, count); });
            return p;
          },
          py::arg("period_ms"), py::arg("count") = py::none(),
          "Status polls at the control window's pace, as an iterator of Status: the period is clamped to "
          "200..1500 ms, the first poll is made at once, then one each period; a period that passes while the "
          "script is busy elsewhere is made up by one poll at once, never by several. count polls in all, or "
          "no end without it. A poll that fails raises RequestAbandoned; the iterator can go on afterwards.")
      .def_property_readonly(
          "counters", [](PyDrive& d) { return d.With([](BlockingDrive& b) { return b.Counters(); }); },
          "The five link counters (Counters) since the drive was made or reset_counters().")
      .def(
          "reset_counters", [](PyDrive& d) { d.With([](BlockingDrive& b) { b.ResetCounters(); }); },
          "Sets the five counters back to 0, as a double click on the status bar does.")
      .def("__repr__", [](PyDrive& d) {
        return d.With([](BlockingDrive& b) {
          return "<morvane.Drive " + b.DevicePath() + (b.IsOpen() ? ", open>" : ", closed>");
        });
      });
}

}  // namespace mv::python
