#include "session/config_file.h"

#include <cstdio>

#include "core/field_parse.h"
#include "core/text_file.h"

namespace mv {

namespace {

using namespace PLKDVX;

constexpr std::int32_t kBaudChoices[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr std::int32_t kDataBitsChoices[] = {7, 8};
constexpr const char* kParityChoices[] = {"none", "odd", "even"};
constexpr std::int32_t kStopBitsChoices[] = {1, 2};
constexpr std::int32_t kAddressStep = 2048;
constexpr std::int32_t kMaxPathText = 250;

// Blank lines and the numbers their messages give them.
struct BlankLine {
  int line;
  const char* message;
};
constexpr BlankLine kBlankLines[] = {
    {2, "ERROR: - line #1 not blank"},
    {5, "ERROR: - line #4 not blank"},
    {11, "ERROR: - line #10 not blank"},
    {16, "ERROR: - line #16 not blank"},
};

const std::string& Line(const std::vector<std::string>& lines, int number) {
  return lines[static_cast<std::size_t>(number - 1)];
}

bool HasHexExtension(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  const std::string ext = path.substr(dot);
  return ext == ".hex" || ext == ".h86";
}

TBaudRate BaudFromValue(std::int32_t v) {
  for (int i = 0; i < kBaudRateCount; ++i)
    if (kBaudRateValues[i] == v) return static_cast<TBaudRate>(i);
  return br115200;  // not reached: the value comes from kBaudChoices
}

std::string Address(std::uint32_t a) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%05X", static_cast<unsigned>(a));
  return buf;
}

}  // namespace

bool ParseConfigLines(const std::vector<std::string>& lines, AppConfig& out, std::string& message) {
  char buf[160];
  if (lines.size() != static_cast<std::size_t>(kConfigFileLines)) {
    std::snprintf(buf, sizeof buf, "ERROR: - invalid confguration file size, got %zu lines, expected %d", lines.size(),
                  kConfigFileLines);
    message = buf;
    return false;
  }
  for (const BlankLine& b : kBlankLines) {
    if (!Line(lines, b.line).empty()) {
      message = b.message;
      return false;
    }
  }
  if (Line(lines, 1) != kConfigFileHeader) {
    message = "ERROR: - invalid header";
    return false;
  }
  std::int32_t major = 0, minor = 0;
  if (ParseIntField(Line(lines, 3), "vers_major: ", 0, 999, major) != FieldOk) {
    message = "ERROR: - invalid vers_major: field";
    return false;
  }
  if (ParseIntField(Line(lines, 4), "vers_minor: ", 0, 999, minor) != FieldOk) {
    message = "ERROR: - invalid vers_minor: field";
    return false;
  }
  if (major != 1 || minor != 3) {
    std::snprintf(buf, sizeof buf, "ERROR: - invalid configuration file version, got V%d.%d, expected V%d.%d",
                  static_cast<int>(major), static_cast<int>(minor), 1, 3);
    message = buf;
    return false;
  }

  std::int32_t port = 0, baud = 0, dataBits = 0, stopBits = 0, appStart = 0, profileStart = 0;
  std::string parity, hexFile, splDir;
  if (ParseIntField(Line(lines, 6), "com_port: ", 1, 32, port) != FieldOk) {
    message = "ERROR: - invalid com_port: field";
    return false;
  }
  if (ParseIntChoiceField(Line(lines, 7), "baud_rate: ", kBaudChoices, 8, baud) != FieldOk) {
    message = "ERROR: - invalid baud_rate: field";
    return false;
  }
  if (ParseIntChoiceField(Line(lines, 8), "data_bits: ", kDataBitsChoices, 2, dataBits) != FieldOk) {
    message = "ERROR: - invalid data_bits: field";
    return false;
  }
  if (ParseTextChoiceField(Line(lines, 9), "parity: ", kParityChoices, 3, parity) != FieldOk) {
    message = "ERROR: - invalid parity: field";
    return false;
  }
  if (ParseIntChoiceField(Line(lines, 10), "stop_bits: ", kStopBitsChoices, 2, stopBits) != FieldOk) {
    message = "ERROR: - invalid stop_bits: field";
    return false;
  }
  if (ParseTextField(Line(lines, 12), "hex_file: ", 0, kMaxPathText, hexFile) != FieldOk) {
    message = "ERROR: - invalid hex_file: field";
    return false;
  }
  if (!hexFile.empty() && !HasHexExtension(hexFile)) {
    message = "ERROR: - invalid hex file extension";
    return false;
  }
  // A flash address cannot be negative: refused like any other bad address.
  if (ParseMultipleField(Line(lines, 13), "app_start_address: ", 6144, 12288, kAddressStep, appStart) != FieldOk ||
      appStart < 0) {
    message = "ERROR: - invalid app_start_address: field";
    return false;
  }
  if (ParseMultipleField(Line(lines, 14), "motor_profile_start_address: ", 14336, 20480, kAddressStep, profileStart) !=
          FieldOk ||
      profileStart < 0) {
    message = "ERROR: - invalid motor_profile_start_address: field";
    return false;
  }
  if (ParseTextField(Line(lines, 15), "spl_file_dir: ", 0, kMaxPathText, splDir) != FieldOk) {
    message = "ERROR: - spl_file_dir: field";
    return false;
  }

  AppConfig c;
  c.com_port = port;
  c.baud_rate = BaudFromValue(baud);
  c.data_bits = dataBits == 7 ? db7 : db8;
  c.parity = parity == "odd" ? paOdd : parity == "even" ? paEven : paNone;
  c.stop_bits = stopBits == 2 ? sb2 : sb1;
  c.hex_file = hexFile;
  c.app_start_address = static_cast<std::uint32_t>(appStart);
  c.motor_profile_start_address = static_cast<std::uint32_t>(profileStart);
  c.spl_file_dir = splDir;
  out = c;
  return true;
}

bool ReadConfigFile(const std::string& path, AppConfig& out, std::string& message) {
  std::vector<std::string> lines;
  std::string err;
  if (!ReadTextLines(path, lines, err, "configuration file")) {
    message = "ERROR: - " + err;
    return false;
  }
  return ParseConfigLines(lines, out, message);
}

std::vector<std::string> ConfigFileLines(const AppConfig& c) {
  return {
      kConfigFileHeader,
      "",
      "vers_major: 1",
      "vers_minor: 3",
      "",
      "com_port: " + std::to_string(c.com_port),
      "baud_rate: " + BaudRateStr(c.baud_rate),
      "data_bits: " + DataBitsStr(c.data_bits),
      "parity: " + ParityStr(c.parity),
      "stop_bits: " + StopBitsStr(c.stop_bits),
      "",
      "hex_file: " + c.hex_file,
      "app_start_address: " + Address(c.app_start_address),
      "motor_profile_start_address: " + Address(c.motor_profile_start_address),
      "spl_file_dir: " + c.spl_file_dir,
      "",
  };
}

bool WriteConfigFile(const std::string& path, const AppConfig& c, std::string& message) {
  std::string err;
  if (!WriteTextLinesAtomic(path, ConfigFileLines(c), err, "configuration file")) {
    message = "ERROR: - " + err;
    return false;
  }
  return true;
}

}  // namespace mv
