// morvane.Profile: the 222-byte motor profile record with its file reader and
// writer, the profile editor's fields, the V/F table and the field
// comparison of `morvane-cli profile diff`.
//
// Setting a field is strict: a value outside the field's range, finer than
// the field keeps or of the wrong type is refused, naming the field, its unit
// and its range, and nothing changes. Profile.set(key, value, clamp=True)
// applies the profile editor's rules instead (pulled to the nearest limit,
// the fraction dropped). check() holds a profile to the profile file
// reader's rules, so what save() writes load() reads.
#include <Python.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "profiles/motor_profile.h"
#include "profiles/profile_compare.h"
#include "profiles/profile_edit_rules.h"
#include "profiles/profile_file.h"
#include "python/binding.h"

namespace mv::python {

namespace {

const char* KindName(EditKind kind) {
  switch (kind) {
    case EditKind::Speed: return "speed";
    case EditKind::Tenths: return "tenths";
    case EditKind::Integer: break;
  }
  return "integer";
}

// The stored value in the units the editor shows.
py::object Shown(std::uint16_t stored, bool tenths, bool speed) {
  if (tenths) return py::float_(stored / 10.0);  // the nearest double to the text shown
  return py::int_(speed ? stored * 10u : stored);
}

py::object LimitOf(std::int32_t limit, bool tenths) {
  return tenths ? py::object(py::float_(limit / 10.0)) : py::object(py::int_(limit));
}

// What a number field takes, in the units the editor shows (tenths fields'
// limits in tenths).
struct Rule {
  std::string key, unit;
  EditKind kind = EditKind::Integer;
  std::int32_t min = 0, max = 0;

