// Commit rules of the profile editor and the V/F table editor.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/field_parse.h"
#include "profiles/profile_edit_rules.h"

namespace {

using namespace mv;

const NumericEdit& edit(const char* control) {
  const NumericEdit* f = FindNumericEdit(control);
  EXPECT_NE(f, nullptr) << control;
  return f ? *f : kNumericEdits[0];
}

// Keeps the process-wide separator as the tests found it.
class SeparatorGuard {
 public:
  explicit SeparatorGuard(char sep) : saved_(DecimalSeparator()) { SetDecimalSeparator(sep); }
  ~SeparatorGuard() { SetDecimalSeparator(saved_); }

 private:
  char saved_;
};

struct Copies {
  MotorProfile working = MotorProfileDefaults(0);
  MotorProfile accepted = MotorProfileDefaults(0);
  std::string commit(const char* control, const std::string& text) {
    return CommitNumericEdit(edit(control), text, working, accepted);
  }
};

TEST(ProfileEditTable, CoversEveryEditableFieldOnceWithTheRecordRanges) {
  std::set<std::size_t> offsets;
  std::set<std::string> names;
  for (const auto& f : kNumericEdits) {
    EXPECT_TRUE(offsets.insert(f.offset).second) << f.control;
    EXPECT_TRUE(names.insert(f.control).second) << f.control;
    // The value range, converted to stored units, is the range the profile file accepts.
    const ScalarField* field = nullptr;
    for (const auto& s : kScalarFields)
      if (s.offset == f.offset) field = &s;
    ASSERT_NE(field, nullptr) << f.control;
    const std::int32_t scale = f.kind == EditKind::Speed ? 10 : 1;
    EXPECT_EQ(f.min, field->min * scale) << f.control;
    EXPECT_EQ(f.max, field->max * scale) << f.control;
  }
  // With the six edge lists, the motor type and the check box every scalar field has one control.
  EXPECT_EQ(kNumericEditCount + kEdgeChoiceCount + 2, kScalarFieldCount);
  for (const auto& e : kEdgeChoices) EXPECT_TRUE(offsets.insert(e.offset).second) << e.control;
  EXPECT_EQ(offsets.count(off::motor_type), 0u);
  EXPECT_EQ(offsets.count(off::motor_temp_enable), 0u);
  EXPECT_EQ(FindNumericEdit("NoSuchLabeledEdit"), nullptr);
}

TEST(ProfileEditTable, ShowsStoredValuesInEngineeringUnits) {
  const MotorProfile p = MotorProfileDefaults(2);
  EXPECT_EQ(NumericEditText(edit("ContUnderVoltageTripLabeledEdit"), p), "35.0");
  EXPECT_EQ(NumericEditText(edit("MotOverCurrentTripLabeledEdit"), p), "25.0");
  EXPECT_EQ(NumericEditText(edit("ACMotCurrentNoLoadLabeledEdit"), p), "0.7");
  EXPECT_EQ(NumericEditText(edit("MotSpeedMinLabeledEdit"), p), "6000");
  EXPECT_EQ(NumericEditText(edit("MotSpeedMaxLabeledEdit"), p), "75000");
  EXPECT_EQ(NumericEditText(edit("DCMotBEMFSumLabeledEdit"), p), "1500");
  EXPECT_EQ(FormatTenths(0), "0.0");
  EXPECT_EQ(FormatTenths(65535), "6553.5");
}

TEST(ProfileEditCommit, IntegerFieldsClampAndFallBackToTheLastAcceptedValue) {
  Copies c;
  EXPECT_EQ(c.commit("MotPolePairsLabeledEdit", "0"), "1");
  EXPECT_EQ(c.commit("MotPolePairsLabeledEdit", "7"), "7");
  EXPECT_EQ(c.working.u16(off::motor_pole_pairs), 7);
  EXPECT_EQ(c.accepted.u16(off::motor_pole_pairs), 7);
  // Letters, a trailing blank and an empty text give the last accepted value back.
  EXPECT_EQ(c.commit("MotPolePairsLabeledEdit", "abc"), "7");
  EXPECT_EQ(c.commit("MotPolePairsLabeledEdit", "5 "), "7");
  EXPECT_EQ(c.commit("MotPolePairsLabeledEdit", ""), "7");
  EXPECT_EQ(c.commit("MotTempMaxResistanceLabeledEdit", "99999999999"), "600");  // does not fit: not a number
  EXPECT_EQ(c.commit("MotTempMaxResistanceLabeledEdit", "70000"), "50000");
  EXPECT_EQ(c.commit("MotTempMaxResistanceLabeledEdit", "$100"), "256");
  EXPECT_EQ(c.commit("DCMotPIDKpDivLabeledEdit", "-3"), "0");
  // A value from the controller outside the range: the fallback is pulled in too.
  c.working.setU16(off::cont_pwm_freq, 500);
  c.accepted.setU16(off::cont_pwm_freq, 500);
  EXPECT_EQ(c.commit("ContPWMFreqLabeledEdit", "x"), "120");
  EXPECT_EQ(c.working.u16(off::cont_pwm_freq), 120);
}

TEST(ProfileEditCommit, SpeedFieldsAreTypedInRpmAndStoredInTensOfRpm) {
  Copies c;
  EXPECT_EQ(c.commit("MotSpeedMinLabeledEdit", "1234"), "2000");
  EXPECT_EQ(c.working.u16(off::motor_speed_min), 200);
  EXPECT_EQ(c.commit("MotSpeedMaxLabeledEdit", "99999"), "99990");
  EXPECT_EQ(c.working.u16(off::motor_speed_max), 9999);
  EXPECT_EQ(c.accepted.u16(off::motor_speed_max), 9999);
  EXPECT_EQ(c.commit("MotSpeedMaxLabeledEdit", "7505"), "7500");
  EXPECT_EQ(c.commit("MotSpeedMaxLabeledEdit", "250000"), "100000");
  EXPECT_EQ(c.commit("MotSpeedMaxLabeledEdit", "fast"), "100000");
  // The fallback is the last accepted value, not what the working copy holds.
  c.working.setU16(off::motor_speed_min, 1500);
  EXPECT_EQ(c.commit("MotSpeedMinLabeledEdit", "?"), "2000");
}

TEST(ProfileEditCommit, TenthsFieldsTruncateAndStayInTheWorkingCopy) {
  Copies c;
  EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "60"), "55.0");
  EXPECT_EQ(c.working.u16(off::cont_under_voltage_trip), 550);
  EXPECT_EQ(c.accepted.u16(off::cont_under_voltage_trip), 350);  // last-accepted copy untouched
  EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "35.37"), "35.3");
  EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "volts"), "35.3");  // fallback: the working value
  EXPECT_EQ(c.commit("ContOverVoltageTripLabeledEdit", "1"), "25.0");
  EXPECT_EQ(c.commit("ACMotCurrentNoLoadLabeledEdit", "0.04"), "0.5");
  EXPECT_EQ(c.working.u16(off::motor_ac_current_no_load), 5);
  EXPECT_EQ(c.commit("ACMotCurrentMaxLoadLabeledEdit", "30"), "30.0");
  EXPECT_EQ(c.commit("MotOverCurrentTripLabeledEdit", "12.99"), "12.9");
  // Every one-decimal text in range is stored exactly (no 12.3 -> 12.2 from rounding).
  for (int t = 10; t <= 350; ++t) {
    const std::string typed = FormatTenths(static_cast<std::uint32_t>(t));
    EXPECT_EQ(c.commit("MotOverCurrentTripLabeledEdit", typed), typed);
    EXPECT_EQ(c.working.u16(off::motor_over_current_trip), t);
  }
}

