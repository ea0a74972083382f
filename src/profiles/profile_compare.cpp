#include "profiles/profile_compare.h"

#include <cstdio>
#include <cstring>

#include "profiles/profile_edit_rules.h"

namespace mv {

namespace {

constexpr const char* kProfileGroup = "Motor Profile";
constexpr const char* kVfGroup = "V/F Data";
constexpr const char* kRecordGroup = "Record";

// "Under Voltage Trip (V)" -> "V"; no parentheses -> "".
std::string UnitOf(const std::string& label) {
  const std::size_t open = label.rfind('(');
  const std::size_t close = label.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  return label.substr(open + 1, close - open - 1);
}

CompareField ScalarRow(const ScalarField& s) {
  CompareField f{s.key, "", "", "", s.offset, 2, CompareFieldKind::Number};
  for (const NumericEdit& e : kNumericEdits) {
    if (e.offset != s.offset) continue;
    f.group = kEditTabCaptions[static_cast<int>(e.tab)];
    f.label = e.label;
    f.unit = UnitOf(f.label);
    return f;
  }
  for (const EdgeChoice& e : kEdgeChoices) {
    if (e.offset != s.offset) continue;
    f.group = kEditTabCaptions[static_cast<int>(EditTab::ControllerIO)];
    f.label = std::string(e.label) + " edge";
    f.kind = CompareFieldKind::Choice;
    return f;
  }
  if (s.offset == off::motor_type) {
    f.group = kProfileGroup;
    f.label = "Motor Type";
    f.kind = CompareFieldKind::Choice;
  } else if (s.offset == off::motor_temp_enable) {
    f.group = kEditTabCaptions[static_cast<int>(EditTab::Motor)];
    f.label = "Motor Temperature Enable";
    f.kind = CompareFieldKind::Flag;
  } else {
    f.group = kRecordGroup;  // every field has an editor control; kept for safety
    f.label = s.key;
  }
  return f;
}

std::vector<CompareField> BuildFields() {
  std::vector<CompareField> rows;
  rows.push_back({"name", kProfileGroup, "Name", "", off::name, kNameBytes, CompareFieldKind::Text});
  rows.push_back({"comment", kProfileGroup, "Comment", "", off::comment, kCommentBytes, CompareFieldKind::Text});
  for (const ScalarField& s : kScalarFields) rows.push_back(ScalarRow(s));
  for (int r = 0; r < kVfRowCount; ++r) {
    const VfRow& row = kVfRows[r];
    const VfArray& array = kVfArrays[r];
    for (std::size_t i = 0; i < kVfPoints; ++i) {
      CompareField f;
      f.key = std::string(array.key) + "[" + std::to_string(i) + "]";
      f.group = kVfGroup;
      f.label = std::string(row.caption) + ", point " + std::to_string(i + 1);
      f.unit = UnitOf(row.caption);
      f.offset = row.offset + 2 * i;
      f.width = 2;
      f.kind = CompareFieldKind::VfEntry;
      rows.push_back(std::move(f));
    }
  }
  rows.push_back({"checksum", kRecordGroup, "Checksum", "", off::checksum, 2, CompareFieldKind::Checksum});
  return rows;
}

// Latin-1 bytes as UTF-8; control characters as \xNN.
void AppendLatin1(std::string& out, std::uint8_t c) {
  if (c < 0x20 || c == 0x7F) {
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\x%02X", c);
    out += esc;
  } else if (c < 0x80) {
    out += static_cast<char>(c);
  } else {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string TextFieldText(const CompareField& f, const MotorProfile& p) {
  const std::uint8_t* field = p.bytes.data() + f.offset;
  std::size_t n = 0;
  while (n < f.width && field[n] != 0) ++n;
  std::string out;
  for (std::size_t i = 0; i < n; ++i) AppendLatin1(out, field[i]);
  for (std::size_t i = n; i < f.width; ++i) {
    if (field[i] != 0) {
      out += " [non-zero padding]";
      break;
    }
  }
  return out;
}

const VfRow* VfRowOf(std::size_t offset) {
  for (const VfRow& r : kVfRows)
    if (offset >= r.offset && offset < r.offset + 2 * kVfPoints) return &r;
  return nullptr;
}

}  // namespace

const std::vector<CompareField>& CompareFields() {
  static const std::vector<CompareField> rows = BuildFields();
  return rows;
}

const CompareField* FindCompareField(const std::string& key) {
  for (const CompareField& f : CompareFields())
    if (f.key == key) return &f;
  return nullptr;
}

std::string CompareValueText(const CompareField& f, const MotorProfile& p) {
  const std::uint16_t v = f.width == 2 ? p.U16(f.offset) : 0;
  switch (f.kind) {
    case CompareFieldKind::Text: return TextFieldText(f, p);
    case CompareFieldKind::Number:
      for (const NumericEdit& e : kNumericEdits)
        if (e.offset == f.offset) return NumericEditText(e, p);
      return std::to_string(v);
    case CompareFieldKind::Choice: {
      const bool type = f.offset == off::motor_type;
      if (v == 0) return type ? "DC" : "-ve edge";
      if (v == 1) return type ? "AC" : "+ve edge";
      return std::to_string(v) + " (no such item)";
    }
    case CompareFieldKind::Flag:
      if (v == 0) return "off";
      if (v == 1) return "on";
      return "on (" + std::to_string(v) + ")";
    case CompareFieldKind::VfEntry: {
      const VfRow* row = VfRowOf(f.offset);
      if (row != nullptr && row->tenths) return FormatTenths(v);
      return std::to_string(static_cast<std::uint32_t>(v) * 10);
    }
    case CompareFieldKind::Checksum: {
      const std::uint16_t expected = profileChecksum(p);
      if (expected == v) return std::to_string(v);
      return std::to_string(v) + " (invalid, expected " + std::to_string(expected) + ")";
    }
  }
  return {};
}

std::string CompareValueWithUnit(const CompareField& f, const MotorProfile& p) {
  const std::string text = CompareValueText(f, p);
  if (f.kind == CompareFieldKind::Text) return "\"" + text + "\"";
  return f.unit.empty() ? text : text + " " + f.unit;
}

std::string CompareDiffLine(const CompareField& f, const MotorProfile& a, const MotorProfile& b) {
  return f.key + ": " + CompareValueWithUnit(f, a) + " -> " + CompareValueWithUnit(f, b);
}

bool CompareFieldEqual(const CompareField& f, const MotorProfile& a, const MotorProfile& b) {
  return std::memcmp(a.bytes.data() + f.offset, b.bytes.data() + f.offset, f.width) == 0;
}

void ProfileCompare::SetSide(int side, const MotorProfile& p) {
  if (!ValidSide(side)) return;
  sides_[static_cast<std::size_t>(side)] = p;
  present_[static_cast<std::size_t>(side)] = true;
}

void ProfileCompare::ClearSide(int side) {
  if (ValidSide(side)) present_[static_cast<std::size_t>(side)] = false;
}

bool ProfileCompare::HasSide(int side) const { return ValidSide(side) && present_[static_cast<std::size_t>(side)]; }

const MotorProfile* ProfileCompare::Side(int side) const {
  return HasSide(side) ? &sides_[static_cast<std::size_t>(side)] : nullptr;
}

std::string ProfileCompare::Text(int row, int side) const {
  if (row < 0 || row >= RowCount() || !HasSide(side)) return {};
  return CompareValueText(Field(row), sides_[static_cast<std::size_t>(side)]);
}

bool ProfileCompare::Differs(int row) const {
  if (row < 0 || row >= RowCount()) return false;
  const MotorProfile* first = nullptr;
  for (int side = 0; side < kCompareSides; ++side) {
    const MotorProfile* p = Side(side);
    if (p == nullptr) continue;
    if (first == nullptr)
      first = p;
    else if (!CompareFieldEqual(Field(row), *first, *p))
      return true;
  }
  return false;
}

std::vector<int> ProfileCompare::Differences(int sideA, int sideB) const {
  std::vector<int> rows;
  if (!HasSide(sideA) || !HasSide(sideB)) return rows;
  for (int row = 0; row < RowCount(); ++row)
    if (!CompareFieldEqual(Field(row), sides_[static_cast<std::size_t>(sideA)],
                           sides_[static_cast<std::size_t>(sideB)]))
      rows.push_back(row);
  return rows;
}

std::vector<int> ProfileCompare::Differences() const {
  std::vector<int> rows;
  for (int row = 0; row < RowCount(); ++row)
    if (Differs(row)) rows.push_back(row);
  return rows;
}

}  // namespace mv
