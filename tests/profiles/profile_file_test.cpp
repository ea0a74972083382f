#include "profiles/profile_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/test_support.h"

namespace {

using namespace mv;
using mvtest::LineCase;
using mvtest::ReadFile;
using mvtest::TempDir;
using mvtest::With;
using mvtest::WriteFile;

std::vector<std::string> DefaultLines() { return MotorProfileFileLines(MotorProfileDefaults(0)); }

std::string Join(const std::vector<std::string>& lines, const std::string& eol) {
  std::string s;
  for (const auto& l : lines) s += l + eol;
  return s;
}

// Reads lines, expecting failure with `expected`, and checks the record is
// untouched; a failure names the case.
void ExpectRefused(const std::string& name, const std::vector<std::string>& lines, const std::string& expected) {
  SCOPED_TRACE(name);
  MotorProfile out = MotorProfileDefaults(5);
  const MotorProfile before = out;
  std::string message;
  EXPECT_FALSE(ParseMotorProfileLines(lines, out, message));
  EXPECT_EQ(message, expected);
  EXPECT_EQ(out, before) << "record changed by a refused read";
}

MotorProfile ReadOk(const std::vector<std::string>& lines) {
  MotorProfile out;
  std::string message;
  EXPECT_TRUE(ParseMotorProfileLines(lines, out, message)) << message;
  return out;
}

// Each case refused, named by its line.
void ExpectLinesRefused(const std::vector<LineCase>& cases) {
  for (const LineCase& c : cases) ExpectRefused(c.Name(), With(DefaultLines(), c.line, c.text), c.expected);
}

TEST(ProfileFileWriter, DefaultProfileLinesAndRoundTrip) {
  TempDir dir;
  const std::string path = dir.File("p01.ini");
  const MotorProfile p = MotorProfileDefaults(0);
  std::string message;
  ASSERT_TRUE(writeMotorProfileFile(path, p, message)) << message;

  const std::string text = ReadFile(path);
  for (const char* line : {"Motor Profile Configuration File\r\n\r\nvers_major: 1\r\nvers_minor: 1\r\n\r\nname: P01\r\n"
                           "comment: Default\r\n\r\ncont_under_voltage_trip: 350\r\n",
                           "\r\ncont_pwm_freq: 90\r\ncont_braking_ratio: 8\r\n\r\n", "\r\nmotor_speed_max: 7500\r\n",
                           "\r\nmotor_ac_vf_data_speed: 0 250 600 800 1000 2000 3000 4000 5000 6000 8000 10000\r\n",
                           "\r\nmotor_ac_vf_data_speed_loss_no_load: 50 50 50 50 50 50 50 50 50 50 50 50\r\n",
                           "\r\n\r\nchecksum: 54716\r\n\r\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.size() - text.rfind("checksum: 54716\r\n\r\n"), std::string("checksum: 54716\r\n\r\n").size());

  MotorProfile back;
  ASSERT_TRUE(readMotorProfileFile(path, back, message)) << message;
  EXPECT_EQ(back.bytes, p.bytes);
}

TEST(ProfileFileWriter, WritesStoredChecksumAndOutOfRangeValuesAsTheyAre) {
  MotorProfile p = MotorProfileDefaults(1);
  p.SetU16(off::cont_pwm_freq, 500);  // beyond the reader's range; checksum left stale
  p.SetComment("");
  const auto lines = MotorProfileFileLines(p);
  ASSERT_EQ(lines.size(), 55u);
  EXPECT_EQ(lines[6], "comment: ");
  EXPECT_EQ(lines[12], "cont_pwm_freq: 500");
  EXPECT_EQ(lines[53], "checksum: " + std::to_string(p.Checksum()));
  ExpectRefused("as written", lines, "ERROR: - cont_pwm_freq: field");
}

TEST(ProfileFileReader, LineCountAndLineEndings) {
  const auto lines = DefaultLines();
  TempDir dir;
  MotorProfile out;
  std::string message;
  for (const char* eol : {"\r\n", "\n", "\r"}) {
    WriteFile(dir.File("f.ini"), Join(lines, eol));
    EXPECT_TRUE(readMotorProfileFile(dir.File("f.ini"), out, message)) << message;
    EXPECT_EQ(out, MotorProfileDefaults(0));
  }
  // An editor that drops the last empty line.
  std::string text = Join(lines, "\r\n");
  WriteFile(dir.File("f.ini"), text.substr(0, text.size() - 2));
  EXPECT_FALSE(readMotorProfileFile(dir.File("f.ini"), out, message));
  EXPECT_EQ(message, "ERROR: - invalid motor profile file size, got 54 lines, expected 55");

  auto longer = lines;
  longer.push_back("");
  ExpectRefused("56 lines", longer, "ERROR: - invalid motor profile file size, got 56 lines, expected 55");
  ExpectRefused("no lines", {}, "ERROR: - invalid motor profile file size, got 0 lines, expected 55");

  EXPECT_FALSE(readMotorProfileFile(dir.File("none.ini"), out, message));
  EXPECT_EQ(message,
            "ERROR: - unable to read motor profile file " + dir.File("none.ini") + ": No such file or directory");
}

TEST(ProfileFileReader, BlankLinesCheckedInOrderBeforeHeader) {
  auto lines = With(With(DefaultLines(), 53, "x"), 5, " ");
  lines[0] = "bad header";
  ExpectRefused("lines 5 and 53 and the header", lines, "ERROR: - line #5 not blank");
  std::vector<LineCase> cases = {{1, "Motor Profile Configuration File ", "ERROR: - invalid header"},
                                 {1, "motor profile configuration file", "ERROR: - invalid header"}};
  for (int n : {2, 8, 15, 23, 36, 45, 53, 55})
    cases.push_back({n, " ", "ERROR: - line #" + std::to_string(n) + " not blank"});
  ExpectLinesRefused(cases);
}

TEST(ProfileFileReader, VersionLines) {
  ExpectRefused("V2.0", With(With(DefaultLines(), 3, "vers_major: 2"), 4, "vers_minor: 0"),
                "ERROR: - invalid configuration file version, got V2.0, expected V1.1");
  ExpectLinesRefused({{4, "vers_minor: 2", "ERROR: - invalid configuration file version, got V1.2, expected V1.1"},
                      {3, "vers_major: 1000", "ERROR: - invalid vers_major: field"},
                      {3, "vers_major:1", "ERROR: - invalid vers_major: field"},
                      {4, "vers_minor: one", "ERROR: - invalid vers_minor: field"}});
  ReadOk(With(DefaultLines(), 3, "vers_major: $1"));
}

TEST(ProfileFileReader, NameAndCommentLengthsAndSpaces) {
  ExpectLinesRefused({{6, "name: ", "ERROR: - invalid name: field"},
                      {6, "name: 123456789012", "ERROR: - invalid name: field"},
                      {6, "name:P01", "ERROR: - invalid name: field"},
                      {7, "comment:", "ERROR: - invalid comment: field"},
                      {7, "comment: 123456789012345678", "ERROR: - invalid comment: field"}});

  // Accepted texts change the checksum; fix line 54 from the record the reader builds.
  auto accepted = [](const std::string& name, const std::string& comment) {
    MotorProfile p = MotorProfileDefaults(0);
    p.SetName(name);
    p.SetComment(comment);
    UpdateChecksum(p);
    auto lines = With(With(DefaultLines(), 6, "name: " + name), 7, "comment: " + comment);
    lines[53] = "checksum: " + std::to_string(p.Checksum());
    const MotorProfile got = ReadOk(lines);
    EXPECT_EQ(got, p);
    return got;
  };
  EXPECT_EQ(accepted("12345678901", "").Comment(), "");
  EXPECT_EQ(accepted(" a b  ", "12345678901234567").Name(), " a b  ");
  const MotorProfile latin = accepted("Mot\xF6r", "\xE9t\xE9");  // single-byte text passes through
  EXPECT_EQ(latin.bytes[3], 0xF6);
}

TEST(ProfileFileReader, NumericFieldMessagesFollowTheirLines) {
  // Lines whose message carries the word "invalid".
  const std::set<int> withInvalid = {9, 10, 16, 17, 18, 19, 20, 21, 25, 26};
  std::vector<LineCase> cases;
  for (const ScalarField& f : kScalarFields) {
    const std::string key = f.key;
    const std::string expected =
        std::string("ERROR: - ") + (withInvalid.count(f.fileLine) ? "invalid " : "") + key + ": field";
    for (const std::string& value : {": " + std::to_string(f.max + 1), std::string(": "), ":" + std::to_string(f.def),
                                     ": " + std::to_string(f.def) + " "})
      cases.push_back({f.fileLine, key + value, expected});
    if (f.min > 0) cases.push_back({f.fileLine, key + ": " + std::to_string(f.min - 1), expected});
  }
  ExpectLinesRefused(cases);
  // Fields are checked in file order: PWM (line 13) before braking ratio (line 14).
  ExpectRefused("lines 13 and 14 wrong",
                With(With(DefaultLines(), 14, "cont_braking_ratio: 0"), 13, "cont_pwm_freq: 0"),
                "ERROR: - cont_pwm_freq: field");
  // Lines 13/14 swapped in the file are refused, not silently mapped.
  auto swapped = DefaultLines();
  std::swap(swapped[12], swapped[13]);
  ExpectRefused("lines 13 and 14 swapped", swapped, "ERROR: - cont_pwm_freq: field");
}

TEST(ProfileFileReader, NumberSyntaxAndSixteenBitCut) {
  for (const char* text : {"cont_pwm_freq: $5A", "cont_pwm_freq: 65626", "cont_pwm_freq:  90", "cont_pwm_freq: 0x5a"}) {
    const MotorProfile p = ReadOk(With(DefaultLines(), 13, text));
    EXPECT_EQ(p.U16(off::cont_pwm_freq), 90) << text;
  }
  // The record keeps braking ratio before PWM frequency.
  const MotorProfile p = ReadOk(DefaultLines());
  EXPECT_EQ(p.bytes[38], 8);
  EXPECT_EQ(p.bytes[40], 90);
}

TEST(ProfileFileReader, VfLists) {
  const std::string key = "motor_ac_vf_data_speed: ";
  const std::string msg = "ERROR: - motor_ac_vf_data_speed: field";
  const std::string eleven = "0 250 600 800 1000 2000 3000 4000 5000 6000 8000";
  ExpectLinesRefused({
      {48, key + eleven, msg + " value count"},
      {48, key + eleven + " 10000 1", msg + " value count"},
      {48, key + eleven + " 24001", msg + " value"},
      {48, key + eleven + " -1", msg + " value"},
      {48, key + eleven + " 1e4", msg + " value"},
      {48, key + "0 0 0 0 0 0 0 0 0 0 0", msg + " length"},  // 21 characters
      {48, key + std::string(72, '1'), msg + " length"},
      {48, "motor_ac_vf_data_speed:" + eleven + " 10000", msg + " length"},
      // A tab is not a separator.
      {48, key + "0\t250 600 800 1000 2000 3000 4000 5000 6000 8000 10000", msg + " value count"},
      // Limits of the other lines.
      {49, "motor_ac_vf_data_voltage_no_load: 60 60 60 60 70 120 170 230 290 340 410 481",
       "ERROR: - motor_ac_vf_data_voltage_no_load: field value"},
      {50, "motor_ac_vf_data_voltage_max_load: " + std::string(48, '1'),
       "ERROR: - motor_ac_vf_data_voltage_max_load: field length"},
      {51, "motor_ac_vf_data_speed_loss_no_load: 50 50 50 50 50 50 50 50 50 50 50 2001",
       "ERROR: - motor_ac_vf_data_speed_loss_no_load: field value"},
      {52, "motor_ac_vf_data_speed_loss_max_load: 1 1 1 1 1 1 1 1 1 1 1 1 1",
       "ERROR: - motor_ac_vf_data_speed_loss_max_load: field value count"},
  });
  // Runs of blanks count as one separator; surrounding blanks are trimmed.
  ReadOk(With(DefaultLines(), 48, key + "0  250 600 800 1000 2000 3000 4000 5000 6000 8000 10000 "));
  ReadOk(With(DefaultLines(), 48, key + " 0 250 600 800 1000 2000 3000 4000 5000 6000 8000 $2710"));
}

TEST(ProfileFileReader, ChecksumLineAndComparison) {
  ExpectLinesRefused({{54, "checksum: abc", "ERROR: - checksum: field"},
                      {54, "checksum:54716", "ERROR: - checksum: field"},
                      {9, "cont_under_voltage_trip: 351", "ERROR: - Invalid checksum got 54716, expected 54715"},
                      {54, "checksum: 0", "ERROR: - Invalid checksum got 0, expected 54716"}});
  // The 16-bit cut applies: 54716 + 65536.
  EXPECT_EQ(ReadOk(With(DefaultLines(), 54, "checksum: 120252")).Checksum(), 54716);
  EXPECT_EQ(ReadOk(With(DefaultLines(), 54, "checksum: $D5BC")).Checksum(), 54716);
}

// A refusal names the line whose check failed (what a script shows next to
// the message); the file as a whole (unreadable, wrong length) is line 0.
TEST(ProfileFileReader, RefusalNamesTheLine) {
  auto lineOf = [](const std::vector<std::string>& lines) {
    MotorProfile out;
    std::string message;
    int line = -1;
    EXPECT_FALSE(ParseMotorProfileLines(lines, out, message, line));
    return line;
  };
  EXPECT_EQ(lineOf(With(DefaultLines(), 1, "Motor Profile")), 1);
  EXPECT_EQ(lineOf(With(DefaultLines(), 36, "x")), 36);
  EXPECT_EQ(lineOf(With(DefaultLines(), 3, "vers_major: 2")), 3);
  EXPECT_EQ(lineOf(With(DefaultLines(), 4, "vers_minor: 0")), 4);
  EXPECT_EQ(lineOf(With(DefaultLines(), 6, "name: ")), 6);
  EXPECT_EQ(lineOf(With(DefaultLines(), 7, "comment: " + std::string(18, 'c'))), 7);
  for (const ScalarField& f : kScalarFields)
    EXPECT_EQ(lineOf(With(DefaultLines(), f.fileLine, std::string(f.key) + ": x")), f.fileLine) << f.key;
  for (const VfArray& a : kVfArrays)
    EXPECT_EQ(lineOf(With(DefaultLines(), a.fileLine, std::string(a.key) + ": 1")), a.fileLine) << a.key;
  EXPECT_EQ(lineOf(With(DefaultLines(), 54, "checksum: 1")), 54);
  EXPECT_EQ(lineOf(std::vector<std::string>(54)), 0);

  TempDir dir;
  MotorProfile out;
  std::string message;
  int line = -1;
  EXPECT_FALSE(readMotorProfileFile(dir.File("missing.ini"), out, message, line));
  EXPECT_EQ(line, 0);
  WriteFile(dir.File("ok.ini"), Join(DefaultLines(), "\r\n"));
  EXPECT_TRUE(readMotorProfileFile(dir.File("ok.ini"), out, message, line)) << message;
  EXPECT_EQ(line, 0);
}

TEST(ProfileFileReader, PaddingFromTheControllerFailsAfterARoundTrip) {
  MotorProfile p = MotorProfileDefaults(0);
  p.bytes[off::name + 5] = 0x7F;  // junk after the name's NUL, as a controller may send
  UpdateChecksum(p);
  const std::uint16_t sent = p.Checksum();
  MotorProfile clean = p;
  clean.bytes[off::name + 5] = 0;

  TempDir dir;
  std::string message;
  ASSERT_TRUE(writeMotorProfileFile(dir.File("p.ini"), p, message)) << message;
  MotorProfile out = MotorProfileDefaults(3);
  EXPECT_FALSE(readMotorProfileFile(dir.File("p.ini"), out, message));
  EXPECT_EQ(message, "ERROR: - Invalid checksum got " + std::to_string(sent) + ", expected " +
                         std::to_string(profileChecksum(clean)));
  EXPECT_EQ(out, MotorProfileDefaults(3));
}

TEST(ProfileFileWriter, FailureKeepsThePreviousFile) {
  TempDir dir;
  std::string message;
  const std::string bad = dir.File("missing/p.ini");
  EXPECT_FALSE(writeMotorProfileFile(bad, MotorProfileDefaults(0), message));
  EXPECT_EQ(message, "ERROR: - unable to write motor profile file " + bad + ": No such file or directory");

  const std::string path = dir.File("p.ini");
  ASSERT_TRUE(writeMotorProfileFile(path, MotorProfileDefaults(0), message));
  const std::string before = ReadFile(path);
  std::filesystem::create_directory(dir.File("dir.ini"));
  EXPECT_FALSE(writeMotorProfileFile(dir.File("dir.ini"), MotorProfileDefaults(1), message));
  EXPECT_EQ(ReadFile(path), before);
}

}  // namespace
