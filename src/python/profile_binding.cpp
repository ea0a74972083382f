// morvane.Profile: the 222-byte motor profile record with its file reader and
// writer, the profile editor's fields and rules, the V/F table and the field
// comparison of `morvane-cli profile diff`.
#include <Python.h>

#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "profiles/motor_profile.h"
#include "profiles/profile_compare.h"
#include "profiles/profile_edit_rules.h"
#include "profiles/profile_file.h"
#include "python/binding.h"
#include "python/script_error.h"

namespace mv::python {

namespace {

// A path given as str or os.PathLike.
std::string PathOf(const py::object& path) {
  return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
}

const ScalarField& ScalarAt(std::size_t offset) {
  for (const ScalarField& s : kScalarFields)
    if (s.offset == offset) return s;
  throw std::logic_error("no scalar field at that offset");
}

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

py::object ShownOf(const NumericEdit& f, const MotorProfile& p) {
  return Shown(p.U16(f.offset), f.kind == EditKind::Tenths, f.kind == EditKind::Speed);
}

py::object LimitOf(std::int32_t limit, bool tenths) {
  return tenths ? py::object(py::float_(limit / 10.0)) : py::object(py::int_(limit));
}

// A number from Python for `key`: TypeError for anything else, ValueError
// for NaN. Whole numbers come through exactly up to 2^53; beyond that they
// are far outside every range and are pulled to its limit all the same.
double NumberOf(const py::handle& value, const std::string& key) {
  if (py::isinstance<py::bool_>(value) || !(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)))
    throw py::type_error(key + " takes a number");
  const double v = py::cast<double>(value);
  if (std::isnan(v)) throw py::value_error(key + " takes a number, not NaN");
  return v;
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

std::string RangeText(const py::object& lo, const py::object& hi, const std::string& unit) {
  std::string text = py::str(lo).cast<std::string>() + " to " + py::str(hi).cast<std::string>();
  return unit.empty() ? text : text + " " + unit;
}

const ProfileField& FieldNamed(const std::vector<ProfileField>& fields, const std::string& key) {
  for (const ProfileField& f : fields)
    if (f.key == key) return f;
  throw std::logic_error("no field " + key);
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

// Puts 12 values into row `row` of `table` (all or nothing).
void SetVfRowOf(VfTable& table, int row, const py::handle& values, const std::string& key) {
  const py::sequence seq = py::reinterpret_borrow<py::sequence>(values);
  if (!py::isinstance<py::sequence>(values) || py::len(seq) != kVfPoints)
    throw py::value_error(key + " takes 12 values");
  VfTable t = table;
  for (std::size_t i = 0; i < kVfPoints; ++i) {
    const double v = NumberOf(seq[i], key);
    if (!SetVfCellValue(t, row, static_cast<int>(i), v)) throw py::value_error(key + " takes whole numbers (RPM)");
  }
  table = t;
}

}  // namespace

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

  // Never destroyed: its Python objects must not be released after the
  // interpreter has gone at exit.
  static const std::vector<ProfileField>& fields = *new std::vector<ProfileField>(BuildFields());

  py::class_<MotorProfile> profile(
      m, "Profile",
      "A motor profile: the 222-byte record the drive keeps in each of its six slots, the profile files hold and the "
      "SPL image carries. Made by Profile.load(), Profile.default(), Profile.from_bytes() or read from a drive.\n\n"
      "Every field is an attribute named by its profile file key, in the units the profile editor shows (volts and "
      "amperes with one decimal, speeds in RPM). Setting a field follows the editor: numbers outside the range are "
      "pulled to the nearest limit, speeds keep whole tens of RPM, tenths fields drop the fraction beyond one "
      "decimal; and, as when the editor closes, the checksum is made good again.");