TEST(ProfileEditCommit, RealFieldsReadTheUserSeparatorAndAlwaysShowAPoint) {
  Copies c;
  {
    SeparatorGuard comma(',');
    EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "42,75"), "42.7");
    EXPECT_EQ(c.working.u16(off::cont_under_voltage_trip), 427);
    // The point is not a number in this locale: the value stays.
    EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "30.5"), "42.7");
  }
  SeparatorGuard point('.');
  EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "30,5"), "42.7");
  EXPECT_EQ(c.commit("ContUnderVoltageTripLabeledEdit", "30.5"), "30.5");
}

TEST(ProfileEditCommit, NameAndCommentFallBackWhenEmptyAndKeepPadding) {
  Copies c;
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "", c.working, c.accepted), "P01");
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "Spindle", c.working, c.accepted), "Spindle");
  EXPECT_EQ(c.working.name(), "Spindle");
  EXPECT_EQ(c.accepted.name(), "Spindle");
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "", c.working, c.accepted), "Spindle");
  // A shorter text leaves no trace of the longer one.
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "AB", c.working, c.accepted), "AB");
  for (std::size_t i = 2; i < kNameBytes; ++i) EXPECT_EQ(c.working.bytes[off::name + i], 0) << i;
  // Too long for the field: cut to 11 (name) and 17 (comment) characters.
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "ABCDEFGHIJKLMN", c.working, c.accepted), "ABCDEFGHIJK");
  EXPECT_EQ(c.working.bytes[off::name + 11], 0);
  EXPECT_EQ(CommitTextEdit(TextEdit::Comment, std::string(30, 'c'), c.working, c.accepted), std::string(17, 'c'));
  EXPECT_EQ(c.working.bytes[off::comment + 17], 0);
  EXPECT_EQ(c.working.u16(off::cont_under_voltage_trip), 350);  // the neighbour field is untouched
  EXPECT_EQ(CommitTextEdit(TextEdit::Comment, "", c.working, c.accepted), std::string(17, 'c'));

  // Padding after the NUL (as a controller may send it) survives committing the same text.
  MotorProfile w = MotorProfileDefaults(0);
  w.bytes[off::comment + 15] = 0xAA;
  MotorProfile a = w;
  const MotorProfile before = w;
  EXPECT_EQ(CommitTextEdit(TextEdit::Comment, "Default", w, a), "Default");
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, "P01", w, a), "P01");
  EXPECT_EQ(w, before);
  // A text with a NUL in it ends there.
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, std::string("AB\0CD", 5), w, a), "AB");
  EXPECT_EQ(CommitTextEdit(TextEdit::Name, std::string("\0CD", 3), w, a), "AB");
}

