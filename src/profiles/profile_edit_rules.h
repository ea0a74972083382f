// What the profile editor and the V/F table editor do with the text of a field
// when it is committed: the numeric edits as a table, and pure functions that
// check a text, store the result in the working copy (and, for most fields, in
// the last-accepted copy) and give back the text the field shows again.
//
// Values are shown in engineering units: voltages and currents with one
// decimal (always written with a point, read with the user's decimal
// separator), speeds in RPM (stored in units of 10 RPM).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "profiles/motor_profile.h"

namespace mv {

// The editor's five tabs, in their order on the page control.
enum class EditTab : int { Controller = 0, ControllerIO = 1, Motor = 2, DCMotor = 3, ACMotor = 4 };
inline constexpr int kEditTabCount = 5;
extern const char* const kEditTabCaptions[kEditTabCount];

// How a numeric edit shows and stores its value.
enum class EditKind {
  Integer,  // shown and stored as the same unsigned number
  Speed,    // shown in RPM, stored in units of 10 RPM (remainder dropped)
  Tenths,   // shown with one decimal, stored in tenths (fraction truncated)
};

// Which motor type a field applies to.
enum class MotorGroup { Both, DC, AC };

struct NumericEdit {
  const char* control;  // widget name
  const char* label;    // label text
  EditTab tab;
  std::size_t offset;  // record offset of the 16-bit value
  std::int32_t min;    // accepted range in the units the user types;
  std::int32_t max;    //   for Tenths fields in tenths (250 means 25.0)
  EditKind kind;
  MotorGroup group;
};
inline constexpr std::size_t kNumericEditCount = 27;
// In tab order, and within a tab in the order the fields are laid out.
extern const NumericEdit kNumericEdits[kNumericEditCount];
// nullptr when no edit has that widget name.
const NumericEdit* FindNumericEdit(const std::string& control);

// "%0.1f" of a value in tenths, always with a point: 353 -> "35.3".
std::string FormatTenths(std::uint32_t tenths);

// The text a numeric edit shows for the working copy's value.
std::string NumericEditText(const NumericEdit& f, const MotorProfile& working);

// Commits the typed text of a numeric edit and returns the text to show again.
// Integer and speed fields: out-of-range numbers are pulled to the nearest
// limit, other text falls back to the last-accepted value; the result goes into
// both copies. Tenths fields: the fallback is the working value, the result
// goes into the working copy only.
std::string CommitNumericEdit(const NumericEdit& f, const std::string& text, MotorProfile& working,
                              MotorProfile& accepted);

// A value given as a number rather than typed (a script): the same range and
// storage as the edit's text, in the units the edit shows, into `p`. Integer
// and speed edits take whole numbers (speeds in RPM, the remainder of 10
// dropped), tenths edits real numbers (the fraction beyond one decimal
// dropped); out-of-range values, infinities included, are pulled to the
// nearest limit. False, nothing changed, for NaN or a fraction given to a
// whole-number edit.
bool SetNumericEditValue(const NumericEdit& f, double value, MotorProfile& p);

// Name and comment. Text is single-byte (Latin-1) characters; it is cut at a
// NUL and to the field's width. An empty text brings the last-accepted text
// back. Returns the text to show again.
enum class TextEdit { Name, Comment };
std::string CommitTextEdit(TextEdit which, const std::string& text, MotorProfile& working, MotorProfile& accepted);

// Edge lists, motor type and check box: the chosen value goes into both copies.
void CommitChoice(std::size_t offset, std::uint16_t value, MotorProfile& working, MotorProfile& accepted);

// Edge list offsets with their labels, in the editor's order.
struct EdgeChoice {
  const char* control;
  const char* label;
  std::size_t offset;
};
inline constexpr std::size_t kEdgeChoiceCount = 6;
extern const EdgeChoice kEdgeChoices[kEdgeChoiceCount];

// ---- V/F table --------------------------------------------------------------

inline constexpr int kVfRowCount = 5;
inline constexpr int kVfColumnCount = static_cast<int>(kVfPoints);
// The five arrays, 12 entries each, in record order (row r, column c at r*12+c).
using VfTable = std::array<std::uint16_t, kVfRowCount * kVfPoints>;

struct VfRow {
  const char* caption;
  std::size_t offset;  // record offset of the row's array
  std::int32_t min;    // range as typed: RPM, or tenths of a volt for voltage rows
  std::int32_t max;
  bool tenths;  // shown with one decimal, stored in tenths
};
extern const VfRow kVfRows[kVfRowCount];

VfTable VfTableOf(const MotorProfile& p);
void SetVfTable(MotorProfile& p, const VfTable& table);

// Text of cell (row, column). Out-of-range row or column gives "".
std::string VfCellText(const VfTable& table, int row, int column);
// A cell given as a number (RPM, or volts for the voltage rows), with the
// same rules as SetNumericEditValue. False, nothing changed, for NaN, a
// fraction in a speed row or a row or column out of range.
bool SetVfCellValue(VfTable& table, int row, int column, double value);
// Commits a cell's text into the table and returns the text to show again.
// Out-of-range row or column changes nothing and returns "".
std::string CommitVfCell(VfTable& table, int row, int column, const std::string& text);

}  // namespace mv