  profile
      .def_static(
          "load", [](const py::object& path) { return ReadProfileFile(PathOf(path)); }, py::arg("path"),
          "Reads a profile file with every check of the reader. FileRefused with the reader's message and the "
          "line that failed.")
      .def(
          "save",
          [](const MotorProfile& p, const py::object& path) {
            const std::string file = PathOf(path);
            std::string message;
            if (writeMotorProfileFile(file, p, message)) return;
            ScriptError e(ErrorKind::FileRefused, message);
            e.path = file;
            e.message = message;
            throw e;
          },
          py::arg("path"),
          "Writes the profile file (55 lines, CR LF), replacing the file only once the new one is complete; the "
          "checksum is written as stored. FileRefused when it cannot be written (the previous file is unchanged).")
      .def_static(
          "default", [](int slot) { return MotorProfileDefaults(SlotIndexOf(slot)); }, py::arg("slot"),
          "The default profile of slot 1..6 (name 'P01'..'P06', comment 'Default').")
      .def_static(
          "from_bytes",
          [](const py::buffer& data) {
            const py::buffer_info info = data.request();
            const auto size = static_cast<std::size_t>(info.size * info.itemsize);
            if (info.ndim != 1 || size != kProfileSize)
              throw py::value_error("a profile is 222 bytes, not " + std::to_string(size));
            MotorProfile p;
            std::memcpy(p.bytes.data(), info.ptr, kProfileSize);
            return p;
          },
          py::arg("data"),
          "The profile of these 222 record bytes, as they are (the checksum is not checked: see valid).")
      .def(
          "to_bytes",
          [](const MotorProfile& p) {
            return py::bytes(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size());
          },
          "The 222 record bytes.")
      .def_property_readonly("checksum", &MotorProfile::Checksum, "The stored checksum (16 bits).")
      .def_property_readonly("valid", &ProfileChecksumValid,
                             "Whether the stored checksum matches the data (two's complement of the 16-bit sum of "
                             "bytes 0..219).")
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
          "'motor_ac_vf_data_speed[3]' -> '8000 RPM', 'checksum' -> '54716'.")
      .def_property_readonly_static(
          "fields", [](const py::object&) { return py::tuple(py::cast(fields)); },
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
          [](const py::bytes& b) {
            const std::string s = b;
            if (s.size() != kProfileSize) throw py::value_error("a profile is 222 bytes");
            MotorProfile p;
            std::memcpy(p.bytes.data(), s.data(), kProfileSize);
            return p;
          }));
  profile.attr("__hash__") = py::none();

  // Name and comment.
  for (TextEdit which : {TextEdit::Name, TextEdit::Comment}) {
    const ProfileField& f = FieldNamed(fields, which == TextEdit::Name ? "name" : "comment");
    const std::size_t maxChars = which == TextEdit::Name ? kNameMaxChars : kCommentMaxChars;
    const std::string doc = f.label + ": up to " + std::to_string(maxChars) +
                            " single-byte (Latin-1) characters; a longer text is cut, as in the editor, and an "
                            "empty one refused (the editor keeps the previous text).";
    const std::string key = f.key;
    profile.def_property(
        key.c_str(),
        [which](const MotorProfile& p) { return StrOfLatin1(which == TextEdit::Name ? p.Name() : p.Comment()); },
        [which, key](MotorProfile& p, const py::str& text) {
          std::string latin = Latin1Of(text, key.c_str());
          latin = latin.substr(0, latin.find('\0'));
          if (latin.empty()) throw py::value_error(key + " cannot be empty");
          MotorProfile accepted = p;
          CommitTextEdit(which, latin, p, accepted);
          UpdateChecksum(p);
        },
        doc.c_str());
  }

  // The numeric edits, the lists and the check box, in file order.
  for (const ScalarField& s : kScalarFields) {
    const ProfileField& f = FieldNamed(fields, s.key);
    const std::string key = s.key;
    const NumericEdit* edit = nullptr;
    for (const NumericEdit& e : kNumericEdits)
      if (e.offset == s.offset) edit = &e;
    if (edit != nullptr) {
      std::string doc = f.label + " (" + f.group + "): " + RangeText(f.minimum, f.maximum, f.unit) + ".";
      if (edit->kind == EditKind::Tenths) doc += " One decimal kept; the rest of the fraction is dropped.";
      if (edit->kind == EditKind::Speed) doc += " Stored in tens of RPM; the rest is dropped.";
      doc += " Values outside the range are pulled to the nearest limit.";
      profile.def_property(
          key.c_str(), [edit](const MotorProfile& p) { return ShownOf(*edit, p); },
          [edit, key](MotorProfile& p, const py::object& value) {
            if (!SetNumericEditValue(*edit, NumberOf(value, key), p))
              throw py::value_error(key + " takes a whole number");
            UpdateChecksum(p);
          },
          doc.c_str());
      continue;
    }
    std::string items;
    for (const auto& item : py::cast<py::dict>(f.choices)) {
      if (!items.empty()) items += ", ";
      items += py::str(item.first).cast<std::string>() + " = " + py::str(item.second).cast<std::string>();
    }
    const std::string doc = f.label + " (" + f.group + "): " + items + ".";
    const std::size_t offset = s.offset;
    const std::uint16_t lo = s.min, hi = s.max;
    profile.def_property(
        key.c_str(), [offset](const MotorProfile& p) { return p.U16(offset); },
        [offset, lo, hi, key, items](MotorProfile& p, const py::object& value) {
          if (py::isinstance<py::int_>(value)) {
            const py::int_ v(value);
            if (v >= py::int_(lo) && v <= py::int_(hi)) {
              MotorProfile accepted = p;
              CommitChoice(offset, v.cast<std::uint16_t>(), p, accepted);
              UpdateChecksum(p);
              return;
            }
          }
          throw py::value_error(key + " is one of " + items);
        },
        doc.c_str());
  }

  // The V/F table: a row by its file key, and the whole table.
  for (int r = 0; r < kVfRowCount; ++r) {
    const ProfileField& f = FieldNamed(fields, kVfArrays[r].key);
    const std::string key = f.key;
    const std::string doc = "V/F table, " + f.label + ": 12 values, each " + RangeText(f.minimum, f.maximum, f.unit) +
                            (kVfRows[r].tenths ? " with one decimal" : " in whole tens") +
                            "; values outside are pulled to the nearest limit.";
    profile.def_property(
        key.c_str(), [r](const MotorProfile& p) { return VfRowOf(p, r); },
        [r, key](MotorProfile& p, const py::object& values) {
          VfTable t = VfTableOf(p);
          SetVfRowOf(t, r, values, key);
          SetVfTable(p, t);
          UpdateChecksum(p);
        },
        doc.c_str());
  }
  profile.def_property(
      "vf_table",
      [](const MotorProfile& p) {
        py::tuple rows(kVfRowCount);
        for (int r = 0; r < kVfRowCount; ++r) rows[static_cast<std::size_t>(r)] = VfRowOf(p, r);
        return rows;
      },
      [](MotorProfile& p, const py::object& rows) {
        const py::sequence seq = py::reinterpret_borrow<py::sequence>(rows);
        if (!py::isinstance<py::sequence>(rows) || py::len(seq) != static_cast<std::size_t>(kVfRowCount))
          throw py::value_error("vf_table takes 5 rows of 12 values");
        VfTable t = VfTableOf(p);
        for (int r = 0; r < kVfRowCount; ++r) SetVfRowOf(t, r, seq[static_cast<std::size_t>(r)], kVfArrays[r].key);
        SetVfTable(p, t);
        UpdateChecksum(p);
      },
      "The V/F table as 5 rows of 12 values, in the V/F editor's order: speed (RPM), voltage at no load (V), "
      "voltage at maximum load (V), speed loss at no load (RPM), speed loss at maximum load (RPM).");
}

}  // namespace mv::python