TEST(ProfileEditCommit, ChoicesGoIntoBothCopies) {
  Copies c;
  CommitChoice(off::cont_io_output3_edge, 1, c.working, c.accepted);
  CommitChoice(off::motor_type, 7, c.working, c.accepted);
  EXPECT_EQ(c.working.u16(off::cont_io_output3_edge), 1);
  EXPECT_EQ(c.accepted.u16(off::cont_io_output3_edge), 1);
  EXPECT_EQ(c.working.u16(off::motor_type), 7);
  EXPECT_EQ(c.accepted.u16(off::motor_type), 7);
}

TEST(VfTableRules, TableFollowsTheRecordArrays) {
  MotorProfile p = MotorProfileDefaults(0);
  VfTable t = VfTableOf(p);
  EXPECT_EQ(t[0 * 12 + 11], 10000);  // speed, last point
  EXPECT_EQ(t[1 * 12 + 4], 70);      // no-load voltage
  EXPECT_EQ(t[4 * 12 + 9], 600);     // max-load speed loss
  EXPECT_EQ(VfCellText(t, 0, 11), "100000");
  EXPECT_EQ(VfCellText(t, 2, 3), "21.0");
  EXPECT_EQ(VfCellText(t, 5, 0), "");
  EXPECT_EQ(VfCellText(t, 0, 12), "");
  t[3 * 12 + 0] = 1234;
  SetVfTable(p, t);
  EXPECT_EQ(p.vf(off::motor_ac_vf_data_speed_loss_no_load, 0), 1234);
  EXPECT_EQ(VfTableOf(p), t);
  EXPECT_EQ(p.u16(off::motor_ac_current_max_load), 100);  // nothing outside the arrays moves
  EXPECT_EQ(p.checksum(), MotorProfileDefaults(0).checksum());
}

TEST(VfTableRules, CellsClampTruncateAndFallBack) {
  VfTable t = VfTableOf(MotorProfileDefaults(0));
  EXPECT_EQ(CommitVfCell(t, 0, 3, "250000"), "240000");
  EXPECT_EQ(t[3], 24000);
  EXPECT_EQ(CommitVfCell(t, 0, 3, "12345"), "12340");
  EXPECT_EQ(t[3], 1234);
  EXPECT_EQ(CommitVfCell(t, 0, 3, "abc"), "12340");
  EXPECT_EQ(CommitVfCell(t, 1, 0, "50"), "48.0");
  EXPECT_EQ(t[12 + 0], 480);
  EXPECT_EQ(CommitVfCell(t, 2, 5, "12.34"), "12.3");
  EXPECT_EQ(t[24 + 5], 123);
  EXPECT_EQ(CommitVfCell(t, 2, 5, "-1"), "0.0");
  EXPECT_EQ(CommitVfCell(t, 2, 5, ""), "0.0");
  EXPECT_EQ(CommitVfCell(t, 3, 11, "-500"), "0");
  EXPECT_EQ(CommitVfCell(t, 4, 11, "99999"), "20000");
  EXPECT_EQ(t[48 + 11], 2000);
  // Speeds need not increase along the table.
  EXPECT_EQ(CommitVfCell(t, 0, 0, "240000"), "240000");
  EXPECT_EQ(t[0], 24000);
  // A cell outside the table changes nothing.
  const VfTable before = t;
  EXPECT_EQ(CommitVfCell(t, -1, 0, "5"), "");
  EXPECT_EQ(CommitVfCell(t, 0, 12, "5"), "");
  EXPECT_EQ(t, before);
  SeparatorGuard comma(',');
  EXPECT_EQ(CommitVfCell(t, 1, 1, "12,34"), "12.3");
  EXPECT_EQ(t[12 + 1], 123);
}

}  // namespace
