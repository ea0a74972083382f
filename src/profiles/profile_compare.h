// Field-by-field comparison of up to three motor profiles (for example a
// slot, the drive's copy and a profile file). Every field of the record is one
// row, in profile-file order: name, comment, the 35 numbers, the 60 entries
// of the V/F table and the checksum. Values are shown as the editors show
// them: tenths with one decimal, speeds in RPM, lists by their item text.
// Whether two sides differ is decided on the raw bytes of the field, so a
// difference hidden in the padding after a name or comment is not lost.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "profiles/motor_profile.h"

namespace mv {

enum class CompareFieldKind {
  Text,      // name, comment (the whole field's bytes, padding included)
  Number,    // 16-bit value, shown as the editor shows it
  Choice,    // edge lists and motor type: item text
  Flag,      // the temperature check box
  VfEntry,   // one entry of the V/F table
  Checksum,  // stored checksum, marked when it does not match the data
};

struct CompareField {
  std::string key;     // file key; V/F entries "motor_ac_vf_data_speed[0]".."[11]"
  std::string group;   // editor tab or "Motor Profile", "V/F Data", "Record"
  std::string label;   // the editor's caption
  std::string unit;    // "V", "RPM", ... ("" for none)
  std::size_t offset;  // byte offset in the record
  std::size_t width;   // bytes
  CompareFieldKind kind;
};

// The 98 rows in file order; every byte of the record belongs to exactly one.
const std::vector<CompareField>& CompareFields();
// nullptr when no row has that key.
const CompareField* FindCompareField(const std::string& key);

// The value as the editor shows it, as UTF-8 (name and comment are Latin-1 in
// the record; control characters come out as \xNN). Without the unit.
std::string CompareValueText(const CompareField& f, const MotorProfile& p);
// The value followed by its unit ("35.0 V", "6000 RPM"); text fields quoted.
std::string CompareValueWithUnit(const CompareField& f, const MotorProfile& p);
// One differing field as `profile diff` prints it: "key: A -> B", both
// values with their units ("cont_under_voltage_trip: 35.0 V -> 36.0 V").
std::string CompareDiffLine(const CompareField& f, const MotorProfile& a, const MotorProfile& b);
// Raw bytes of the field equal.
bool CompareFieldEqual(const CompareField& f, const MotorProfile& a, const MotorProfile& b);

// Up to three sides; a side can be empty.
inline constexpr int kCompareSides = 3;

class ProfileCompare {
 public:
  void SetSide(int side, const MotorProfile& p);
  void ClearSide(int side);
  bool HasSide(int side) const;
  const MotorProfile* Side(int side) const;

  int RowCount() const { return static_cast<int>(CompareFields().size()); }
  const CompareField& Field(int row) const { return CompareFields()[static_cast<std::size_t>(row)]; }
  // "" for an empty side or a row outside the table.
  std::string Text(int row, int side) const;
  // At least two sides are present and not all of them agree on this row.
  bool Differs(int row) const;
  // Rows where the two sides differ (both must be present; else none).
  std::vector<int> Differences(int sideA, int sideB) const;
  // Rows where any present sides differ.
  std::vector<int> Differences() const;

 private:
  static bool ValidSide(int side) { return side >= 0 && side < kCompareSides; }
  std::array<MotorProfile, kCompareSides> sides_{};
  std::array<bool, kCompareSides> present_{};
};

}  // namespace mv
