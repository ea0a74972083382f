#include "profiles/motor_profile.h"

#include <algorithm>
#include <cstring>

namespace mv {

const ScalarField kScalarFields[kScalarFieldCount] = {
    {"cont_under_voltage_trip", off::cont_under_voltage_trip, 250, 550, 350, 9},
    {"cont_over_voltage_trip", off::cont_over_voltage_trip, 250, 550, 510, 10},
    {"cont_over_temp_trip", off::cont_over_temp_trip, 30, 100, 80, 11},
    {"cont_over_temp_reset", off::cont_over_temp_reset, 30, 100, 75, 12},
    {"cont_pwm_freq", off::cont_pwm_freq, 20, 120, 90, 13},
    {"cont_braking_ratio", off::cont_braking_ratio, 1, 100, 8, 14},
    {"cont_io_input1_edge", off::cont_io_input1_edge, 0, 1, 0, 16},
    {"cont_io_input2_edge", off::cont_io_input2_edge, 0, 1, 0, 17},
    {"cont_io_output1_edge", off::cont_io_output1_edge, 0, 1, 0, 18},
    {"cont_io_output2_edge", off::cont_io_output2_edge, 0, 1, 0, 19},
    {"cont_io_output3_edge", off::cont_io_output3_edge, 0, 1, 0, 20},
    {"cont_io_output4_edge", off::cont_io_output4_edge, 0, 1, 0, 21},
    {"cont_io_analogue_input_scaling", off::cont_io_analogue_input_scaling, 0, 4095, 100, 22},
    {"motor_type", off::motor_type, 0, 1, 0, 24},
    {"motor_over_current_trip", off::motor_over_current_trip, 10, 350, 250, 25},
    {"motor_over_power_trip", off::motor_over_power_trip, 20, 1200, 480, 26},
    {"motor_dec_step", off::motor_dec_step, 1, 25, 1, 27},
    {"motor_acc_step", off::motor_acc_step, 1, 25, 2, 28},
    {"motor_dec_acc_period", off::motor_dec_acc_period, 1, 50, 10, 29},
    {"motor_speed_min", off::motor_speed_min, 200, 2000, 600, 30},
    {"motor_speed_max", off::motor_speed_max, 200, 10000, 7500, 31},
    {"motor_temp_resistance_min", off::motor_temp_resistance_min, 100, 50000, 500, 32},
    {"motor_temp_resistance_max", off::motor_temp_resistance_max, 100, 50000, 600, 33},
    {"motor_temp_enable", off::motor_temp_enable, 0, 1, 0, 34},
    {"motor_pole_pairs", off::motor_pole_pairs, 1, 12, 1, 35},
    {"motor_dc_start_mdc", off::motor_dc_start_mdc, 10, 255, 100, 37},
    {"motor_dc_degauss_count", off::motor_dc_degauss_count, 2, 32, 2, 38},
    {"motor_dc_bemf_sum", off::motor_dc_bemf_sum, 250, 20000, 1500, 39},
    {"motor_dc_pid_freq", off::motor_dc_pid_freq, 64, 512, 256, 40},
    {"motor_dc_pid_kp_mult", off::motor_dc_pid_kp_mult, 0, 100, 2, 41},
    {"motor_dc_pid_kp_div", off::motor_dc_pid_kp_div, 0, 6, 0, 42},
    {"motor_dc_pid_ki_mult", off::motor_dc_pid_ki_mult, 0, 100, 10, 43},
    {"motor_dc_pid_ki_div", off::motor_dc_pid_ki_div, 0, 6, 0, 44},
    {"motor_ac_current_no_load", off::motor_ac_current_no_load, 5, 300, 7, 46},
    {"motor_ac_current_max_load", off::motor_ac_current_max_load, 5, 300, 100, 47},
};

const VfArray kVfArrays[kVfArrayCount] = {
    {"motor_ac_vf_data_speed",
     off::motor_ac_vf_data_speed,
     24000,
     71,
     {0, 250, 600, 800, 1000, 2000, 3000, 4000, 5000, 6000, 8000, 10000},
     48},
    {"motor_ac_vf_data_voltage_no_load",
     off::motor_ac_vf_data_voltage_no_load,
     480,
     47,
     {60, 60, 60, 60, 70, 120, 170, 230, 290, 340, 410, 480},
     49},
    {"motor_ac_vf_data_voltage_max_load",
     off::motor_ac_vf_data_voltage_max_load,
     480,
     47,
     {200, 200, 200, 210, 230, 280, 350, 400, 480, 480, 480, 480},
     50},
    {"motor_ac_vf_data_speed_loss_no_load",
     off::motor_ac_vf_data_speed_loss_no_load,
     2000,
     59,
     {50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50},
     51},
    {"motor_ac_vf_data_speed_loss_max_load",
     off::motor_ac_vf_data_speed_loss_max_load,
     2000,
     59,
     {125, 125, 125, 125, 500, 500, 500, 500, 500, 600, 600, 600},
     52},
};

std::string MotorProfile::Text(std::size_t offset, std::size_t width) const {
  const auto* begin = bytes.data() + offset;
  const auto* end = std::find(begin, begin + width, std::uint8_t{0});
  return std::string(begin, end);
}

void MotorProfile::SetText(std::size_t offset, std::size_t width, const std::string& s) {
  std::memset(bytes.data() + offset, 0, width);
  std::memcpy(bytes.data() + offset, s.data(), std::min(s.size(), width - 1));
}

std::uint16_t profileChecksum(const std::uint8_t* record) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < kProfileDataSize; ++i) sum = static_cast<std::uint16_t>(sum + record[i]);
  return static_cast<std::uint16_t>(~sum + 1);
}

MotorProfile MotorProfileDefaults(int slotIndex) {
  MotorProfile p;
  p.SetName(std::string("P0") + static_cast<char>('1' + std::clamp(slotIndex, 0, 8)));
  p.SetComment("Default");
  for (const auto& f : kScalarFields) p.SetU16(f.offset, f.def);
  for (const auto& a : kVfArrays)
    for (std::size_t i = 0; i < kVfPoints; ++i) p.SetVf(a.offset, i, a.def[i]);
  UpdateChecksum(p);
  return p;
}

void FillSlotProfileBlock(SlotProfileBlock& block, std::uint8_t slotIndex, const MotorProfile& p) {
  block[0] = slotIndex;
  std::memcpy(block.data() + 1, p.bytes.data(), kProfileSize);
}

std::string ProfileToHex(const MotorProfile& p) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(2 * kProfileSize);
  for (auto b : p.bytes) {
    s.push_back(digits[b >> 4]);
    s.push_back(digits[b & 0xF]);
  }
  return s;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ProfileFromHex(const std::string& hex, MotorProfile& out) {
  if (hex.size() != 2 * kProfileSize) return false;
  MotorProfile p;
  for (std::size_t i = 0; i < kProfileSize; ++i) {
    int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    p.bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  out = p;
  return true;
}

}  // namespace mv
