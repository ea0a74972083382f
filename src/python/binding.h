// The parts of the extension module `morvane._morvane`, each binding one
// floor of the core. Every check, clamp and text comes from the core; the
// binding only converts between Python values and the core's.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "profiles/motor_profile.h"

namespace mv::python {

namespace py = pybind11;

// The exception classes and the translation of ScriptError into them.
void BindErrors(py::module_& m);
// Drive, Status, StatusBits, InternalStatusBits, DriveInfo, Counters.
void BindDrive(py::module_& m);
// Profile, ProfileField, ProfileDifference.
void BindProfile(py::module_& m);
// The submodules hex and spl.
void BindFirmware(py::module_& m);

// A slot number as scripts give it (1..6) as a slot index (0..5); ValueError
// for anything else.
int SlotIndexOf(int slot);
// A profile read from a file, FileRefused when the reader refuses it.
MotorProfile ReadProfileFile(const std::string& path);
// Python text as the record's single-byte (Latin-1) characters; ValueError
// for a character beyond them.
std::string Latin1Of(const py::str& text, const char* what);
// Record text (Latin-1) as Python text.
py::str StrOfLatin1(const std::string& latin1);

}  // namespace mv::python
