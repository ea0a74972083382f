// The three-way profile comparison: every byte of the record in exactly one
// row, values in the editor's units, differences found on the raw bytes.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "profiles/motor_profile.h"
#include "profiles/profile_compare.h"

namespace {

using mv::CompareFields;
using mv::FindCompareField;
using mv::MotorProfile;
using mv::ProfileCompare;

std::string Text(const char* key, const MotorProfile& p) {
  const mv::CompareField* f = FindCompareField(key);
  EXPECT_NE(f, nullptr) << key;
  return f ? mv::CompareValueText(*f, p) : std::string();
}

std::string WithUnit(const char* key, const MotorProfile& p) {
  const mv::CompareField* f = FindCompareField(key);
  EXPECT_NE(f, nullptr) << key;
  return f ? mv::CompareValueWithUnit(*f, p) : std::string();
}

TEST(ProfileCompareRows, EveryByteOfTheRecordBelongsToExactlyOneRowInFileOrder) {
  const auto& rows = CompareFields();
  ASSERT_EQ(rows.size(), 2u + mv::kScalarFieldCount + mv::kVfArrayCount * mv::kVfPoints + 1u);
  int owner[mv::kProfileSize];
  for (int& o : owner) o = -1;
  std::set<std::string> keys;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    EXPECT_TRUE(keys.insert(rows[r].key).second) << "duplicate key " << rows[r].key;
    EXPECT_FALSE(rows[r].label.empty()) << rows[r].key;
    for (std::size_t b = rows[r].offset; b < rows[r].offset + rows[r].width; ++b) {
      ASSERT_LT(b, mv::kProfileSize) << rows[r].key;
      EXPECT_EQ(owner[b], -1) << "byte " << b << " in " << rows[r].key << " and row " << owner[b];
      owner[b] = static_cast<int>(r);
    }
  }
  for (std::size_t b = 0; b < mv::kProfileSize; ++b) EXPECT_NE(owner[b], -1) << "byte " << b << " in no row";

  // The profile file's order: name, comment, lines 9..47, the V/F lines, checksum.
  EXPECT_EQ(rows.front().key, "name");
  EXPECT_EQ(rows[1].key, "comment");
  for (std::size_t i = 0; i < mv::kScalarFieldCount; ++i) EXPECT_EQ(rows[2 + i].key, mv::kScalarFields[i].key);
  EXPECT_EQ(rows[2 + mv::kScalarFieldCount].key, "motor_ac_vf_data_speed[0]");
  EXPECT_EQ(rows[rows.size() - 2].key, "motor_ac_vf_data_speed_loss_max_load[11]");
  EXPECT_EQ(rows.back().key, "checksum");
}

TEST(ProfileCompareRows, ChangingOneFieldMakesThatRowAndNoOtherDiffer) {
  const MotorProfile base = mv::MotorProfileDefaults(0);
  for (int row = 0; row < static_cast<int>(CompareFields().size()); ++row) {
    const mv::CompareField& f = CompareFields()[static_cast<std::size_t>(row)];
    MotorProfile changed = base;
    changed.bytes[f.offset + f.width - 1] ^= 0x01;  // last byte: the padding end for texts
    ProfileCompare c;
    c.SetSide(0, base);
    c.SetSide(2, changed);
    EXPECT_EQ(c.Differences(0, 2), std::vector<int>{row}) << f.key;
    EXPECT_EQ(c.Differences(), std::vector<int>{row}) << f.key;
  }
}

TEST(ProfileCompareValues, ShownInTheEditorsUnits) {
  const MotorProfile p = mv::MotorProfileDefaults(0);
  EXPECT_EQ(WithUnit("name", p), "\"P01\"");
  EXPECT_EQ(WithUnit("comment", p), "\"Default\"");
  EXPECT_EQ(WithUnit("cont_under_voltage_trip", p), "35.0 V");
  EXPECT_EQ(WithUnit("cont_over_voltage_trip", p), "51.0 V");
  EXPECT_EQ(WithUnit("cont_over_temp_trip", p), "80 C");
  EXPECT_EQ(WithUnit("cont_pwm_freq", p), "90 KHz");
  EXPECT_EQ(WithUnit("cont_braking_ratio", p), "8");
  EXPECT_EQ(WithUnit("motor_over_current_trip", p), "25.0 A");
  EXPECT_EQ(WithUnit("motor_speed_min", p), "6000 RPM");
  EXPECT_EQ(WithUnit("motor_speed_max", p), "75000 RPM");
  EXPECT_EQ(WithUnit("motor_ac_current_no_load", p), "0.7 A");
  EXPECT_EQ(WithUnit("motor_ac_vf_data_speed[11]", p), "100000 RPM");
  EXPECT_EQ(Text("motor_ac_vf_data_voltage_no_load[0]", p), "6.0");
  EXPECT_EQ(Text("motor_ac_vf_data_voltage_max_load[8]", p), "48.0");
  EXPECT_EQ(Text("motor_ac_vf_data_speed_loss_max_load[4]", p), "5000");
  EXPECT_EQ(Text("cont_io_input1_edge", p), "-ve edge");
  EXPECT_EQ(Text("motor_type", p), "DC");
  EXPECT_EQ(Text("motor_temp_enable", p), "off");
  EXPECT_EQ(WithUnit("checksum", p), "54716");
  EXPECT_EQ(FindCompareField("cont_pwm_freq")->label, "PWM Frequency (KHz)");
  EXPECT_EQ(FindCompareField("cont_pwm_freq")->group, "Controller");
  EXPECT_EQ(FindCompareField("motor_ac_vf_data_speed[0]")->group, "V/F Data");
  EXPECT_EQ(FindCompareField("no_such_field"), nullptr);
}

