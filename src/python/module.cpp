// The extension module morvane._morvane and its exception classes.
#include <Python.h>

#include <exception>

#include "profiles/profile_file.h"
#include "python/binding.h"
#include "python/script_error.h"

namespace mv::python {

namespace {

// The classes live as long as the process (a module is never unloaded).
struct ErrorClasses {
  PyObject* base = nullptr;
  PyObject* port = nullptr;
  PyObject* refused = nullptr;
  PyObject* abandoned = nullptr;
  PyObject* checksum = nullptr;
  PyObject* notChanged = nullptr;
  PyObject* file = nullptr;
};
ErrorClasses gErrors;

PyObject* NewErrorClass(py::module_& m, const char* name, const char* doc, PyObject* base) {
  const std::string qualified = std::string("morvane.") + name;
  PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
  if (cls == nullptr) throw py::error_already_set();
  m.add_object(name, py::reinterpret_borrow<py::object>(cls));
  return cls;
}

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

PyObject* ClassOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::PortNotOpened: return gErrors.port;
    case ErrorKind::RequestRefused: return gErrors.refused;
    case ErrorKind::RequestAbandoned: return gErrors.abandoned;
    case ErrorKind::InvalidChecksum: return gErrors.checksum;
    case ErrorKind::NotChanged: return gErrors.notChanged;
    case ErrorKind::FileRefused: return gErrors.file;
    case ErrorKind::Other: break;
  }
  return gErrors.base;
}

void Raise(const ScriptError& e) {
  py::handle cls(ClassOf(e.Kind()));
  py::object error = cls(e.what());
  switch (e.Kind()) {
    case ErrorKind::PortNotOpened:
      error.attr("device") = e.path;
      error.attr("errno") = e.err;
      break;
    case ErrorKind::RequestAbandoned:
      error.attr("outcome") = OutcomeKey(e.outcome);
      error.attr("step") = e.step;
      break;
    case ErrorKind::InvalidChecksum:
    case ErrorKind::NotChanged:
      error.attr("slot") = e.slot;
      error.attr("text") = e.windowText;
      break;
    case ErrorKind::FileRefused:
      error.attr("path") = e.path;
      error.attr("line") = e.line;
      error.attr("message") = e.message;
      error.attr("line_text") = e.lineText;
      break;
    case ErrorKind::RequestRefused:
    case ErrorKind::Other: break;
  }
  error.attr("request") = e.request.empty() ? py::object(py::none()) : py::object(py::str(e.request));
  PyErr_SetObject(cls.ptr(), error.ptr());
}

}  // namespace

void BindErrors(py::module_& m) {
  gErrors.base = NewErrorClass(m, "MorvaneError",
                               "Base of the errors of the morvane module. str() is the text the system shows; "
                               "'request' names the request ('info', 'status', ...) or is None.",
                               PyExc_Exception);
  gErrors.port = NewErrorClass(m, "PortError",
                               "The port cannot be opened. str() says why in the main window's words (the device is "
                               "busy, the user lacks the permission and how to get it, or there is no device). "
                               "'device' is the device path, 'errno' the system's error number (0 when the device "
                               "itself was not the cause).",
                               gErrors.base);
  gErrors.refused = NewErrorClass(m, "RequestRefused",
                                  "The request was not sent: the port is not open ('status: request refused: COM port "
                                  "not opened') or another request is running.",
                                  gErrors.base);
  gErrors.abandoned = NewErrorClass(
      m, "RequestAbandoned",
      "The drive's answer did not come or could not be read, and the request was abandoned: 'outcome' is 'timeout', "
      "'bad_code' (unknown response code), 'rx_error' (framing, overrun or parity error), 'rx_break', "
      "'frame_refused' (the port could not send), 'shifted' (answers that were another request's), "
      "'line_not_quiet', 'preempted' (given up for a stop()) or 'abandoned', 'step' the 1-based step of the "
      "request. str() as the command-line tool says it: 'info: request abandoned at step 2: no "
      "answer from the drive (timeout)'.",
      gErrors.base);
  gErrors.checksum = NewErrorClass(m, "InvalidChecksum",
                                   "A profile whose checksum does not match its data: received from the drive, or "
                                   "given to a save (then nothing is sent). 'slot' is 1..6, 'text' the main window's "
                                   "message ('Motor profile 3\\nInvalid Checksum'), str() the same on one line.",
                                   gErrors.base);
  gErrors.notChanged = NewErrorClass(m, "ProfileNotChanged",
                                     "The drive answered a save with 'not changed'. 'slot' is 1..6, 'text' and str() "
                                     "the main window's message ('ERROR: Motor profile 3 not changed').",
                                     gErrors.base);
  gErrors.file =
      NewErrorClass(m, "FileRefused",
                    "A file was refused by its reader, or could not be written (the previous file is then "
                    "unchanged). 'message' is the reader's or writer's message exactly, 'path' the file, "
                    "'line' the 1-based line whose check failed (0: the file as a whole), 'line_text' that line when "
                    "the reader keeps it (HEX files), else ''.",
                    gErrors.base);

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ScriptError& e) {
      Raise(e);
    }
  });
}

int SlotIndexOf(int slot) {
  if (slot < 1 || slot > kSlotCount) throw py::value_error("slot is 1 to 6, not " + std::to_string(slot));
  return slot - 1;
}

MotorProfile ReadProfileFile(const std::string& path) {
  MotorProfile p;
  std::string message;
  int line = 0;
  if (readMotorProfileFile(path, p, message, line)) return p;
  ScriptError e(ErrorKind::FileRefused, message);
  e.path = path;
  e.line = line;
  e.message = message;
  throw e;
}

std::string Latin1Of(const py::str& text, const char* what) {
  try {
    return text.attr("encode")("latin-1").cast<std::string>();
  } catch (const py::error_already_set&) {
    throw py::value_error(std::string(what) + " takes single-byte (Latin-1) characters only");
  }
}

py::str StrOfLatin1(const std::string& latin1) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeLatin1(latin1.data(), static_cast<Py_ssize_t>(latin1.size()), nullptr));
}

}  // namespace mv::python

PYBIND11_MODULE(_morvane, m) {
  m.doc() =
      "The Morvane drive's core for scripts: the same frames, timeouts, checks and texts as the desktop "
      "application and morvane-cli. Import it as 'morvane'.";
  mv::python::BindErrors(m);
  mv::python::BindProfile(m);
  mv::python::BindDrive(m);
  mv::python::BindFirmware(m);
}
