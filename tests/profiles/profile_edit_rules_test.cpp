// Commit rules of the profile editor and the V/F table editor.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "core/field_parse.h"
#include "profiles/profile_edit_rules.h"

namespace {

using namespace mv;

struct Copies {
  MotorProfile working = MotorProfileDefaults(0);
  MotorProfile accepted = MotorProfileDefaults(0);
  std::string commit(const char* control, const std::string& text) {
    const NumericEdit* f = FindNumericEdit(control);
    EXPECT_NE(f, nullptr) << control;
    return f ? CommitNumericEdit(*f, text, working, accepted) : std::string();
  }
};

TEST(ProfileEditTable, CoversEveryEditableFieldOnceWithTheRecordRanges) {
  std::set<std::size_t> offsets;
  for (const auto& f : kNumericEdits) {
    EXPECT_TRUE(offsets.insert(f.offset).second) << f.control;
    EXPECT_EQ(FindNumericEdit(f.control), &f);
    // The typed range, in stored units, is the range the profile file accepts.
    const ScalarField* field = nullptr;
    for (const auto& s : kScalarFields)
      if (s.offset == f.offset) field = &s;
    ASSERT_NE(field, nullptr) << f.control;
    const std::int32_t scale = f.kind == EditKind::Speed ? 10 : 1;
    EXPECT_EQ(f.min, field->min * scale) << f.control;
    EXPECT_EQ(f.max, field->max * scale) << f.control;
  }
  // Edge lists, motor type and check box take the remaining scalar fields.
  for (const auto& e : kEdgeChoices) EXPECT_TRUE(offsets.insert(e.offset).second) << e.control;
  EXPECT_TRUE(offsets.insert(off::motor_type).second);
  EXPECT_TRUE(offsets.insert(off::motor_temp_enable).second);
  EXPECT_EQ(offsets.size(), kScalarFieldCount);
}

TEST(ProfileEditCommit, IntegerAndSpeedFieldsClampAndFallBackToTheLastAcceptedValue) {
  Copies c;
  EXPECT_EQ(c.commit("MotPolePairsLabeledEdit", "0"), "1");
  EXPECT_EQ(c.commit("MotPolePairsLabeledEdit", "7"), "7");
  EXPECT_EQ(c.accepted.U16(off::motor_pole_pairs), 7);
  // Letters, a trailing blank, an empty text and a number too wide give the last accepted value.
  for (const char* bad : {"abc", "5 ", "", "99999999999"}) EXPECT_EQ(c.commit("MotPolePairsLabeledEdit", bad), "7");
  EXPECT_EQ(c.commit("MotTempMaxResistanceLabeledEdit", "70000"), "50000");
  EXPECT_EQ(c.commit("MotTempMaxResistanceLabeledEdit", "$100"), "256");
  EXPECT_EQ(c.commit("DCMotPIDKpDivLabeledEdit", "-3"), "0");
  // A drive's value outside the range: the fallback is pulled in as well.
  c.accepted.SetU16(off::cont_pwm_freq, 500);
  EXPECT_EQ(c.commit("ContPWMFreqLabeledEdit", "x"), "120");
  EXPECT_EQ(c.working.U16(off::cont_pwm_freq), 120);

  // Speeds are typed in RPM and stored in tens of RPM, remainder dropped.
  EXPECT_EQ(c.commit("MotSpeedMinLabeledEdit", "1234"), "2000");
  EXPECT_EQ(c.working.U16(off::motor_speed_min), 200);
  EXPECT_EQ(c.commit("MotSpeedMaxLabeledEdit", "99999"), "99990");
  EXPECT_EQ(c.accepted.U16(off::motor_speed_max), 9999);
  EXPECT_EQ(c.commit("MotSpeedMaxLabeledEdit", "250000"), "100000");
  // The fallback is the last accepted value, not what the working copy holds.
  c.working.SetU16(off::motor_speed_max, 1500);
  EXPECT_EQ(c.commit("MotSpeedMaxLabeledEdit", "fast"), "100000");
}

TEST(ProfileEditCommit, TenthsFieldsTruncateReadTheLocaleAndStayInTheWorkingCopy) {
  Copies c;
  EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "60"), "55.0");
  EXPECT_EQ(c.working.U16(off::cont_under_voltage_trip), 550);
  EXPECT_EQ(c.accepted.U16(off::cont_under_voltage_trip), 350);  // last-accepted copy untouched
  EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "35.37"), "35.3");
  EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "volts"), "35.3");  // fallback: the working value
  EXPECT_EQ(c.commit("ACMotCurrentNoLoadLabeledEdit", "0.04"), "0.5");
  EXPECT_EQ(c.working.U16(off::motor_ac_current_no_load), 5);
  // Every one-decimal text in range is stored exactly (no 12.3 -> 12.2 from rounding).
  for (std::uint16_t t = 10; t <= 350; ++t) {
    const std::string typed = FormatTenths(t);
    EXPECT_EQ(c.commit("MotOverCurrentTripLabeledEdit", typed), typed);
    EXPECT_EQ(c.working.U16(off::motor_over_current_trip), t);
  }
  const char saved = DecimalSeparator();
  SetDecimalSeparator(',');
  EXPECT_EQ(c.commit("ContOverVoltageTripLabeledEdit", "42,75"), "42.7");
  EXPECT_EQ(c.commit("ContOverVoltageTripLabeledEdit", "30.5"), "42.7");  // a point is not a number here
  SetDecimalSeparator(saved);
}