TEST(ProfileCompareValues, ValuesTheEditorCannotShowAreStillTold) {
  MotorProfile p = mv::MotorProfileDefaults(1);
  p.SetU16(mv::off::cont_io_output2_edge, 1);
  p.SetU16(mv::off::motor_type, 1);
  p.SetU16(mv::off::motor_temp_enable, 1);
  EXPECT_EQ(Text("cont_io_output2_edge", p), "+ve edge");
  EXPECT_EQ(Text("motor_type", p), "AC");
  EXPECT_EQ(Text("motor_temp_enable", p), "on");
  // From a drive anything may come.
  p.SetU16(mv::off::cont_io_output2_edge, 7);
  p.SetU16(mv::off::motor_type, 2);
  p.SetU16(mv::off::motor_temp_enable, 300);
  EXPECT_EQ(Text("cont_io_output2_edge", p), "7 (no such item)");
  EXPECT_EQ(Text("motor_type", p), "2 (no such item)");
  EXPECT_EQ(Text("motor_temp_enable", p), "on (300)");
  // The stored checksum no longer matches the data.
  const std::uint16_t stored = p.Checksum();
  EXPECT_EQ(Text("checksum", p),
            std::to_string(stored) + " (invalid, expected " + std::to_string(mv::profileChecksum(p)) + ")");
  // Latin-1 text comes out as UTF-8, control characters escaped.
  p.SetName(std::string("Mot\xE9\x01", 5));
  EXPECT_EQ(Text("name", p), "Mot\xC3\xA9\\x01");
  // Padding after the name that is not zero is said, and makes the row differ.
  MotorProfile padded = mv::MotorProfileDefaults(0);
  padded.bytes[mv::off::name + 10] = 'X';
  EXPECT_EQ(Text("name", padded), "P01 [non-zero padding]");
  ProfileCompare c;
  c.SetSide(0, mv::MotorProfileDefaults(0));
  c.SetSide(1, padded);
  EXPECT_EQ(c.Differences(), std::vector<int>{0});
}

TEST(ProfileCompareSides, DifferencesOnlyAmongSidesThatArePresent) {
  const MotorProfile slot = mv::MotorProfileDefaults(2);
  MotorProfile drive = slot;
  drive.SetU16(mv::off::cont_pwm_freq, 100);
  mv::UpdateChecksum(drive);
  const int pwmRow = static_cast<int>(FindCompareField("cont_pwm_freq") - CompareFields().data());
  const int sumRow = static_cast<int>(CompareFields().size()) - 1;

  ProfileCompare c;
  EXPECT_TRUE(c.Differences().empty());
  c.SetSide(0, slot);
  EXPECT_TRUE(c.Differences().empty());  // one side alone differs from nothing
  EXPECT_EQ(c.Text(pwmRow, 1), "");      // empty side
  EXPECT_EQ(c.Text(pwmRow, 0), "90");
  EXPECT_EQ(c.Text(-1, 0), "");
  EXPECT_EQ(c.Text(c.RowCount(), 0), "");

  c.SetSide(1, drive);
  EXPECT_EQ(c.Differences(), (std::vector<int>{pwmRow, sumRow}));
  EXPECT_EQ(c.Text(pwmRow, 1), "100");

  // A file equal to the slot: the rows still differ because the drive does.
  c.SetSide(2, slot);
  EXPECT_EQ(c.Differences(), (std::vector<int>{pwmRow, sumRow}));
  EXPECT_TRUE(c.Differences(0, 2).empty());
  EXPECT_EQ(c.Differences(1, 2), (std::vector<int>{pwmRow, sumRow}));

  c.ClearSide(1);
  EXPECT_TRUE(c.Differences().empty());
  EXPECT_TRUE(c.Differences(0, 1).empty());
  EXPECT_FALSE(c.HasSide(1));
  EXPECT_EQ(c.Side(1), nullptr);
  c.SetSide(3, drive);  // no such side
  c.SetSide(-1, drive);
  EXPECT_TRUE(c.Differences().empty());
}

}  // namespace
