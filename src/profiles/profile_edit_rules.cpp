#include "profiles/profile_edit_rules.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/field_parse.h"

namespace mv {

const char* const kEditTabCaptions[kEditTabCount] = {"Controller", "Controller I/O", "Motor", "DC Motor", "AC Motor"};

namespace {
constexpr EditKind kInt = EditKind::Integer;
constexpr EditKind kSpd = EditKind::Speed;
constexpr EditKind kTen = EditKind::Tenths;
constexpr MotorGroup kAll = MotorGroup::Both;
constexpr MotorGroup kDC = MotorGroup::DC;
constexpr MotorGroup kAC = MotorGroup::AC;
}  // namespace

const NumericEdit kNumericEdits[kNumericEditCount] = {
    {"ContTempTripLabeledEdit", "Over Temp. Trip (C)", EditTab::Controller, off::cont_over_temp_trip, 30, 100, kInt,
     kAll},
    {"ContTempResetLabeledEdit", "Reset Temp. Trip (C)", EditTab::Controller, off::cont_over_temp_reset, 30, 100, kInt,
     kAll},
    {"ContUnderVoltageTripLabeledEdit", "Under Voltage Trip (V)", EditTab::Controller, off::cont_under_voltage_trip,
     250, 550, kTen, kAll},
    {"ContOverVoltageTripLabeledEdit", "Over Voltage Trip (V)", EditTab::Controller, off::cont_over_voltage_trip, 250,
     550, kTen, kAll},
    {"ContPWMFreqLabeledEdit", "PWM Frequency (KHz)", EditTab::Controller, off::cont_pwm_freq, 20, 120, kInt, kAll},
    {"ContBrakingRatioLabeledEdit", "Braking Ratio", EditTab::Controller, off::cont_braking_ratio, 1, 100, kInt, kAll},
    {"ContAnalogueInputScalingLabeledEdit", "Analogue Input Scaling (RPM/V)", EditTab::ControllerIO,
     off::cont_io_analogue_input_scaling, 0, 4095, kInt, kAll},
    {"MotOverCurrentTripLabeledEdit", "Over Current Trip (A)", EditTab::Motor, off::motor_over_current_trip, 10, 350,
     kTen, kAll},
    {"MotOverPowerTripLabeledEdit", "Over Power Trip (W)", EditTab::Motor, off::motor_over_power_trip, 20, 1200, kInt,
     kAll},
    {"MotDecRateLabeledEdit", "Deceleration (Hz)", EditTab::Motor, off::motor_dec_step, 1, 25, kInt, kAll},
    {"MotAccRateLabeledEdit", "Acceleration (Hz)", EditTab::Motor, off::motor_acc_step, 1, 25, kInt, kAll},
    {"MotDecAccPeriodLabeledEdit", "Dec./Acc. Period (mS)", EditTab::Motor, off::motor_dec_acc_period, 1, 50, kInt,
     kAll},
    {"MotTempMinResistanceLabeledEdit", "Minimum Resistance (R)", EditTab::Motor, off::motor_temp_resistance_min, 100,
     50000, kInt, kAll},
    {"MotTempMaxResistanceLabeledEdit", "Maximum Resistance (R)", EditTab::Motor, off::motor_temp_resistance_max, 100,
     50000, kInt, kAll},
    {"MotSpeedMinLabeledEdit", "Minimum Speed (RPM)", EditTab::Motor, off::motor_speed_min, 2000, 20000, kSpd, kAll},
    {"MotSpeedMaxLabeledEdit", "Maximum Speed (RPM)", EditTab::Motor, off::motor_speed_max, 2000, 100000, kSpd, kAll},
    {"MotPolePairsLabeledEdit", "Pole Pairs", EditTab::Motor, off::motor_pole_pairs, 1, 12, kInt, kAll},
    {"DCMotStartMDCLabeledEdit", "Start MDC", EditTab::DCMotor, off::motor_dc_start_mdc, 10, 255, kInt, kDC},
    {"DCMotDegaussLabeledEditLabeledEdit", "Degauss Count", EditTab::DCMotor, off::motor_dc_degauss_count, 2, 32, kInt,
     kDC},
    {"DCMotBEMFSumLabeledEdit", "BEMF Sum", EditTab::DCMotor, off::motor_dc_bemf_sum, 250, 20000, kInt, kDC},
    {"DCMotPIDFreqLabeledEdit", "PID Frequency (Hz)", EditTab::DCMotor, off::motor_dc_pid_freq, 64, 512, kInt, kDC},
    {"DCMotPIDKpMultLabeledEdit", "PID Kp Multiplier", EditTab::DCMotor, off::motor_dc_pid_kp_mult, 0, 100, kInt, kDC},
    {"DCMotPIDKpDivLabeledEdit", "PID Kp Divisor", EditTab::DCMotor, off::motor_dc_pid_kp_div, 0, 6, kInt, kDC},
    {"DCMotPIDKiMultLabeledEdit", "PID Ki Multiplier", EditTab::DCMotor, off::motor_dc_pid_ki_mult, 0, 100, kInt, kDC},
    {"DCMotPIDKiDivLabeledEdit", "PID Ki Divisor", EditTab::DCMotor, off::motor_dc_pid_ki_div, 0, 6, kInt, kDC},
    {"ACMotCurrentNoLoadLabeledEdit", "No Load Current (A)", EditTab::ACMotor, off::motor_ac_current_no_load, 5, 300,
     kTen, kAC},
    {"ACMotCurrentMaxLoadLabeledEdit", "Max. Load Current (A)", EditTab::ACMotor, off::motor_ac_current_max_load, 5,
     300, kTen, kAC},
};

const EdgeChoice kEdgeChoices[kEdgeChoiceCount] = {
    {"ContDigitalInput1EdgeComboBox", "Input 1", off::cont_io_input1_edge},
    {"ContDigitalInput2EdgeComboBox", "Input 2", off::cont_io_input2_edge},
    {"ContDigitalOutput1EdgeComboBox", "Output 1", off::cont_io_output1_edge},
    {"ContDigitalOutput2EdgeComboBox", "Output 2", off::cont_io_output2_edge},
    {"ContDigitalOutput3EdgeComboBox", "Output 3", off::cont_io_output3_edge},
    {"ContDigitalOutput4EdgeComboBox", "Output 4", off::cont_io_output4_edge},
};

const VfRow kVfRows[kVfRowCount] = {
    {"Speed (RPM)", off::motor_ac_vf_data_speed, 0, 240000, false},
    {"Voltage No Load (Volts)", off::motor_ac_vf_data_voltage_no_load, 0, 480, true},
    {"Voltage Max. Load (Volts)", off::motor_ac_vf_data_voltage_max_load, 0, 480, true},
    {"Speed Loss No Load (RPM)", off::motor_ac_vf_data_speed_loss_no_load, 0, 20000, false},
    {"Speed Loss Max. Load (RPM)", off::motor_ac_vf_data_speed_loss_max_load, 0, 20000, false},
};

const NumericEdit* FindNumericEdit(const std::string& control) {
  for (const auto& f : kNumericEdits)
    if (control == f.control) return &f;
  return nullptr;
}

std::string FormatTenths(std::uint32_t tenths) {
  // Integer arithmetic: exact, and independent of the process locale.
  return std::to_string(tenths / 10) + '.' + static_cast<char>('0' + tenths % 10);
}

namespace {

// A real number in tenths: within [min, max] tenths, times ten with the
// fraction dropped.
std::uint16_t TenthsOf(double v, std::int32_t min, std::int32_t max) {
  v = std::clamp(v, min / 10.0, max / 10.0);
  return static_cast<std::uint16_t>(std::trunc(v * 10.0));
}

// A speed in RPM within [min, max], stored in units of 10 RPM.
std::uint16_t SpeedUnitsOf(double rpm, std::int32_t min, std::int32_t max) {
  return static_cast<std::uint16_t>(
      static_cast<std::int32_t>(std::clamp(rpm, static_cast<double>(min), static_cast<double>(max))) / 10);
}

// Reads a text in tenths: the typed real number (fallback in tenths).
std::uint16_t ClampTenths(const std::string& text, std::int32_t min, std::int32_t max, std::uint16_t fallback) {
  return TenthsOf(ClampRealText(text, min / 10.0, max / 10.0, fallback / 10.0), min, max);
}

// Reads a speed typed in RPM.
std::uint16_t ClampSpeed(const std::string& text, std::int32_t min, std::int32_t max, std::uint16_t fallback) {
  return SpeedUnitsOf(ClampIntText(text, min, max, static_cast<std::int32_t>(fallback) * 10), min, max);
}

bool IsWhole(double v) { return std::isfinite(v) && std::trunc(v) == v; }

std::string SpeedText(std::uint16_t stored) { return std::to_string(static_cast<std::uint32_t>(stored) * 10); }

}  // namespace

std::string NumericEditText(const NumericEdit& f, const MotorProfile& working) {
  const std::uint16_t v = working.U16(f.offset);
  switch (f.kind) {
    case EditKind::Speed: return SpeedText(v);
    case EditKind::Tenths: return FormatTenths(v);
    case EditKind::Integer: break;
  }
  return std::to_string(v);
}

std::string CommitNumericEdit(const NumericEdit& f, const std::string& text, MotorProfile& working,
                              MotorProfile& accepted) {
  switch (f.kind) {
    case EditKind::Integer: {
      const auto v = static_cast<std::uint16_t>(ClampIntText(text, f.min, f.max, accepted.U16(f.offset)));
      working.SetU16(f.offset, v);
      accepted.SetU16(f.offset, v);
      break;
    }
    case EditKind::Speed: {
      const std::uint16_t v = ClampSpeed(text, f.min, f.max, accepted.U16(f.offset));
      working.SetU16(f.offset, v);
      accepted.SetU16(f.offset, v);
      break;
    }
    case EditKind::Tenths: working.SetU16(f.offset, ClampTenths(text, f.min, f.max, working.U16(f.offset))); break;
  }
  return NumericEditText(f, working);
}

bool SetNumericEditValue(const NumericEdit& f, double value, MotorProfile& p) {
  if (std::isnan(value) || (f.kind != EditKind::Tenths && !IsWhole(value) && std::isfinite(value))) return false;
  switch (f.kind) {
    case EditKind::Integer:
      p.SetU16(f.offset,
               static_cast<std::uint16_t>(std::clamp(value, static_cast<double>(f.min), static_cast<double>(f.max))));
      break;
    case EditKind::Speed: p.SetU16(f.offset, SpeedUnitsOf(value, f.min, f.max)); break;
    case EditKind::Tenths: p.SetU16(f.offset, TenthsOf(value, f.min, f.max)); break;
  }
  return true;
}

namespace {

// Replaces the text in a NUL-terminated field: clears the bytes of the text it
// holds now (padding after its NUL is kept as it is) and copies the new text
// and its NUL in, at most width-1 characters.
void ReplaceFieldText(MotorProfile& p, std::size_t offset, std::size_t width, const std::string& text) {
  std::uint8_t* field = p.bytes.data() + offset;
  std::size_t current = 0;
  while (current < width && field[current] != 0) ++current;
  std::memset(field, 0, current);
  const std::size_t n = std::min(text.size(), width - 1);
  std::memcpy(field, text.data(), n);
  field[n] = 0;
}

std::string FieldText(const MotorProfile& p, std::size_t offset, std::size_t width) {
  const std::uint8_t* field = p.bytes.data() + offset;
  std::size_t n = 0;
  while (n < width && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

}  // namespace

std::string CommitTextEdit(TextEdit which, const std::string& text, MotorProfile& working, MotorProfile& accepted) {
  const std::size_t offset = which == TextEdit::Name ? off::name : off::comment;
  const std::size_t width = which == TextEdit::Name ? kNameBytes : kCommentBytes;
  const std::string typed = text.substr(0, text.find('\0'));
  if (typed.empty())
    ReplaceFieldText(working, offset, width, FieldText(accepted, offset, width));
  else
    ReplaceFieldText(working, offset, width, typed);
  const std::string shown = FieldText(working, offset, width);
  ReplaceFieldText(accepted, offset, width, shown);
  return shown;
}

void CommitChoice(std::size_t offset, std::uint16_t value, MotorProfile& working, MotorProfile& accepted) {
  working.SetU16(offset, value);
  accepted.SetU16(offset, value);
}

VfTable VfTableOf(const MotorProfile& p) {
  VfTable t{};
  for (int r = 0; r < kVfRowCount; ++r)
    for (std::size_t c = 0; c < kVfPoints; ++c)
      t[static_cast<std::size_t>(r) * kVfPoints + c] = p.Vf(kVfRows[static_cast<std::size_t>(r)].offset, c);
  return t;
}

void SetVfTable(MotorProfile& p, const VfTable& table) {
  for (int r = 0; r < kVfRowCount; ++r)
    for (std::size_t c = 0; c < kVfPoints; ++c)
      p.SetVf(kVfRows[static_cast<std::size_t>(r)].offset, c, table[static_cast<std::size_t>(r) * kVfPoints + c]);
}

namespace {
bool ValidCell(int row, int column) { return row >= 0 && row < kVfRowCount && column >= 0 && column < kVfColumnCount; }
// Where a valid cell is in the table.
std::size_t CellIndex(int row, int column) {
  return static_cast<std::size_t>(row) * kVfPoints + static_cast<std::size_t>(column);
}
}  // namespace

std::string VfCellText(const VfTable& table, int row, int column) {
  if (!ValidCell(row, column)) return {};
  const std::uint16_t v = table[CellIndex(row, column)];
  return kVfRows[static_cast<std::size_t>(row)].tenths ? FormatTenths(v) : SpeedText(v);
}

bool SetVfCellValue(VfTable& table, int row, int column, double value) {
  if (!ValidCell(row, column) || std::isnan(value)) return false;
  const VfRow& r = kVfRows[static_cast<std::size_t>(row)];
  if (!r.tenths && !IsWhole(value) && std::isfinite(value)) return false;
  table[CellIndex(row, column)] = r.tenths ? TenthsOf(value, r.min, r.max) : SpeedUnitsOf(value, r.min, r.max);
  return true;
}

std::string CommitVfCell(VfTable& table, int row, int column, const std::string& text) {
  if (!ValidCell(row, column)) return {};
  const VfRow& r = kVfRows[static_cast<std::size_t>(row)];
  std::uint16_t& cell = table[CellIndex(row, column)];
  cell = r.tenths ? ClampTenths(text, r.min, r.max, cell) : ClampSpeed(text, r.min, r.max, cell);
  return VfCellText(table, row, column);
}

}  // namespace mv