TEST(ProfileEditCommit, NameAndCommentFallBackWhenEmptyAndKeepPadding) {
  Copies c;
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "Spindle", c.working, c.accepted), "Spindle");
  EXPECT_EQ(c.accepted.Name(), "Spindle");
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "", c.working, c.accepted), "Spindle");
  // A shorter text leaves no trace of the longer one.
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "AB", c.working, c.accepted), "AB");
  for (std::size_t i = 2; i < kNameBytes; ++i) EXPECT_EQ(c.working.bytes[off::name + i], 0) << i;
  // Too long: cut to 11 and 17 characters, the NUL stays inside the field.
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "ABCDEFGHIJKLMN", c.working, c.accepted), "ABCDEFGHIJK");
  EXPECT_EQ(CommitTextEdit(TextEdit::Comment, std::string(30, 'c'), c.working, c.accepted), std::string(17, 'c'));
  EXPECT_EQ(c.working.bytes[off::comment + 17], 0);
  EXPECT_EQ(c.working.U16(off::cont_under_voltage_trip), 350);  // the next field is untouched

  // Padding after the NUL (as a drive may send it) survives committing the same text.
  MotorProfile w = MotorProfileDefaults(0);
  w.bytes[off::comment + 15] = 0xAA;
  MotorProfile a = w;
  const MotorProfile before = w;
  EXPECT_EQ(CommitTextEdit(TextEdit::Comment, "Default", w, a), "Default");
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "P01", w, a), "P01");
  EXPECT_EQ(w, before);
  // A text with a NUL in it ends there; only a NUL is as good as empty.
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, std::string("AB\0CD", 5), w, a), "AB");
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, std::string("\0CD", 3), w, a), "AB");
}

