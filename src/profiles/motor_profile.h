// The 222-byte motor profile record shared by the link, the slots, the
// profile files and the SPL image. All numbers are unsigned 16-bit
// little-endian; the last two bytes are the checksum of bytes 0..219.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace mv {

inline constexpr std::size_t kProfileSize = 222;
inline constexpr std::size_t kProfileDataSize = 220;
inline constexpr std::size_t kSlotBlockSize = 223;  // slot index + profile
inline constexpr int kSlotCount = 6;
inline constexpr std::size_t kVfPoints = 12;

// Byte offsets of the record.
namespace off {
inline constexpr std::size_t name = 0;      // 12 bytes, NUL-terminated
inline constexpr std::size_t comment = 12;  // 18 bytes, NUL-terminated
inline constexpr std::size_t cont_under_voltage_trip = 30;
inline constexpr std::size_t cont_over_voltage_trip = 32;
inline constexpr std::size_t cont_over_temp_trip = 34;
inline constexpr std::size_t cont_over_temp_reset = 36;
inline constexpr std::size_t cont_braking_ratio = 38;
inline constexpr std::size_t cont_pwm_freq = 40;
inline constexpr std::size_t cont_io_input1_edge = 42;
inline constexpr std::size_t cont_io_input2_edge = 44;
inline constexpr std::size_t cont_io_output1_edge = 46;
inline constexpr std::size_t cont_io_output2_edge = 48;
inline constexpr std::size_t cont_io_output3_edge = 50;
inline constexpr std::size_t cont_io_output4_edge = 52;
inline constexpr std::size_t cont_io_analogue_input_scaling = 54;
inline constexpr std::size_t motor_type = 56;
inline constexpr std::size_t motor_over_current_trip = 58;
inline constexpr std::size_t motor_over_power_trip = 60;
inline constexpr std::size_t motor_dec_step = 62;
inline constexpr std::size_t motor_acc_step = 64;
inline constexpr std::size_t motor_dec_acc_period = 66;
inline constexpr std::size_t motor_speed_min = 68;
inline constexpr std::size_t motor_speed_max = 70;
inline constexpr std::size_t motor_temp_resistance_min = 72;
inline constexpr std::size_t motor_temp_resistance_max = 74;
inline constexpr std::size_t motor_temp_enable = 76;
inline constexpr std::size_t motor_pole_pairs = 78;
inline constexpr std::size_t motor_dc_start_mdc = 80;
inline constexpr std::size_t motor_dc_degauss_count = 82;
inline constexpr std::size_t motor_dc_bemf_sum = 84;
inline constexpr std::size_t motor_dc_pid_freq = 86;
inline constexpr std::size_t motor_dc_pid_kp_mult = 88;
inline constexpr std::size_t motor_dc_pid_kp_div = 90;
inline constexpr std::size_t motor_dc_pid_ki_mult = 92;
inline constexpr std::size_t motor_dc_pid_ki_div = 94;
inline constexpr std::size_t motor_ac_current_no_load = 96;
inline constexpr std::size_t motor_ac_current_max_load = 98;
inline constexpr std::size_t motor_ac_vf_data_speed = 100;
inline constexpr std::size_t motor_ac_vf_data_voltage_no_load = 124;
inline constexpr std::size_t motor_ac_vf_data_voltage_max_load = 148;
inline constexpr std::size_t motor_ac_vf_data_speed_loss_no_load = 172;
inline constexpr std::size_t motor_ac_vf_data_speed_loss_max_load = 196;
inline constexpr std::size_t checksum = 220;
}  // namespace off

inline constexpr std::size_t kNameBytes = 12;
inline constexpr std::size_t kCommentBytes = 18;
inline constexpr std::size_t kNameMaxChars = 11;
inline constexpr std::size_t kCommentMaxChars = 17;

// One unsigned 16-bit scalar field, in profile-file order (lines 9..47).
struct ScalarField {
  const char* key;     // file key without ": "
  std::size_t offset;  // byte offset in the record
  std::uint16_t min;
  std::uint16_t max;
  std::uint16_t def;
  int fileLine;  // 1-based line in the profile file
};
inline constexpr std::size_t kScalarFieldCount = 35;
extern const ScalarField kScalarFields[kScalarFieldCount];

// One V/F array (12 entries), in file order (lines 48..52).
struct VfArray {
  const char* key;
  std::size_t offset;
  std::uint16_t max;          // each entry 0..max
  std::size_t maxTextLength;  // longest value text in the file
  std::uint16_t def[kVfPoints];
  int fileLine;
};
inline constexpr std::size_t kVfArrayCount = 5;
extern const VfArray kVfArrays[kVfArrayCount];

// The record as raw bytes with explicit little-endian accessors.
struct MotorProfile {
  std::array<std::uint8_t, kProfileSize> bytes{};

  std::uint16_t U16(std::size_t offset) const {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
  }
  void SetU16(std::size_t offset, std::uint16_t v) {
    bytes[offset] = static_cast<std::uint8_t>(v & 0xFF);
    bytes[offset + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  std::uint16_t Vf(std::size_t arrayOffset, std::size_t i) const { return U16(arrayOffset + 2 * i); }
  void SetVf(std::size_t arrayOffset, std::size_t i, std::uint16_t v) { SetU16(arrayOffset + 2 * i, v); }

  // Text up to the first NUL (at most the field's width), bytes as Latin-1 code units.
  std::string Name() const { return Text(off::name, kNameBytes); }
  std::string Comment() const { return Text(off::comment, kCommentBytes); }
  // Zero the field and copy at most width-1 bytes of s.
  void SetName(const std::string& s) { SetText(off::name, kNameBytes, s); }
  void SetComment(const std::string& s) { SetText(off::comment, kCommentBytes, s); }

  std::uint16_t Checksum() const { return U16(off::checksum); }
  void SetChecksum(std::uint16_t v) { SetU16(off::checksum, v); }

  bool operator==(const MotorProfile&) const = default;

 private:
  std::string Text(std::size_t offset, std::size_t width) const;
  void SetText(std::size_t offset, std::size_t width, const std::string& s);
};

// Two's complement of the 16-bit sum of bytes 0..219.
std::uint16_t profileChecksum(const std::uint8_t* record);
inline std::uint16_t profileChecksum(const MotorProfile& p) { return profileChecksum(p.bytes.data()); }
inline bool ProfileChecksumValid(const MotorProfile& p) { return profileChecksum(p) == p.Checksum(); }
// Recompute and store the checksum.
inline void UpdateChecksum(MotorProfile& p) { p.SetChecksum(profileChecksum(p)); }

// Default record of slot index 0..5 (name "P01".."P06", comment "Default", checksum computed).
MotorProfile MotorProfileDefaults(int slotIndex);

// 223-byte link block: slot index then the 222 record bytes as they are.
using SlotProfileBlock = std::array<std::uint8_t, kSlotBlockSize>;
void FillSlotProfileBlock(SlotProfileBlock& block, std::uint8_t slotIndex, const MotorProfile& p);

// Lower-case hex of the 222 bytes and back (444 digits; false on bad text).
std::string ProfileToHex(const MotorProfile& p);
bool ProfileFromHex(const std::string& hex, MotorProfile& out);

}  // namespace mv