  std::string Limit(std::int32_t v) const {
    return kind == EditKind::Tenths ? FormatTenths(static_cast<std::uint32_t>(v)) : std::to_string(v);
  }
  std::string Range() const { return Limit(min) + " to " + Limit(max) + (unit.empty() ? "" : " " + unit); }
  std::string ShownText(std::uint16_t stored) const {
    if (kind == EditKind::Tenths) return FormatTenths(stored);
    return std::to_string(kind == EditKind::Speed ? stored * 10u : stored);
  }
  [[noreturn]] void Refuse(const std::string& what, const std::string& given) const {
    throw py::value_error(key + " is " + what + Range() + ", not " + given);
  }
};

// A number as given: a Python int of any size or a float; TypeError for
// anything else (a bool included).
struct GivenNumber {
  bool whole = false;   // an int
  bool beyond = false;  // an int beyond 64 bits
  long long i = 0;      // the int
  double d = 0;         // the value as a double (an int beyond 64 bits: infinity of its sign)
  std::string text;     // repr()
};

GivenNumber NumberOf(const py::handle& value, const Rule& r) {
  if (PyBool_Check(value.ptr()) || (!PyIndex_Check(value.ptr()) && !PyFloat_Check(value.ptr())))
    throw py::type_error(r.key + " takes a number (" + r.Range() + "), not " + Py_TYPE(value.ptr())->tp_name);
  GivenNumber n;
  n.text = py::repr(value).cast<std::string>();
  if (PyFloat_Check(value.ptr())) {
    n.d = PyFloat_AsDouble(value.ptr());
    return n;
  }
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  n.whole = true;
  n.i = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (n.i == -1 && PyErr_Occurred()) throw py::error_already_set();
  n.beyond = overflow != 0;
  n.d = n.beyond ? (overflow > 0 ? HUGE_VAL : -HUGE_VAL) : static_cast<double>(n.i);
  return n;
}

// The stored value of a number a script gives, or ValueError naming the
// field, its unit and its range.
std::uint16_t StrictStored(const Rule& r, const py::handle& value) {
  const GivenNumber n = NumberOf(value, r);
  if (std::isnan(n.d)) r.Refuse("", n.text);
  if (r.kind == EditKind::Tenths) {
    const double t = n.whole && !n.beyond ? static_cast<double>(n.i) * 10.0 : n.d * 10.0;
    // Tolerates the float error of a value typed with one decimal (35.3 * 10 is 352.99999999999994).
    if (!std::isfinite(t) || t < r.min - 1e-6 || t > r.max + 1e-6) r.Refuse("", n.text);
    const double whole = std::nearbyint(t);
    if (std::fabs(t - whole) > 1e-6) r.Refuse("a number with one decimal, ", n.text);
    return static_cast<std::uint16_t>(whole);
  }
  long long v = n.i;
  if (!n.whole) {
    if (!std::isfinite(n.d) || std::fabs(n.d) > 1e15) r.Refuse("", n.text);
    if (n.d != std::floor(n.d)) r.Refuse("a whole number, ", n.text);
    v = static_cast<long long>(n.d);
  }
  if (n.beyond || v < r.min || v > r.max) r.Refuse("", n.text);
  if (r.kind == EditKind::Speed) {
    if (v % 10 != 0) r.Refuse("a multiple of 10 RPM, ", n.text);
    v /= 10;
  }
  return static_cast<std::uint16_t>(v);
}

// The editor's number for the same value (out of range pulled in later).
double ClampNumber(const Rule& r, const py::handle& value) {
  const GivenNumber n = NumberOf(value, r);
  if (std::isnan(n.d)) r.Refuse("", n.text);
  return n.d;
}

Rule RuleOf(const NumericEdit& e, const std::string& key, const std::string& unit) {
  return Rule{key, unit, e.kind, e.min, e.max};
}

Rule RuleOfVf(int row, const std::string& key, const std::string& unit) {
  const VfRow& r = kVfRows[row];
  return Rule{key, unit, r.tenths ? EditKind::Tenths : EditKind::Speed, r.min, r.max};
}

const ScalarField& ScalarAt(std::size_t offset) {
  for (const ScalarField& s : kScalarFields)
    if (s.offset == offset) return s;
  throw std::logic_error("no scalar field at that offset");
}

// The item texts of a list or check box field, as the comparison shows them.
py::dict ChoicesOf(const CompareField& f) {
  py::dict d;
  const ScalarField& s = ScalarAt(f.offset);
  MotorProfile p = MotorProfileDefaults(0);
  for (std::uint16_t v = s.min; v <= s.max; ++v) {
    p.SetU16(f.offset, v);
    d[py::int_(v)] = CompareValueText(f, p);
  }
  return d;
}

// One field of the record as the editor offers it.
struct ProfileField {
  std::string key, label, unit, group, kind;
  py::object minimum = py::none(), maximum = py::none(), choices = py::none();
};

std::vector<ProfileField> BuildFields() {
  std::vector<ProfileField> out;
  for (const CompareField& f : CompareFields()) {
    if (f.kind == CompareFieldKind::VfEntry || f.kind == CompareFieldKind::Checksum) continue;
    ProfileField pf{f.key, f.label, f.unit, f.group, "", py::none(), py::none(), py::none()};
    switch (f.kind) {
      case CompareFieldKind::Text:
        pf.kind = "text";
        pf.minimum = py::int_(f.key == "name" ? 1 : 0);
        pf.maximum = py::int_(f.key == "name" ? kNameMaxChars : kCommentMaxChars);
        break;
      case CompareFieldKind::Number:
        for (const NumericEdit& e : kNumericEdits) {
          if (e.offset != f.offset) continue;
          pf.kind = KindName(e.kind);
          pf.minimum = LimitOf(e.min, e.kind == EditKind::Tenths);
          pf.maximum = LimitOf(e.max, e.kind == EditKind::Tenths);
        }
        break;
      case CompareFieldKind::Choice:
      case CompareFieldKind::Flag:
        pf.kind = f.kind == CompareFieldKind::Flag ? "flag" : "choice";
        pf.minimum = py::int_(ScalarAt(f.offset).min);
        pf.maximum = py::int_(ScalarAt(f.offset).max);
        pf.choices = ChoicesOf(f);
        break;
      case CompareFieldKind::VfEntry:
      case CompareFieldKind::Checksum: break;
    }
    out.push_back(std::move(pf));
  }
  for (int r = 0; r < kVfRowCount; ++r) {
    const VfRow& row = kVfRows[r];
    const CompareField* first = FindCompareField(std::string(kVfArrays[r].key) + "[0]");
    ProfileField pf{kVfArrays[r].key,
                    row.caption,
                    first != nullptr ? first->unit : "",
                    "V/F Data",
                    "vf",
                    LimitOf(row.min, row.tenths),
                    LimitOf(row.max, row.tenths),
                    py::none()};
    out.push_back(std::move(pf));
  }
  return out;
}

const ProfileField& FieldNamed(const std::vector<ProfileField>& fields, const std::string& key) {
  for (const ProfileField& f : fields)
    if (f.key == key) return f;
  throw std::logic_error("no field " + key);
}

// Never destroyed: its Python objects must not be released after the
// interpreter has gone at exit.
const std::vector<ProfileField>& Fields() {
  static const std::vector<ProfileField>& fields = *new std::vector<ProfileField>(BuildFields());
  return fields;
}

// "0 = DC, 1 = AC"
std::string ItemsOf(const ProfileField& f) {
  std::string items;
  for (const auto& item : py::cast<py::dict>(f.choices)) {
    if (!items.empty()) items += ", ";
    items += py::str(item.first).cast<std::string>() + " = " + py::str(item.second).cast<std::string>();
  }
  return items;
}

// One differing field as `morvane-cli profile diff` prints it.
struct ProfileDifference {
  std::string key, label, unit, a, b, line;
};

py::tuple VfRowOf(const MotorProfile& p, int row) {
  const VfRow& r = kVfRows[row];
  py::tuple t(kVfPoints);
  for (std::size_t i = 0; i < kVfPoints; ++i) t[i] = Shown(p.Vf(r.offset, i), r.tenths, !r.tenths);
  return t;
}

std::string UnitOfVfRow(int row) {
  const CompareField* f = FindCompareField(std::string(kVfArrays[row].key) + "[0]");
  return f != nullptr ? f->unit : std::string();
}

// Puts 12 values into row `row` of `table` (all or nothing).
void SetVfRowOf(VfTable& table, int row, const py::handle& values, const std::string& key, bool clamp) {
  if (PyUnicode_Check(values.ptr()) || PyBytes_Check(values.ptr()) || !PySequence_Check(values.ptr()))
    throw py::type_error(key + " takes a sequence of 12 numbers, not " + Py_TYPE(values.ptr())->tp_name);
  const py::sequence seq = py::reinterpret_borrow<py::sequence>(values);
  if (py::len(seq) != kVfPoints) throw py::value_error(key + " takes 12 values, not " + std::to_string(py::len(seq)));
  VfTable t = table;
  const std::string unit = UnitOfVfRow(row);
  for (std::size_t i = 0; i < kVfPoints; ++i) {
    const Rule r = RuleOfVf(row, key + "[" + std::to_string(i) + "]", unit);
    const py::object v = seq[i];
    const std::size_t cell = static_cast<std::size_t>(row) * kVfPoints + i;
    if (!clamp) {
      t[cell] = StrictStored(r, v);
    } else if (!SetVfCellValue(t, row, static_cast<int>(i), ClampNumber(r, v))) {
      r.Refuse("a whole number, ", py::repr(v).cast<std::string>());
    }
  }
  table = t;
}

// Name and comment as the profile file needs them: one line, no NUL.
std::string TextOf(TextEdit which, const std::string& key, const py::handle& value, bool clamp) {
  const std::string latin = Latin1Of(value, key);
  if (latin.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw py::value_error(key + " cannot hold a line break or a NUL (the profile file keeps it on one line)");
  const std::size_t lo = which == TextEdit::Name ? 1 : 0;
  const std::size_t hi = which == TextEdit::Name ? kNameMaxChars : kCommentMaxChars;
  if (!clamp && (latin.size() < lo || latin.size() > hi))
    throw py::value_error(key + " is " + std::to_string(lo) + " to " + std::to_string(hi) + " characters, not " +
                          std::to_string(latin.size()));
  return latin;
}

// How a script reads and writes one field.
struct FieldAccess {
  std::string key;
  std::function<py::object(const MotorProfile&)> get;
  std::function<void(MotorProfile&, const py::handle&, bool clamp)> set;
};

// What the profile file reader would refuse first, in file order.
struct Problem {
  std::string key, message, windowText;
  int line = 0;
};

std::optional<Problem> FirstProblem(const MotorProfile& p) {
  const auto text = [](const std::string& key, int line, const std::string& value, std::size_t lo,
                       std::size_t hi) -> std::optional<Problem> {
    if (value.find_first_of("\r\n") != std::string::npos)
      return Problem{key, key + " holds a line break (the profile file keeps it on one line)", "", line};
    if (value.size() < lo || value.size() > hi)
      return Problem{key,
                     key + " is " + std::to_string(lo) + " to " + std::to_string(hi) + " characters, not " +
                         std::to_string(value.size()),
                     "", line};
    return std::nullopt;
  };
  if (auto bad = text("name", 6, p.Name(), 1, kNameMaxChars)) return bad;
  if (auto bad = text("comment", 7, p.Comment(), 0, kCommentMaxChars)) return bad;
  for (const ScalarField& s : kScalarFields) {
    const std::uint16_t v = p.U16(s.offset);
    if (v >= s.min && v <= s.max) continue;
    const ProfileField& f = FieldNamed(Fields(), s.key);
    const std::string key = s.key;
    for (const NumericEdit& e : kNumericEdits)
      if (e.offset == s.offset) {
        const Rule r = RuleOf(e, key, f.unit);
        return Problem{key, key + " is " + r.Range() + ", not " + r.ShownText(v), "", s.fileLine};
      }
    return Problem{key, key + " is one of " + ItemsOf(f) + ", not " + std::to_string(v), "", s.fileLine};
  }
  for (int row = 0; row < kVfRowCount; ++row) {
    const VfArray& a = kVfArrays[row];
    for (std::size_t i = 0; i < kVfPoints; ++i) {
      const std::uint16_t v = p.Vf(a.offset, i);
      if (v <= a.max) continue;
      const std::string key = std::string(a.key) + "[" + std::to_string(i) + "]";
      const Rule r = RuleOfVf(row, key, UnitOfVfRow(row));
      return Problem{key, key + " is " + r.Range() + ", not " + r.ShownText(v), "", a.fileLine};
    }
  }
  if (!ProfileChecksumValid(p))
    return Problem{
        "checksum",
        "checksum is " + std::to_string(p.Checksum()) + ", the data's is " + std::to_string(profileChecksum(p)), "",
        54};
  // The file itself, as a last word: what the reader says of what the writer writes.
  MotorProfile read;
  std::string message;
  int line = 0;
  if (ParseMotorProfileLines(MotorProfileFileLines(p), read, message, line)) return std::nullopt;
  if (line == 54)
    return Problem{"checksum",
                   "the bytes after the end of the name or the comment are not zero: the profile file reader makes "
                   "them zero, so the stored checksum would not match (set name and comment again to clear them)",
                   message, line};
  return Problem{"", OneLine(message), message, line};
}

[[noreturn]] void RaiseProblem(const Problem& problem, const std::string& what = std::string()) {
  py::dict details;
  details["field"] = problem.key;
  details["line"] = problem.line;
  details["window_text"] = Text(problem.windowText);
  Raise(Side().invalidProfile, what + problem.message, details);
}

std::vector<FieldAccess> BuildAccess() {
  std::vector<FieldAccess> out;
  for (TextEdit which : {TextEdit::Name, TextEdit::Comment}) {
    const std::string key = which == TextEdit::Name ? "name" : "comment";
    out.push_back({key,
                   [which](const MotorProfile& p) -> py::object {
                     return StrOfLatin1(which == TextEdit::Name ? p.Name() : p.Comment());
                   },
                   [which, key](MotorProfile& p, const py::handle& value, bool clamp) {
                     const std::string text = TextOf(which, key, value, clamp);
                     if (clamp) {
                       MotorProfile accepted = p;
                       CommitTextEdit(which, text, p, accepted);  // the editor: cut to the width, empty keeps the text
                     } else if (which == TextEdit::Name) {
                       p.SetName(text);  // the whole field, padding included, as the file reader builds it
                     } else {
                       p.SetComment(text);
                     }
                   }});
  }
  for (const ScalarField& s : kScalarFields) {
    const std::string key = s.key;
    const ProfileField& f = FieldNamed(Fields(), key);
    const NumericEdit* edit = nullptr;
    for (const NumericEdit& e : kNumericEdits)
      if (e.offset == s.offset) edit = &e;
    if (edit != nullptr) {
      const Rule rule = RuleOf(*edit, key, f.unit);
      out.push_back({key,
                     [edit](const MotorProfile& p) -> py::object {
                       return Shown(p.U16(edit->offset), edit->kind == EditKind::Tenths, edit->kind == EditKind::Speed);
                     },
                     [edit, rule](MotorProfile& p, const py::handle& value, bool clamp) {
                       if (!clamp) {
                         p.SetU16(edit->offset, StrictStored(rule, value));
                       } else if (!SetNumericEditValue(*edit, ClampNumber(rule, value), p)) {
                         rule.Refuse("a whole number, ", py::repr(value).cast<std::string>());
                       }
                     }});
      continue;
    }
    const std::string items = ItemsOf(f);
    const std::size_t offset = s.offset;
    const std::uint16_t lo = s.min, hi = s.max;
    out.push_back({key, [offset](const MotorProfile& p) -> py::object { return py::int_(p.U16(offset)); },
                   [offset, lo, hi, key, items](MotorProfile& p, const py::handle& value, bool) {
                     // A list has nothing to pull a value to: always checked.
                     long long v = 0;
                     if (PyBool_Check(value.ptr())) {
                       v = value.ptr() == Py_True ? 1 : 0;
                     } else if (PyIndex_Check(value.ptr())) {
                       const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
                       if (!index) throw py::error_already_set();
                       int overflow = 0;
                       v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
                       if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
                       if (overflow != 0) v = -1;
                     } else {
                       throw py::type_error(key + " is one of " + items + ", not " + Py_TYPE(value.ptr())->tp_name);
                     }
                     if (v < lo || v > hi)
                       throw py::value_error(key + " is one of " + items + ", not " +
                                             py::repr(value).cast<std::string>());
                     p.SetU16(offset, static_cast<std::uint16_t>(v));
                   }});
  }
  for (int r = 0; r < kVfRowCount; ++r) {
    const std::string key = kVfArrays[r].key;
    out.push_back({key, [r](const MotorProfile& p) -> py::object { return VfRowOf(p, r); },
                   [r, key](MotorProfile& p, const py::handle& values, bool clamp) {
                     VfTable t = VfTableOf(p);
                     SetVfRowOf(t, r, values, key, clamp);
                     SetVfTable(p, t);
                   }});
  }
  out.push_back({"vf_table",
                 [](const MotorProfile& p) -> py::object {
                   py::tuple rows(kVfRowCount);
                   for (int r = 0; r < kVfRowCount; ++r) rows[static_cast<std::size_t>(r)] = VfRowOf(p, r);
                   return rows;
                 },
                 [](MotorProfile& p, const py::handle& rows, bool clamp) {
                   if (PyUnicode_Check(rows.ptr()) || PyBytes_Check(rows.ptr()) || !PySequence_Check(rows.ptr()))
                     throw py::type_error("vf_table takes 5 rows of 12 numbers, not " +
                                          std::string(Py_TYPE(rows.ptr())->tp_name));
                   const py::sequence seq = py::reinterpret_borrow<py::sequence>(rows);
                   if (py::len(seq) != static_cast<std::size_t>(kVfRowCount))
                     throw py::value_error("vf_table takes 5 rows of 12 values, not " + std::to_string(py::len(seq)) +
                                           " rows");
                   VfTable t = VfTableOf(p);
                   for (int r = 0; r < kVfRowCount; ++r)
                     SetVfRowOf(t, r, seq[static_cast<std::size_t>(r)], kVfArrays[r].key, clamp);
                   SetVfTable(p, t);
                 }});
  return out;
}

const std::vector<FieldAccess>& Access() {
  static const std::vector<FieldAccess>& access = *new std::vector<FieldAccess>(BuildAccess());
  return access;
}

// Sets a field on a copy: a refused value changes nothing; the checksum is
// made good again, as when the editor closes.
void SetField(const FieldAccess& a, MotorProfile& p, const py::handle& value, bool clamp) {
  MotorProfile changed = p;
  a.set(changed, value, clamp);
  UpdateChecksum(changed);
  p = changed;
}

const FieldAccess& AccessOf(const std::string& key) {
  for (const FieldAccess& a : Access())
    if (a.key == key) return a;
  throw py::key_error(key);
}

std::string FieldDoc(const ProfileField& f) {
  const std::string unitRange =
      py::str(f.minimum).cast<std::string>() + " to " + py::str(f.maximum).cast<std::string>();
  const std::string later = " Profile.set(key, value, clamp=True) applies the profile editor's rules instead.";
  if (f.kind == "text")
    return f.label + " (" + f.group + "): " + unitRange +
           " single-byte (Latin-1) characters, no line break. Other text raises ValueError." + later +
           " (a longer text is cut, an empty one keeps the previous).";
  if (f.kind == "choice" || f.kind == "flag") return f.label + " (" + f.group + "): " + ItemsOf(f) + ".";
  std::string doc = f.label + " (" + f.group + "): " + unitRange + (f.unit.empty() ? "" : " " + f.unit);
  if (f.kind == "tenths") doc += ", one decimal";
  if (f.kind == "speed") doc += ", a multiple of 10 RPM";
  if (f.kind == "integer") doc += ", a whole number";
  if (f.kind == "vf")
    doc = "V/F table, " + f.label + ": 12 values, each " + unitRange + " " + f.unit +
          (f.unit == "RPM" ? ", a multiple of 10 RPM" : ", one decimal");
  return doc + ". Another value raises ValueError naming the field, its unit and its range." + later +
         " (pulled to the nearest limit, the rest of the fraction dropped).";
}

}  // namespace

void RequireProfileValid(const MotorProfile& p, const std::string& what) {
  if (const std::optional<Problem> problem = FirstProblem(p)) RaiseProblem(*problem, what);
}

void BindProfile(py::module_& m) {
  py::class_<ProfileField>(m, "ProfileField",
                           "One field of a profile as the profile editor offers it: the attribute name ('key', the "
                           "profile file's key), the editor's label, the unit, the editor tab ('group'), the kind "
                           "('integer', 'speed' in RPM, 'tenths' with one decimal, 'choice', 'flag', 'text', 'vf' "
                           "for a V/F row), the range in the shown units (characters for text) and, for a list or "
                           "check box, its items by value.")
      .def_readonly("key", &ProfileField::key)
      .def_readonly("label", &ProfileField::label)
      .def_readonly("unit", &ProfileField::unit)
      .def_readonly("group", &ProfileField::group)
      .def_readonly("kind", &ProfileField::kind)
      .def_readonly("minimum", &ProfileField::minimum)
      .def_readonly("maximum", &ProfileField::maximum)
      .def_readonly("choices", &ProfileField::choices)
      .def("__repr__",
           [](const ProfileField& f) { return "<ProfileField " + f.key + ": " + f.label + ", " + f.kind + ">"; });

  py::class_<ProfileDifference>(m, "ProfileDifference",
                                "One field in which two profiles differ: the key, the editor's label, the unit and "
                                "both values as the editor shows them with their unit ('35.0 V'); str() is the line "
                                "'morvane-cli profile diff' prints ('cont_under_voltage_trip: 35.0 V -> 36.0 V').")
      .def_readonly("key", &ProfileDifference::key)
      .def_readonly("label", &ProfileDifference::label)
      .def_readonly("unit", &ProfileDifference::unit)
      .def_readonly("a", &ProfileDifference::a)
      .def_readonly("b", &ProfileDifference::b)
      .def("__str__", [](const ProfileDifference& d) { return d.line; })
      .def("__repr__", [](const ProfileDifference& d) { return "<ProfileDifference " + d.line + ">"; });

  py::class_<MotorProfile> profile(
      m, "Profile",
      "A motor profile: the 222-byte record the drive keeps in each of its six slots, the profile files hold and the "
      "SPL image carries. Made by Profile.load(), Profile.default(), Profile.from_bytes() or read from a drive.\n\n"
      "Every field is an attribute named by its profile file key, in the units the profile editor shows (volts and "
      "amperes with one decimal, speeds in RPM). Setting a field checks it: a value outside the field's range, "
      "finer than the field keeps (a second decimal, a speed that is not a multiple of 10 RPM) or of another type "
      "raises ValueError or TypeError naming the field, its unit and its range, and changes nothing. "
      "Profile.set(key, value, clamp=True) applies the profile editor's rules instead: pulled to the nearest "
      "limit, the rest of the fraction dropped. Either way, as when the editor closes, the checksum is made good "
      "again. check() holds the profile to the profile file reader's rules.");

  profile
      .def_static(
          "load", [](const py::object& path) { return ReadProfileFile(path); }, py::arg("path"),
          "Reads a profile file with every check of the reader. FileFormatError naming the file, the line and the "
          "reader's message; FileAccessError (an OSError) when the file cannot be read.")
      .def(
          "save",
          [](const MotorProfile& p, const py::object& path, bool force) {
            const std::string file = PathOf(path);
            if (!force)
              if (const std::optional<Problem> problem = FirstProblem(p)) RaiseProblem(*problem);
            std::string message;
            if (!writeMotorProfileFile(file, p, message))
              RaiseFileError(true, path, message, 0, "", ErrnoOfMessage(message));
          },
          py::arg("path"), py::kw_only(), py::arg("force") = false,
          "Writes the profile file (55 lines, CR LF), replacing the file only once the new one is complete; the "
          "checksum is written as stored. A profile the file reader would refuse (check()) raises "
          "InvalidProfileError and nothing is written, unless force=True. FileAccessError (an OSError) when it "
          "cannot be written (the previous file is then unchanged).")
      .def_static(
          "default", [](const py::object& slot) { return MotorProfileDefaults(SlotIndexOf(slot)); }, py::arg("slot"),
          "The default profile of slot 1..6 (name 'P01'..'P06', comment 'Default').")
      .def_static(
          "from_bytes", [](const py::object& data) { return ProfileOfBuffer(data); }, py::arg("data"),
          "The profile of these 222 record bytes (any object with the buffer protocol: bytes, bytearray, a "
          "memoryview with any strides, an array), as they are: nothing is checked (see check()).")
      .def(
          "to_bytes",
          [](const MotorProfile& p) {
            return py::bytes(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size());
          },
          "The 222 record bytes.")
      .def_property_readonly("checksum", &MotorProfile::Checksum, "The stored checksum (16 bits).")
      .def_property_readonly("checksum_ok", &ProfileChecksumValid,
                             "Whether the stored checksum matches the data (two's complement of the 16-bit sum of "
                             "bytes 0..219).")
      .def_property_readonly(
          "valid", [](const MotorProfile& p) { return !FirstProblem(p).has_value(); },
          "Whether the profile passes check(): every field in its range, the texts fit the file, the checksum "
          "matches.")
      .def(
          "check",
          [](const MotorProfile& p) {
            if (const std::optional<Problem> problem = FirstProblem(p)) RaiseProblem(*problem);
          },
          "Holds the profile to the profile file reader's rules, in file order: the name 1..11 and the comment "
          "0..17 characters on one line, every field in its range, the checksum matching the data and the bytes "
          "after the texts zero. InvalidProfileError (a ValueError) names the first field that fails and its line "
          "in the file; nothing when all pass. A profile that passes is written by save() as load() reads it.")
      .def(
          "set",
          [](MotorProfile& p, const std::string& key, const py::object& value, bool clamp) {
            const FieldAccess& a = AccessOf(key);
            SetField(a, p, value, clamp);
            return a.get(p);
          },
          py::arg("key"), py::arg("value"), py::kw_only(), py::arg("clamp") = false,
          "Sets a field by its key. clamp=False checks it as setting the attribute does; clamp=True applies the "
          "profile editor's rules: a number outside the range is pulled to the nearest limit, speeds keep whole "
          "tens of RPM, tenths fields drop the fraction beyond one decimal, a longer text is cut and an empty one "
          "keeps the previous. Returns the value as stored (in the shown units). KeyError for an unknown key.")
      .def(
          "diff",
          [](const MotorProfile& a, const MotorProfile& b) {
            ProfileCompare compare;
            compare.SetSide(0, a);
            compare.SetSide(1, b);
            std::vector<ProfileDifference> out;
            for (int row : compare.Differences(0, 1)) {
              const CompareField& f = compare.Field(row);
              out.push_back({f.key, f.label, f.unit, CompareValueWithUnit(f, a), CompareValueWithUnit(f, b),
                             CompareDiffLine(f, a, b)});
            }
            return out;
          },
          py::arg("other"),
          "The fields in which this profile differs from the other, in file order, as 'morvane-cli profile diff' "
          "lists them (differences are found on the raw bytes, padding after a name included); [] when equal.")
      .def(
          "text",
          [](const MotorProfile& p, const std::string& key) {
            const CompareField* f = FindCompareField(key);
            if (f == nullptr) throw py::key_error(key);
            return CompareValueWithUnit(*f, p);
          },
          py::arg("key"),
          "A field as the comparison shows it, with its unit: 'cont_under_voltage_trip' -> '35.0 V', "
          "'motor_ac_vf_data_speed[3]' -> '8000 RPM', 'checksum' -> '54716'. KeyError for an unknown key.")
      .def_property_readonly_static(
          "fields", [](const py::object&) { return py::tuple(py::cast(Fields())); },
          "Every field as a ProfileField, in profile file order.")
      .def(
          "copy", [](const MotorProfile& p) { return p; }, "A copy.")
      .def("__copy__", [](const MotorProfile& p) { return p; })
      .def("__deepcopy__", [](const MotorProfile& p, const py::object&) { return p; })
      .def("__eq__",
           [](const MotorProfile& a, const py::object& b) -> py::object {
             if (!py::isinstance<MotorProfile>(b)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             return py::bool_(a == b.cast<const MotorProfile&>());
           })
      .def("__repr__",
           [](const MotorProfile& p) {
             return "<Profile " + py::repr(StrOfLatin1(p.Name())).cast<std::string>() + " (" +
                    py::repr(StrOfLatin1(p.Comment())).cast<std::string>() + "), checksum " +
                    std::to_string(p.Checksum()) + (ProfileChecksumValid(p) ? "" : " invalid") + ">";
           })
      .def(py::pickle(
          [](const MotorProfile& p) {
            return py::bytes(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size());
          },
          [](const py::bytes& b) { return ProfileOfBuffer(b); }));
  profile.attr("__hash__") = py::none();

  for (const FieldAccess& a : Access()) {
    if (a.key == "vf_table") continue;
    const ProfileField& f = FieldNamed(Fields(), a.key);
    const FieldAccess* access = &a;
    profile.def_property(
        a.key.c_str(), [access](const MotorProfile& p) { return access->get(p); },
        [access](MotorProfile& p, const py::object& value) { SetField(*access, p, value, false); },
        FieldDoc(f).c_str());
  }
  const FieldAccess* table = &AccessOf("vf_table");
  profile.def_property(
      "vf_table", [table](const MotorProfile& p) { return table->get(p); },
      [table](MotorProfile& p, const py::object& rows) { SetField(*table, p, rows, false); },
      "The V/F table as 5 rows of 12 values, in the V/F editor's order: speed (RPM), voltage at no load (V), "
      "voltage at maximum load (V), speed loss at no load (RPM), speed loss at maximum load (RPM); each row "
      "checked as its own attribute.");
}

}  // namespace mv::python
