// morvane.hex and morvane.spl: the Intel HEX reader and the SPL image builder
// as `morvane-cli hex info`, `spl build` and `spl inspect` have them.
#include <Python.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/text_file.h"
#include "firmware/intel_hex.h"
#include "firmware/spl_builder.h"
#include "link/main_requests.h"
#include "python/binding.h"
#include "python/script_error.h"

namespace mv::python {

namespace {

std::string PathOf(const py::object& path) {
  return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
}

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

ScriptError FileError(const std::string& path, const std::string& text, const std::string& message, int line = 0) {
  ScriptError e(ErrorKind::FileRefused, text);
  e.path = path;
  e.message = message;
  e.line = line;
  return e;
}

// An address as `morvane-cli spl` takes it: a multiple of 0x800.
std::uint32_t AddressOf(const char* name, std::int64_t value) {
  std::uint32_t out = 0;
  if (!ParseStartAddressStrict(std::to_string(value), out))
    throw py::value_error(std::string(name) + " " + std::to_string(value) +
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
        IntelHexFile h(file);
        if (h.ErrorCode() != heNone) {
          const std::string text = h.ErrorText(false);
          std::string shown = file + ": " + text;
          if (h.ErrorLine() > 0) shown += " (line " + std::to_string(h.ErrorLine()) + ")";
          ScriptError e = FileError(file, shown, text, h.ErrorLine());
          if (h.ErrorLineText() != IntelHexFile::kNotAvailable) e.lineText = h.ErrorLineText();
          throw e;
        }
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
      "Reads and checks a HEX file and returns its summary (HexInfo). FileRefused for a file the reader refuses, "
      "with the reader's text ('record length too short'), the line and its text.");

  py::module_ spl = m.def_submodule("spl", "SPL firmware images, as 'morvane-cli spl' builds and reads them.");
  py::class_<SplBuild>(spl, "SplBuild",
                       "A built SPL file: its path, the device line ('Device Type: dsPIC33EP64'), the ten summary "
                       "lines of the SPL window and the image size in bytes.")
      .def_readonly("path", &SplBuild::path)
      .def_readonly("device", &SplBuild::device)
      .def_readonly("summary", &SplBuild::summary)
      .def_readonly("size", &SplBuild::size)
      .def("__repr__", [](const SplBuild& b) { return "<SplBuild " + b.path + ", " + b.device + ">"; });
  spl.def(
      "build",
      [](const py::object& hexPath, const py::object& out, std::int64_t appStart, std::int64_t profileStart,
         std::int64_t fwVersion, const py::object& profiles) {
        SplBuildInput in;
        in.hexPath = PathOf(hexPath);
        in.appStartAddress = AddressOf("app_start", appStart);
        in.motorProfileStartAddress = AddressOf("profile_start", profileStart);
        in.firmwareVersion = static_cast<std::uint8_t>(ReadFirmwareVersionText(std::to_string(fwVersion), 0));
        for (int s = 0; s < kSlotCount; ++s) in.profiles[static_cast<std::size_t>(s)] = MotorProfileDefaults(s);
        if (!profiles.is_none()) {
          for (const auto& item : py::cast<py::dict>(profiles)) {
            const int i = SlotIndexOf(item.first.cast<int>());
            MotorProfile& p = in.profiles[static_cast<std::size_t>(i)];
            if (py::isinstance<MotorProfile>(item.second)) {
              p = item.second.cast<MotorProfile>();
            } else {
              p = ReadProfileFile(PathOf(py::reinterpret_borrow<py::object>(item.second)));
            }
            if (!ProfileChecksumValid(p)) {
              char text[80];
              std::snprintf(text, sizeof text, kInvalidChecksumFormat, static_cast<unsigned>(i + 1));
              ScriptError e(ErrorKind::InvalidChecksum, text);
              e.slot = i + 1;
              e.windowText = text;
              throw e;
            }
          }
        }
        const std::string target = PathOf(out);
        const std::size_t slash = target.rfind('/');
        in.splDir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
        in.fileName = SplFileNameWithExtension(slash == std::string::npos ? target : target.substr(slash + 1));

        SplBuildResult r;
        {
          const py::gil_scoped_release nogil;
          r = BuildSplFile(in);
        }
        if (!r.Ok()) {
          ScriptError e(ErrorKind::Other, r.message);
          e.request = "spl build";
          throw e;
        }
        return SplBuild{r.deviceLabel, r.splPath, r.summary, r.imageSize};
      },
      py::arg("hex"), py::arg("out"), py::kw_only(), py::arg("app_start") = kDefaultAppStartAddress,
      py::arg("profile_start") = kDefaultMotorProfileStartAddress, py::arg("fw_version") = 0,
      py::arg("profiles") = py::none(),
      "Builds a new SPL file from the firmware's HEX file: 'out' is DIR/NAME (NAME gets '.spl'; an existing file "
      "is never replaced), the start addresses are program addresses (multiples of 0x800), fw_version 0..255 "
      "(above: 255), profiles a dict of slot 1..6 to a Profile or a profile file (the others are the defaults). "
      "MorvaneError with the SPL window's message when the build is refused.");

  py::class_<SplInspection>(spl, "SplContents",
                            "What an SPL image holds in its motor profile page: the six profiles (check each one's "
                            "'valid'), whether the upper bytes of every profile word are zero, the marker 55 AA 00 "
                            "00 and the firmware version; 'ok' when every checksum and the marker are good.")
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
      [](const py::object& path, std::int64_t appStart, std::int64_t profileStart) {
        const std::string file = PathOf(path);
        const std::uint32_t app = AddressOf("app_start", appStart);
        const std::uint32_t page = AddressOf("profile_start", profileStart);
        std::string bytes, err;
        if (!ReadFileBytes(file, bytes, err, "SPL file")) throw FileError(file, err, err);
        const std::vector<std::uint8_t> image(bytes.begin(), bytes.end());
        SplContents c;
        std::string message;
        if (!ReadSplContents(image, app, page, c, message)) throw FileError(file, file + ": " + message, message);
        SplInspection out;
        out.profiles.assign(c.profiles.begin(), c.profiles.end());
        out.wordsPadded = c.wordsPadded;
        out.markerOk = c.markerOk;
        out.firmwareVersion = c.firmwareVersion;
        return out;
      },
      py::arg("path"), py::kw_only(), py::arg("app_start") = kDefaultAppStartAddress,
      py::arg("profile_start") = kDefaultMotorProfileStartAddress,
      "Reads the motor profile page of an SPL file (SplContents). FileRefused when the file cannot be read or is "
      "too short for that page.");
}

}  // namespace mv::python
