// morvane.hex and morvane.spl: the Intel HEX reader and the SPL image builder
// as `morvane-cli hex info`, `spl build` and `spl inspect` have them.
#include <Python.h>
#include <fcntl.h>
#include <pybind11/stl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/text_file.h"
#include "firmware/intel_hex.h"
#include "firmware/spl_builder.h"
#include "link/main_requests.h"
#include "python/binding.h"

namespace mv::python {

namespace {

// What `morvane-cli hex info` prints for a file the reader accepted.
struct HexInfo {
  std::array<std::uint32_t, 6> counts{};
  std::uint32_t lowest = 0, highest = 0, total = 0, limit = 0, longest = 0;
  unsigned mode = 0;
};

struct SplBuild {
  std::string device, path;
  std::vector<std::string> summary;
  std::uint32_t size = 0;
};

struct SplInspection {
  std::vector<MotorProfile> profiles;
  bool wordsPadded = false, markerOk = false;
  unsigned firmwareVersion = 0;
};

// Why a file the HEX reader could not open cannot be read (the reader keeps
// no error number).
int ReadErrno(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  return folder ? EISDIR : 0;
}

// The HEX file read and checked, or FileAccessError / FileFormatError.
void RequireHex(const IntelHexFile& h, const py::handle& given, const std::string& file) {
  if (h.ErrorCode() == heNone) return;
  if (h.ErrorCode() == heNoSuchFile) {
    const int err = ReadErrno(file);
    RaiseFileError(true, given,
                   "unable to read HEX file " + file + ": " + (err != 0 ? std::strerror(err) : h.ErrorText(false)), 0,
                   "", err);
  }
  const std::string lineText = h.ErrorLineText() != IntelHexFile::kNotAvailable ? h.ErrorLineText() : std::string();
  RaiseFileError(false, given, h.ErrorText(false), h.ErrorLine(), lineText);
}

// An address as `morvane-cli spl` takes it: a multiple of 0x800.
std::uint32_t AddressOf(const char* name, const py::handle& value) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    throw py::type_error(std::string(name) + " takes a whole number, not " + Py_TYPE(value.ptr())->tp_name);
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  const std::string text = py::str(index);
  std::uint32_t out = 0;
  if (!ParseStartAddressStrict(text, out))
    throw py::value_error(std::string(name) + " " + text +
                          " is not an address: give a non-negative multiple of 0x800 (such as 0x2000)");
  return out;
}

}  // namespace

