// The extension module morvane._morvane: the helpers every binding shares,
// the hand-over of the package's Python classes, the version and the lamp
// tables.
#include <Python.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "control/status_requests.h"
#include "profiles/profile_file.h"
#include "python/binding.h"

#ifndef MV_VERSION
#error "MV_VERSION is the project's version (CMake defines it)"
#endif

namespace mv::python {

PythonSide& Side() {
  // Never destroyed: its objects must not be released after the interpreter
  // has gone at exit.
  static PythonSide& side = *new PythonSide();
  return side;
}

void Raise(const py::object& cls, const std::string& message, const py::dict& details) {
  py::object error = cls(Text(message), **details);
  PyErr_SetObject(cls.ptr(), error.ptr());
  throw py::error_already_set();
}

std::string OneLine(const std::string& windowText) {
  std::string text = windowText;
  for (const char* prefix : {"ERROR: - ", "ERROR: "})
    if (text.rfind(prefix, 0) == 0) {
      text.erase(0, std::strlen(prefix));
      break;
    }
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (!line.empty()) {
      // A line that ends in a word or number is a heading: a colon follows it.
      if (!out.empty()) out += std::isalnum(static_cast<unsigned char>(out.back())) ? ": " : " ";
      out += line;
    }
    start = end + 1;
  }
  return out;
}

std::string OneLine(const std::string& windowText, const std::string& path) {
  if (path.empty()) return OneLine(windowText);
  std::string shown;
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      shown += c;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
    shown += escaped;
  }
  std::string text = windowText;
  for (std::size_t at = text.find(path); at != std::string::npos; at = text.find(path, at + shown.size()))
    text.replace(at, path.size(), shown);
  return OneLine(text);
}

py::str Text(const std::string& bytes) {
  PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "backslashreplace");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

py::object GivenPath(const py::handle& path) {
  return py::module_::import("os").attr("fspath")(path);  // TypeError for what is no path
}

std::string PathOf(const py::handle& path) {
  const py::object given = GivenPath(path);
  const py::bytes raw = py::isinstance<py::bytes>(given) ? py::reinterpret_borrow<py::bytes>(given)
                                                         : py::bytes(py::module_::import("os").attr("fsencode")(given));
  std::string out = raw;
  if (out.find('\0') != std::string::npos)
    throw py::value_error("embedded null byte in the path " + py::repr(given).cast<std::string>());
  if (out.empty()) throw py::value_error("the path is empty");
  return out;
}

py::object PathText(const std::string& path) { return py::module_::import("os").attr("fsdecode")(py::bytes(path)); }

int ErrnoOfMessage(const std::string& message) {
  int best = 0;
  std::size_t bestLength = 0;
  for (int e = 1; e < 134; ++e) {
    const std::string text = std::strerror(e);
    if (text.size() > bestLength && message.size() >= text.size() &&
        message.compare(message.size() - text.size(), text.size(), text) == 0) {
      best = e;
      bestLength = text.size();
    }
  }
  return best;
}

void RaiseFileError(bool access, const py::handle& given, const std::string& message, int line,
                    const std::string& lineText, int err) {
  const py::object path = GivenPath(given);
  const std::string file = PathOf(path);
  // The texts for a file that cannot be read or written name it already.
  const bool named = message.find(file) != std::string::npos;
  const std::string text =
      named ? OneLine(message, file)
            : OneLine(file + (line > 0 ? ", line " + std::to_string(line) : "") + ": " + OneLine(message), file);
  py::dict details;
  details["path"] = path;
  details["line"] = line;
  details["message"] = Text(message);
  details["line_text"] = Text(lineText);
  details["window_text"] = Text(message);
  if (access) {
    details["errno"] = err;
    details["strerror"] = err != 0 ? py::object(py::str(std::strerror(err))) : py::object(py::none());
    details["filename"] = path;
  }
  Raise(access ? Side().fileAccess : Side().fileFormat, text, details);
}

std::int64_t WholeNumber(const py::handle& value, const std::string& what, std::int64_t lo, std::int64_t hi,
                         const std::string& unit) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    throw py::type_error(what + " takes a whole number, not " + std::string(Py_TYPE(value.ptr())->tp_name));
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || v < lo || v > hi)
    throw py::value_error(what + " is " + std::to_string(lo) + " to " + std::to_string(hi) +
                          (unit.empty() ? "" : " " + unit) + ", not " + py::repr(index).cast<std::string>());
  return v;
}