// A number given by a script lands where the same number typed would, for
// every edit and cell, in range and out of it.
TEST(ProfileEditCommit, NumbersGivenByAScriptFollowTheTypedRules) {
  for (const NumericEdit& f : kNumericEdits) {
    SCOPED_TRACE(f.control);
    const bool tenths = f.kind == EditKind::Tenths;
    for (double v : {-5.0, 0.0, 1.0, 7.0, 35.37, 42.0, 250.0, 1234.0, 6005.0, 99999.0, 250000.0}) {
      if (!tenths && v != static_cast<double>(static_cast<long long>(v))) continue;
      MotorProfile typed = MotorProfileDefaults(0), accepted = typed, given = typed;
      CommitNumericEdit(f, tenths ? std::to_string(v) : std::to_string(static_cast<long long>(v)), typed, accepted);
      ASSERT_TRUE(SetNumericEditValue(f, v, given)) << v;
      EXPECT_EQ(given.U16(f.offset), typed.U16(f.offset)) << v;
    }
  }
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const NumericEdit& poles = *FindNumericEdit("MotPolePairsLabeledEdit");
  const NumericEdit& volts = *FindNumericEdit("ContUnderVoltageTripLabeledEdit");
  MotorProfile p = MotorProfileDefaults(0);
  const MotorProfile before = p;
  EXPECT_FALSE(SetNumericEditValue(poles, 2.5, p));  // a whole-number edit takes no fraction
  EXPECT_FALSE(SetNumericEditValue(volts, std::nan(""), p));
  EXPECT_EQ(p, before);
  EXPECT_TRUE(SetNumericEditValue(volts, kInfinity, p));
  EXPECT_EQ(p.U16(off::cont_under_voltage_trip), 550);
  EXPECT_TRUE(SetNumericEditValue(poles, -kInfinity, p));
  EXPECT_EQ(p.U16(off::motor_pole_pairs), 1);

  for (int row = 0; row < kVfRowCount; ++row) {
    for (double v : {-1.0, 0.0, 12.34, 250.0, 12345.0, 250000.0}) {
      const bool whole = v == static_cast<double>(static_cast<long long>(v));
      VfTable typed = VfTableOf(MotorProfileDefaults(0)), given = typed;
      CommitVfCell(typed, row, 3, whole ? std::to_string(static_cast<long long>(v)) : std::to_string(v));
      if (!kVfRows[row].tenths && !whole) {
        EXPECT_FALSE(SetVfCellValue(given, row, 3, v));
        continue;
      }
      ASSERT_TRUE(SetVfCellValue(given, row, 3, v)) << row << " " << v;
      EXPECT_EQ(given, typed) << row << " " << v;
    }
  }
  VfTable t = VfTableOf(MotorProfileDefaults(0));
  EXPECT_FALSE(SetVfCellValue(t, 5, 0, 1.0));
  EXPECT_FALSE(SetVfCellValue(t, 0, 12, 1.0));
}

TEST(VfTableRules, CellsMapToTheRecordArraysAndClampTruncateAndFallBack) {
  MotorProfile p = MotorProfileDefaults(0);
  VfTable t = VfTableOf(p);
  EXPECT_EQ(VfCellText(t, 0, 11), "100000");
  EXPECT_EQ(VfCellText(t, 2, 3), "21.0");
  EXPECT_EQ(CommitVfCell(t, 0, 3, "250000"), "240000");
  EXPECT_EQ(CommitVfCell(t, 0, 4, "12345"), "12340");
  EXPECT_EQ(CommitVfCell(t, 0, 4, "abc"), "12340");
  EXPECT_EQ(CommitVfCell(t, 1, 0, "50"), "48.0");
  EXPECT_EQ(CommitVfCell(t, 2, 5, "12.34"), "12.3");
  EXPECT_EQ(CommitVfCell(t, 2, 6, "-1"), "0.0");
  EXPECT_EQ(CommitVfCell(t, 3, 11, "-500"), "0");
  EXPECT_EQ(CommitVfCell(t, 4, 11, "99999"), "20000");
  EXPECT_EQ(CommitVfCell(t, 0, 0, "240000"), "240000");  // speeds need not increase

  SetVfTable(p, t);
  EXPECT_EQ(p.Vf(off::motor_ac_vf_data_speed, 3), 24000);
  EXPECT_EQ(p.Vf(off::motor_ac_vf_data_speed, 4), 1234);
  EXPECT_EQ(p.Vf(off::motor_ac_vf_data_voltage_no_load, 0), 480);
  EXPECT_EQ(p.Vf(off::motor_ac_vf_data_voltage_max_load, 5), 123);
  EXPECT_EQ(p.Vf(off::motor_ac_vf_data_speed_loss_max_load, 11), 2000);
  EXPECT_EQ(VfTableOf(p), t);
  EXPECT_EQ(p.U16(off::motor_ac_current_max_load), 100);  // nothing outside the arrays moves

  // A cell outside the table changes nothing.
  const VfTable before = t;
  EXPECT_EQ(CommitVfCell(t, -1, 0, "5"), "");
  EXPECT_EQ(CommitVfCell(t, 5, 0, "5"), "");
  EXPECT_EQ(CommitVfCell(t, 0, 12, "5"), "");
  EXPECT_EQ(t, before);
}

}  // namespace
