#include "profiles/profile_file.h"

#include <cstdio>
#include <cstring>

#include "core/field_parse.h"
#include "core/text_file.h"

namespace mv {

namespace {

constexpr int kBlankLines[] = {2, 5, 8, 15, 23, 36, 45, 53, 55};

// Failure message of each numeric line, in the order of kScalarFields. Only
// some of them carry the word "invalid".
constexpr const char* kScalarMessages[kScalarFieldCount] = {
    "ERROR: - invalid cont_under_voltage_trip: field",
    "ERROR: - invalid cont_over_voltage_trip: field",
    "ERROR: - cont_over_temp_trip: field",
    "ERROR: - cont_over_temp_reset: field",
    "ERROR: - cont_pwm_freq: field",
    "ERROR: - cont_braking_ratio: field",
    "ERROR: - invalid cont_io_input1_edge: field",
    "ERROR: - invalid cont_io_input2_edge: field",
    "ERROR: - invalid cont_io_output1_edge: field",
    "ERROR: - invalid cont_io_output2_edge: field",
    "ERROR: - invalid cont_io_output3_edge: field",
    "ERROR: - invalid cont_io_output4_edge: field",
    "ERROR: - cont_io_analogue_input_scaling: field",
    "ERROR: - motor_type: field",
    "ERROR: - invalid motor_over_current_trip: field",
    "ERROR: - invalid motor_over_power_trip: field",
    "ERROR: - motor_dec_step: field",
    "ERROR: - motor_acc_step: field",
    "ERROR: - motor_dec_acc_period: field",
    "ERROR: - motor_speed_min: field",
    "ERROR: - motor_speed_max: field",
    "ERROR: - motor_temp_resistance_min: field",
    "ERROR: - motor_temp_resistance_max: field",
    "ERROR: - motor_temp_enable: field",
    "ERROR: - motor_pole_pairs: field",
    "ERROR: - motor_dc_start_mdc: field",
    "ERROR: - motor_dc_degauss_count: field",
    "ERROR: - motor_dc_bemf_sum: field",
    "ERROR: - motor_dc_pid_freq: field",
    "ERROR: - motor_dc_pid_kp_mult: field",
    "ERROR: - motor_dc_pid_kp_div: field",
    "ERROR: - motor_dc_pid_ki_mult: field",
    "ERROR: - motor_dc_pid_ki_div: field",
    "ERROR: - motor_ac_current_no_load: field",
    "ERROR: - motor_ac_current_max_load: field",
};

constexpr std::size_t kVfMinTextLength = 23;

const std::string& Line(const std::vector<std::string>& lines, int number) {
  return lines[static_cast<std::size_t>(number - 1)];
}

std::string Key(const char* name) { return std::string(name) + ": "; }

}  // namespace

bool ParseMotorProfileLines(const std::vector<std::string>& lines, MotorProfile& out, std::string& message, int& line) {
  char buf[160];
  line = 0;
  if (lines.size() != static_cast<std::size_t>(kProfileFileLines)) {
    std::snprintf(buf, sizeof buf, "ERROR: - invalid motor profile file size, got %zu lines, expected %d", lines.size(),
                  kProfileFileLines);
    message = buf;
    return false;
  }
  for (int n : kBlankLines) {
    if (!Line(lines, n).empty()) {
      line = n;
      message = "ERROR: - line #" + std::to_string(n) + " not blank";
      return false;
    }
  }
  if (Line(lines, 1) != kProfileFileHeader) {
    line = 1;
    message = "ERROR: - invalid header";
    return false;
  }
  std::uint32_t major = 0, minor = 0;
  if (ParseUnsignedField(Line(lines, 3), "vers_major: ", 0, 999, major) != FieldOk) {
    line = 3;
    message = "ERROR: - invalid vers_major: field";
    return false;
  }
  if (ParseUnsignedField(Line(lines, 4), "vers_minor: ", 0, 999, minor) != FieldOk) {
    line = 4;
    message = "ERROR: - invalid vers_minor: field";
    return false;
  }
  if (major != 1 || minor != 1) {
    line = major != 1 ? 3 : 4;
    std::snprintf(buf, sizeof buf, "ERROR: - invalid configuration file version, got V%u.%u, expected V%d.%d", major,
                  minor, 1, 1);
    message = buf;
    return false;
  }

  MotorProfile p;  // all bytes zero: the padding after name and comment stays zero
  char name[kNameBytes] = {};
  char comment[kCommentBytes] = {};
  if (ParseTextFieldToBuffer(Line(lines, 6), "name: ", 1, static_cast<std::int32_t>(kNameMaxChars), name) != FieldOk) {
    line = 6;
    message = "ERROR: - invalid name: field";
    return false;
  }
  if (ParseTextFieldToBuffer(Line(lines, 7), "comment: ", 0, static_cast<std::int32_t>(kCommentMaxChars), comment) !=
      FieldOk) {
    line = 7;
    message = "ERROR: - invalid comment: field";
    return false;
  }
  std::memcpy(p.bytes.data() + off::name, name, kNameBytes);
  std::memcpy(p.bytes.data() + off::comment, comment, kCommentBytes);

  for (std::size_t i = 0; i < kScalarFieldCount; ++i) {
    const ScalarField& f = kScalarFields[i];
    std::uint16_t v = 0;
    if (ParseU16Field(Line(lines, f.fileLine), Key(f.key), f.min, f.max, v) != FieldOk) {
      line = f.fileLine;
      message = kScalarMessages[i];
      return false;
    }
    p.SetU16(f.offset, v);
  }

  std::vector<std::string> words;
  words.reserve(16);
  for (const VfArray& a : kVfArrays) {
    const std::string prefix = std::string("ERROR: - ") + a.key + ": field";
    std::string text;
    line = a.fileLine;
    if (ParseTextField(Line(lines, a.fileLine), Key(a.key), static_cast<std::int32_t>(kVfMinTextLength),
                       static_cast<std::int32_t>(a.maxTextLength), text) != FieldOk) {
      message = prefix + " length";
      return false;
    }
    words.clear();
    if (SplitFields(text, words) != static_cast<int>(kVfPoints)) {
      message = prefix + " value count";
      return false;
    }
    for (std::size_t i = 0; i < kVfPoints; ++i) {
      std::int32_t v = 0;
      if (!ParseIntInRange(words[i], 0, a.max, v)) {
        message = prefix + " value";
        return false;
      }
      p.SetVf(a.offset, i, static_cast<std::uint16_t>(v));
    }
  }

  std::uint16_t stored = 0;
  line = 54;
  if (ParseU16Field(Line(lines, 54), "checksum: ", 0, 65535, stored) != FieldOk) {
    message = "ERROR: - checksum: field";
    return false;
  }
  const std::uint16_t computed = profileChecksum(p);
  if (computed != stored) {
    std::snprintf(buf, sizeof buf, "ERROR: - Invalid checksum got %u, expected %u", static_cast<unsigned>(stored),
                  static_cast<unsigned>(computed));
    message = buf;
    return false;
  }
  p.SetChecksum(stored);
  out = p;
  line = 0;
  return true;
}

bool ParseMotorProfileLines(const std::vector<std::string>& lines, MotorProfile& out, std::string& message) {
  int line = 0;
  return ParseMotorProfileLines(lines, out, message, line);
}

bool readMotorProfileFile(const std::string& path, MotorProfile& out, std::string& message, int& line) {
  std::vector<std::string> lines;
  std::string err;
  line = 0;
  if (!ReadTextLines(path, lines, err, "motor profile file")) {
    message = "ERROR: - " + err;
    return false;
  }
  return ParseMotorProfileLines(lines, out, message, line);
}

bool readMotorProfileFile(const std::string& path, MotorProfile& out, std::string& message) {
  int line = 0;
  return readMotorProfileFile(path, out, message, line);
}

std::string RefusedProfileFileMessage(const std::string& message, const std::string& path) {
  if (path.empty() || message.find(path) != std::string::npos) return message;
  return message + "\n\nRefused file: " + path;
}

std::vector<std::string> MotorProfileFileLines(const MotorProfile& p) {
  std::vector<std::string> lines(static_cast<std::size_t>(kProfileFileLines));
  auto set = [&lines](int number, std::string text) { lines[static_cast<std::size_t>(number - 1)] = std::move(text); };
  set(1, kProfileFileHeader);
  set(3, "vers_major: 1");
  set(4, "vers_minor: 1");
  set(6, "name: " + p.Name());
  set(7, "comment: " + p.Comment());
  for (const ScalarField& f : kScalarFields) set(f.fileLine, Key(f.key) + std::to_string(p.U16(f.offset)));
  for (const VfArray& a : kVfArrays) {
    std::string text = Key(a.key);
    for (std::size_t i = 0; i < kVfPoints; ++i) {
      if (i > 0) text += ' ';
      text += std::to_string(p.Vf(a.offset, i));
    }
    set(a.fileLine, std::move(text));
  }
  set(54, "checksum: " + std::to_string(p.Checksum()));
  return lines;  // the remaining lines are the blank ones
}

bool writeMotorProfileFile(const std::string& path, const MotorProfile& p, std::string& message) {
  std::string err;
  if (!WriteTextLinesAtomic(path, MotorProfileFileLines(p), err, "motor profile file")) {
    message = "ERROR: - " + err;
    return false;
  }
  return true;
}

}  // namespace mv