int SlotIndexOf(const py::handle& slot) { return static_cast<int>(WholeNumber(slot, "slot", 1, kSlotCount)) - 1; }

MotorProfile ReadProfileFile(const py::handle& path) {
  const std::string file = PathOf(path);
  MotorProfile p;
  std::string message;
  int line = 0;
  if (readMotorProfileFile(file, p, message, line)) return p;
  // Refused as a whole without being read: the system's reason ends the text.
  const bool access = line == 0 && message.find("unable to read") != std::string::npos;
  RaiseFileError(access, path, message, line, std::string(), access ? ErrnoOfMessage(message) : 0);
}

std::string Latin1Of(const py::handle& text, const std::string& what) {
  if (!PyUnicode_Check(text.ptr()))
    throw py::type_error(what + " takes text (str), not " + std::string(Py_TYPE(text.ptr())->tp_name));
  PyObject* encoded = PyUnicode_AsLatin1String(text.ptr());
  if (encoded == nullptr) {
    PyErr_Clear();
    throw py::value_error(what + " takes single-byte (Latin-1) characters only");
  }
  return py::reinterpret_steal<py::bytes>(encoded);
}

py::str StrOfLatin1(const std::string& latin1) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeLatin1(latin1.data(), static_cast<Py_ssize_t>(latin1.size()), nullptr));
}

MotorProfile ProfileOfBuffer(const py::handle& data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_FULL_RO) != 0) throw py::error_already_set();
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  if (view.len != static_cast<Py_ssize_t>(kProfileSize))
    throw py::value_error("a profile is 222 bytes, not " + std::to_string(view.len));
  MotorProfile p;
  // Follows the buffer's strides (a reversed or sliced memoryview included).
  if (PyBuffer_ToContiguous(p.bytes.data(), &view, view.len, 'C') != 0) throw py::error_already_set();
  return p;
}

namespace {

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
py::tuple LampTable(const char* group, const std::array<LampInfo, N>& lamps) {
  py::list out;
  for (const LampInfo& lamp : lamps) out.append(py::make_tuple(FlagName(lamp.label), lamp.mask, lamp.label));
  return py::make_tuple(group, out);
}

}  // namespace

void BindModule(py::module_& m) {
  m.attr("__version__") = MV_VERSION;
  m.def(
      "_lamps",
      [](const std::string& name) {
        if (name == "StatusBits") return LampTable(kStatusLampGroup, kStatusLamps);
        if (name == "InternalStatusBits") return LampTable(kInternalLampGroup, kInternalLamps);
        throw py::value_error("no lamp group " + name);
      },
      "The control window's lamps of a group: (caption, [(name, mask, label), ...]).");
  m.def(
      "_bind_python",
      [](const py::kwargs& c) {
        PythonSide& s = Side();
        s.morvaneError = c["MorvaneError"];
        s.portError = c["PortError"];
        s.requestRefused = c["RequestRefusedError"];
        s.requestAbandoned = c["RequestAbandonedError"];
        s.invalidChecksum = c["InvalidChecksumError"];
        s.profileNotChanged = c["ProfileNotChangedError"];
        s.invalidProfile = c["InvalidProfileError"];
        s.fileFormat = c["FileFormatError"];
        s.fileAccess = c["FileAccessError"];
        s.splBuild = c["SplBuildError"];
        s.driveInfo = c["DriveInfo"];
        s.counters = c["Counters"];
        s.status = c["Status"];
        s.portInfo = c["PortInfo"];
        s.slotResult = c["SlotResult"];
        s.logger = c["logger"];
      },
      "Hands the package's exception and record classes and its logger to the extension (morvane/__init__.py).");
}

}  // namespace mv::python

PYBIND11_MODULE(_morvane, m) {
  m.doc() =
      "The Morvane drive's core for scripts: the same frames, timeouts, checks and texts as the desktop "
      "application and morvane-cli. Import it as 'morvane'.";
  mv::python::BindModule(m);
  mv::python::BindProfile(m);
  mv::python::BindDrive(m);
  mv::python::BindFirmware(m);
}