void BindFirmware(py::module_& m) {
  py::module_ hex = m.def_submodule("hex", "Intel HEX files, as 'morvane-cli hex' reads them.");
  py::class_<HexInfo>(hex, "HexInfo",
                      "The HEX reader's summary of a file it accepted: the records of each type 00..05, the lowest "
                      "and highest data address, the data bytes in all, the address mode (0 none, 1 segment, 2 "
                      "linear), the address limit and the longest data record in bytes.")
      .def_readonly("counts", &HexInfo::counts)
      .def_readonly("lowest", &HexInfo::lowest)
      .def_readonly("highest", &HexInfo::highest)
      .def_readonly("total", &HexInfo::total)
      .def_readonly("mode", &HexInfo::mode)
      .def_readonly("limit", &HexInfo::limit)
      .def_readonly("longest", &HexInfo::longest)
      .def("__repr__", [](const HexInfo& i) {
        char text[160];
        std::snprintf(text, sizeof text, "<HexInfo %u bytes at 0x%08X..0x%08X, mode %u>", i.total, i.lowest, i.highest,
                      i.mode);
        return std::string(text);
      });
  hex.def(
      "info",
      [](const py::object& path) {
        const std::string file = PathOf(path);
        IntelHexFile h;
        WithoutGil([&] { h.Load(file); });
        RequireHex(h, path, file);
        HexInfo i;
        for (unsigned t = 0; t < 6; ++t) i.counts[t] = h.RecordCount(t);
        i.lowest = h.LowestAddress();
        i.highest = h.HighestAddress();
        i.total = h.TotalDataBytes();
        i.mode = static_cast<unsigned>(h.AddressMode());
        i.limit = h.AddressLimit();
        i.longest = h.LongestDataRecord();
        return i;
      },
      py::arg("path"),
      "Reads and checks a HEX file and returns its summary (HexInfo). FileFormatError (a ValueError) for a file "
      "the reader refuses, naming the file, the line and the reader's text ('record length too short', also in "
      "'message'), with the line's text in 'line_text'; FileAccessError (an OSError) when it cannot be read.");

  py::module_ spl = m.def_submodule("spl", "SPL firmware images, as 'morvane-cli spl' builds and reads them.");
  py::class_<SplBuild>(spl, "SplBuild",
                       "A built SPL file: its path, the device line ('Device Type: dsPIC33EP64'), the ten summary "
                       "lines of the SPL window and the image size in bytes.")
      .def_property_readonly("path", [](const SplBuild& b) { return PathText(b.path); })
      .def_readonly("device", &SplBuild::device)
      .def_readonly("summary", &SplBuild::summary)
      .def_readonly("size", &SplBuild::size)
      .def("__repr__", [](const SplBuild& b) {
        return "<SplBuild " + py::repr(PathText(b.path)).cast<std::string>() + ", " + b.device + ">";
      });
  spl.def(
      "build",
      [](const py::object& hexPath, const py::object& out, const py::object& appStart, const py::object& profileStart,
         const py::object& fwVersion, const py::object& profiles, bool force) {
        SplBuildInput in;
        in.hexPath = PathOf(hexPath);
        in.appStartAddress = AddressOf("app_start", appStart);
        in.motorProfileStartAddress = AddressOf("profile_start", profileStart);
        in.firmwareVersion = static_cast<std::uint8_t>(WholeNumber(fwVersion, "fw_version", 0, 255));
        for (int s = 0; s < kSlotCount; ++s) in.profiles[static_cast<std::size_t>(s)] = MotorProfileDefaults(s);
        if (!profiles.is_none()) {
          if (!PyMapping_Check(profiles.ptr()) || PySequence_Check(profiles.ptr()))
            throw py::type_error("profiles is a dict of slot 1..6 to a Profile or a profile file");
          for (const py::handle key : py::reinterpret_borrow<py::object>(profiles)) {
            const int i = SlotIndexOf(key);
            const py::object value = profiles[key];
            MotorProfile& p = in.profiles[static_cast<std::size_t>(i)];
            p = py::isinstance<MotorProfile>(value) ? value.cast<MotorProfile>() : ReadProfileFile(value);
            if (!ProfileChecksumValid(p)) {
              char text[80];
              std::snprintf(text, sizeof text, kInvalidChecksumFormat, static_cast<unsigned>(i + 1));
              py::dict details;
              details["slot"] = i + 1;
              details["text"] = text;
              details["window_text"] = text;
              Raise(Side().invalidChecksum, OneLine(text), details);
            }
            if (!force) RequireProfileValid(p, "slot " + std::to_string(i + 1) + ": ");
          }
        }
        const std::string target = PathOf(out);
        const std::size_t slash = target.rfind('/');
        in.splDir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
        in.fileName = SplFileNameWithExtension(slash == std::string::npos ? target : target.substr(slash + 1));
        const std::string splPath = (in.splDir == "/" ? "/" : in.splDir + "/") + in.fileName;

        // The HEX file's own refusal, with its line, before the window's "Invalid hex file.".
        IntelHexFile h;
        WithoutGil([&] { h.Load(in.hexPath); });
        RequireHex(h, hexPath, in.hexPath);
        struct stat st {};
        if (::lstat(splPath.c_str(), &st) == 0)
          RaiseFileError(true, PathText(splPath), "unable to write SPL file " + splPath + ": " + std::strerror(EEXIST),
                         0, "", EEXIST);

        const SplBuildResult r = WithoutGil([&] { return BuildSplFile(in); });
        if (r.Ok()) return SplBuild{r.deviceLabel, r.splPath, r.summary, r.imageSize};
        if (r.copySettingsBack) {
          // Laid out, but the file could not be made.
          const int err = ::access(in.splDir.c_str(), W_OK) != 0 ? errno : 0;
          RaiseFileError(
              true, PathText(splPath),
              "unable to write SPL file " + splPath + (err != 0 ? std::string(": ") + std::strerror(err) : ""), 0, "",
              err);
        }
        py::dict details;
        details["request"] = "spl build";
        details["window_text"] = Text(r.message);
        Raise(Side().splBuild, OneLine(r.message), details);
      },
      py::arg("hex"), py::arg("out"), py::kw_only(), py::arg("app_start") = kDefaultAppStartAddress,
      py::arg("profile_start") = kDefaultMotorProfileStartAddress, py::arg("fw_version") = 0,
      py::arg("profiles") = py::none(), py::arg("force") = false,
      "Builds a new SPL file from the firmware's HEX file: 'out' is DIR/NAME (NAME gets '.spl'; an existing file "
      "is never replaced: FileAccessError, errno EEXIST), the start addresses are program addresses (multiples of "
      "0x800), fw_version 0..255, profiles a dict of slot 1..6 to a Profile or a profile file (the others are the "
      "defaults; each is held to Profile.check() unless force=True). SplBuildError (a ValueError) with the SPL "
      "window's message when the layout is refused; FileFormatError for a HEX file the reader refuses.");

  py::class_<SplInspection>(spl, "SplContents",
                            "What an SPL image holds in its motor profile page: the six profiles (check each one's "
                            "'checksum_ok'), whether the upper bytes of every profile word are zero, the marker 55 "
                            "AA 00 00 and the firmware version; 'ok' when every checksum and the marker are good.")
      .def_readonly("profiles", &SplInspection::profiles)
      .def_readonly("words_padded", &SplInspection::wordsPadded)
      .def_readonly("marker_ok", &SplInspection::markerOk)
      .def_readonly("firmware_version", &SplInspection::firmwareVersion)
      .def_property_readonly("ok",
                             [](const SplInspection& c) {
                               for (const MotorProfile& p : c.profiles)
                                 if (!ProfileChecksumValid(p)) return false;
                               return c.markerOk;
                             })
      .def("__repr__", [](const SplInspection& c) {
        return "<SplContents firmware " + std::to_string(c.firmwareVersion) +
               (c.markerOk ? ", marker ok>" : ", marker missing>");
      });
  spl.def(
      "inspect",
      [](const py::object& path, const py::object& appStart, const py::object& profileStart) {
        const std::string file = PathOf(path);
        const std::uint32_t app = AddressOf("app_start", appStart);
        const std::uint32_t page = AddressOf("profile_start", profileStart);
        std::string bytes, err;
        if (!ReadFileBytes(file, bytes, err, "SPL file")) RaiseFileError(true, path, err, 0, "", ErrnoOfMessage(err));
        const std::vector<std::uint8_t> image(bytes.begin(), bytes.end());
        SplContents c;
        std::string message;
        if (!ReadSplContents(image, app, page, c, message)) RaiseFileError(false, path, message, 0);
        SplInspection out;
        out.profiles.assign(c.profiles.begin(), c.profiles.end());
        out.wordsPadded = c.wordsPadded;
        out.markerOk = c.markerOk;
        out.firmwareVersion = c.firmwareVersion;
        return out;
      },
      py::arg("path"), py::kw_only(), py::arg("app_start") = kDefaultAppStartAddress,
      py::arg("profile_start") = kDefaultMotorProfileStartAddress,
      "Reads the motor profile page of an SPL file (SplContents). FileAccessError when the file cannot be read, "
      "FileFormatError when it is too short for that page.");
}

}  // namespace mv::python
