// The parts of the extension module `morvane._morvane`, each binding one
// floor of the core. Every check, clamp and text comes from the core; the
// binding only converts between Python values and the core's, and raises
// the package's exception classes (morvane/_errors.py) with one-line texts.
//
// Everything here runs with the GIL held.
#pragma once

#include <Python.h>
#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "profiles/motor_profile.h"

namespace mv::python {

namespace py = pybind11;

// The classes the package's Python side defines (exceptions, records) and
// its logger, handed over by morvane/__init__.py through _bind_python().
// They live as long as the process: nothing is released after the
// interpreter has gone.
struct PythonSide {
  py::object morvaneError, portError, requestRefused, requestAbandoned, invalidChecksum, profileNotChanged,
      invalidProfile, fileFormat, fileAccess, splBuild;
  py::object driveInfo, counters, status, portInfo, slotResult;
  py::object logger;
};
PythonSide& Side();

// _bind_python, the version and the lamp tables.
void BindModule(py::module_& m);
// Drive, StatusPoll, the port list.
void BindDrive(py::module_& m);
// Profile, ProfileField, ProfileDifference.
void BindProfile(py::module_& m);
// The submodules hex and spl.
void BindFirmware(py::module_& m);

// Runs f() without the GIL (f touches no Python). Not py::gil_scoped_release:
// its destructor takes the GIL back, and a daemon thread that does so while
// the interpreter exits is ended right there by an unwind no destructor may
// pass (the process would abort); taken back here, that unwind goes up.
template <class F>
auto WithoutGil(F&& f) -> decltype(f()) {
  PyThreadState* state = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<decltype(f())>) {
      f();
      PyEval_RestoreThread(state);
    } else {
      auto result = f();
      PyEval_RestoreThread(state);
      return result;
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    PyEval_RestoreThread(state);
    throw;
  }
}

// Raises cls(message, **details).
[[noreturn]] void Raise(const py::object& cls, const std::string& message, const py::dict& details = py::dict());

// A window's text on one line for str(): without its "ERROR: - " or
// "ERROR: ", lines joined ("Motor profile 3\nInvalid Checksum" -> "Motor
// profile 3: Invalid Checksum").
std::string OneLine(const std::string& windowText);
// The same for a text that names a path: the path's control characters (a
// line break in a file name) shown as \xNN, so the text stays one line.
std::string OneLine(const std::string& windowText, const std::string& path);
// Text of the core as Python text: UTF-8, and any byte that is not (a file's
// own bytes, a path) as a \xNN escape, so a message never fails to decode.
py::str Text(const std::string& bytes);

// A path as scripts give it (str, bytes or os.PathLike) as the bytes the
// system takes (the file system encoding); TypeError for anything else,
// ValueError for an embedded NUL.
std::string PathOf(const py::handle& path);
// os.fspath(path): the path as given, for the errors' 'path' and 'filename'.
py::object GivenPath(const py::handle& path);
// The system's bytes of a path as Python text (os.fsdecode: round trips).
py::object PathText(const std::string& path);

// The system's error number whose text ends `message` ("...: No such file or
// directory" -> ENOENT); 0 when none does.
int ErrnoOfMessage(const std::string& message);
// FileAccessError (errno) or FileFormatError for a file; `message` is the
// reader's or writer's own text, `line` 1-based (0 = the whole file).
[[noreturn]] void RaiseFileError(bool access, const py::handle& given, const std::string& message, int line,
                                 const std::string& lineText = std::string(), int err = 0);

// A whole number from Python for `what` (bool refused): TypeError for
// anything else, ValueError outside lo..hi (Python ints of any size),
// naming the range in `unit`.
std::int64_t WholeNumber(const py::handle& value, const std::string& what, std::int64_t lo, std::int64_t hi,
                         const std::string& unit = std::string());
// A slot number as scripts give it (1..6) as a slot index (0..5).
int SlotIndexOf(const py::handle& slot);
// A profile read from a file; FileFormatError or FileAccessError.
MotorProfile ReadProfileFile(const py::handle& path);
// Python text as the record's single-byte (Latin-1) characters; TypeError
// for anything but str, ValueError naming `what` for a character beyond them.
std::string Latin1Of(const py::handle& text, const std::string& what);
// Record text (Latin-1) as Python text.
py::str StrOfLatin1(const std::string& latin1);

// Raises InvalidProfileError for the first of the profile file reader's
// rules the profile fails (Profile.check()); `what` begins the message
// ("slot 2: ", or "").
void RequireProfileValid(const MotorProfile& p, const std::string& what);

// The 222 bytes of any object with the buffer protocol, strides followed;
// ValueError for another size.
MotorProfile ProfileOfBuffer(const py::handle& data);

}  // namespace mv::python
