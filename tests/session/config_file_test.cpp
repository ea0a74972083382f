#include "session/config_file.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using namespace mv;
using namespace PLKDVX;
using mvtest::LineCase;
using mvtest::ReadFile;
using mvtest::TempDir;
using mvtest::With;
using mvtest::WriteFile;

AppConfig Sample() {
  AppConfig c;
  c.com_port = 3;
  c.baud_rate = br19200;
  c.data_bits = db7;
  c.parity = paEven;
  c.stop_bits = sb2;
  c.hex_file = "/home/eng/fw/main.hex";
  c.app_start_address = 0x2800;
  c.motor_profile_start_address = 0x4000;
  c.spl_file_dir = "/home/eng/out dir";
  return c;
}

// Parses lines, expecting failure with `expected` and nothing changed; a
// failure names the case.
void ExpectRefused(const std::string& name, const std::vector<std::string>& lines, const std::string& expected) {
  SCOPED_TRACE(name);
  AppConfig out = Sample();
  std::string message;
  EXPECT_FALSE(ParseConfigLines(lines, out, message));
  EXPECT_EQ(message, expected);
  EXPECT_EQ(out, Sample()) << "settings changed by a refused load";
}

// Each case refused, named by its line.
void ExpectLinesRefused(const std::vector<LineCase>& cases) {
  for (const LineCase& c : cases) ExpectRefused(c.Name(), With(ConfigFileLines(Sample()), c.line, c.text), c.expected);
}

AppConfig ReadOk(const std::vector<std::string>& lines) {
  AppConfig out;
  std::string message;
  EXPECT_TRUE(ParseConfigLines(lines, out, message)) << message;
  return out;
}

TEST(ConfigFile, SavedFileLoadsBackExactly) {
  TempDir dir;
  const std::string path = dir.File("host.ini");
  std::string message;
  ASSERT_TRUE(WriteConfigFile(path, Sample(), message)) << message;
  EXPECT_EQ(ReadFile(path),
            "Morvane Controller Host Configuration File\r\n\r\nvers_major: 1\r\nvers_minor: 3\r\n\r\n"
            "com_port: 3\r\nbaud_rate: 19200\r\ndata_bits: 7\r\nparity: even\r\nstop_bits: 2\r\n\r\n"
            "hex_file: /home/eng/fw/main.hex\r\napp_start_address: 0x02800\r\n"
            "motor_profile_start_address: 0x04000\r\nspl_file_dir: /home/eng/out dir\r\n\r\n");
  AppConfig back;
  ASSERT_TRUE(ReadConfigFile(path, back, message)) << message;
  EXPECT_EQ(back, Sample());

  // Defaults (no hex file, no folder) also round-trip.
  ASSERT_TRUE(WriteConfigFile(path, AppConfig{}, message));
  back = Sample();
  ASSERT_TRUE(ReadConfigFile(path, back, message)) << message;
  EXPECT_EQ(back, AppConfig{});
}

TEST(ConfigFile, EveryReadableSettingMapsBack) {
  const int bauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  for (int b : bauds) {
    const AppConfig c = ReadOk(With(ConfigFileLines(Sample()), 7, "baud_rate: " + std::to_string(b)));
    EXPECT_EQ(BaudRateStr(c.baud_rate), std::to_string(b));
  }
  for (auto p : {paNone, paOdd, paEven}) {
    AppConfig s = Sample();
    s.parity = p;
    EXPECT_EQ(ReadOk(ConfigFileLines(s)).parity, p);
  }
  EXPECT_EQ(ReadOk(With(ConfigFileLines(Sample()), 8, "data_bits: 8")).data_bits, db8);
  EXPECT_EQ(ReadOk(With(ConfigFileLines(Sample()), 10, "stop_bits: 1")).stop_bits, sb1);
  EXPECT_EQ(ReadOk(With(ConfigFileLines(Sample()), 6, "com_port: 32")).com_port, 32);
}

TEST(ConfigFile, SizeBlankLinesAndHeaderInOrder) {
  auto lines = ConfigFileLines(Sample());
  lines.push_back("");
  ExpectRefused("17 lines", lines, "ERROR: - invalid confguration file size, got 17 lines, expected 16");
  lines.pop_back();
  lines.pop_back();
  ExpectRefused("15 lines", lines, "ERROR: - invalid confguration file size, got 15 lines, expected 16");

  ExpectLinesRefused({{2, " ", "ERROR: - line #1 not blank"},
                      {5, "x", "ERROR: - line #4 not blank"},
                      {11, "\t", "ERROR: - line #10 not blank"},
                      {16, " ", "ERROR: - line #16 not blank"}});
  // Blank lines come before the header, which comes before the version.
  const auto good = ConfigFileLines(Sample());
  ExpectRefused("header and line 11", With(With(good, 1, "Header"), 11, "x"), "ERROR: - line #10 not blank");
  ExpectRefused("header and line 3", With(With(good, 1, "Header"), 3, "vers_major: x"), "ERROR: - invalid header");
}

TEST(ConfigFile, Version) {
  ExpectLinesRefused({{4, "vers_minor: 2", "ERROR: - invalid configuration file version, got V1.2, expected V1.3"},
                      {3, "vers_major: -1", "ERROR: - invalid vers_major: field"},
                      {4, "vers_minor: 3 ", "ERROR: - invalid vers_minor: field"}});
  ExpectRefused("V2.0", With(With(ConfigFileLines(Sample()), 3, "vers_major: 2"), 4, "vers_minor: 0"),
                "ERROR: - invalid configuration file version, got V2.0, expected V1.3");
}

TEST(ConfigFile, PortFields) {
  ExpectLinesRefused({{6, "com_port: 0", "ERROR: - invalid com_port: field"},
                      {6, "com_port: 33", "ERROR: - invalid com_port: field"},
                      {6, "com_port:3", "ERROR: - invalid com_port: field"},
                      {7, "baud_rate: 110", "ERROR: - invalid baud_rate: field"},
                      {7, "baud_rate: fast", "ERROR: - invalid baud_rate: field"},
                      {8, "data_bits: 5", "ERROR: - invalid data_bits: field"},
                      {9, "parity: Even", "ERROR: - invalid parity: field"},
                      {10, "stop_bits: 1.5", "ERROR: - invalid stop_bits: field"}});
  // Number syntax applies to numeric port fields.
  EXPECT_EQ(ReadOk(With(ConfigFileLines(Sample()), 6, "com_port: $0A")).com_port, 10);
}

TEST(ConfigFile, SettingsThePortHasButTheFileCannotHoldAreWrittenThenRefused) {
  AppConfig mark = Sample();
  mark.parity = paMark;
  const auto lines = ConfigFileLines(mark);
  EXPECT_EQ(lines[8], "parity: mark");
  ExpectRefused("mark parity", lines, "ERROR: - invalid parity: field");

  AppConfig half = Sample();
  half.stop_bits = sb1_5;
  EXPECT_EQ(ConfigFileLines(half)[9], "stop_bits: 1.5");
  ExpectRefused("1.5 stop bits", ConfigFileLines(half), "ERROR: - invalid stop_bits: field");
}

TEST(ConfigFile, HexFileAndFolder) {
  const auto good = ConfigFileLines(Sample());
  EXPECT_EQ(ReadOk(With(good, 12, "hex_file: ")).hex_file, "");
  EXPECT_EQ(ReadOk(With(good, 12, "hex_file: a.h86")).hex_file, "a.h86");
  EXPECT_EQ(ReadOk(With(good, 12, "hex_file: /x.y/fw.hex")).hex_file, "/x.y/fw.hex");
  EXPECT_EQ(ReadOk(With(good, 12, "hex_file: /" + std::string(245, 'a') + ".hex")).hex_file.size(), 250u);
  EXPECT_EQ(ReadOk(With(good, 15, "spl_file_dir: ")).spl_file_dir, "");
  ExpectLinesRefused({{12, "hex_file: /fw/MAIN.HEX", "ERROR: - invalid hex file extension"},
                      {12, "hex_file: /fw.hex/main", "ERROR: - invalid hex file extension"},
                      {12, "hex_file: main.hex ", "ERROR: - invalid hex file extension"},
                      {12, "hex_file: /" + std::string(246, 'a') + ".hex", "ERROR: - invalid hex_file: field"},
                      {12, "hex_file:", "ERROR: - invalid hex_file: field"},
                      {15, "spl_file_dir: " + std::string(251, 'd'), "ERROR: - spl_file_dir: field"},
                      {15, "spl_file_dir:", "ERROR: - spl_file_dir: field"}});
  // The extension is checked right after line 12, before the addresses.
  ExpectRefused("lines 12 and 13", With(With(good, 12, "hex_file: a.txt"), 13, "app_start_address: 1"),
                "ERROR: - invalid hex file extension");
}

TEST(ConfigFile, AddressesAreMultiplesOfThePageSize) {
  const auto good = ConfigFileLines(Sample());
  EXPECT_EQ(ReadOk(With(good, 13, "app_start_address: 0x02000")).app_start_address, 8192u);
  EXPECT_EQ(ReadOk(With(good, 13, "app_start_address: 8192")).app_start_address, 8192u);
  // Only the step is checked, not the nominal range.
  EXPECT_EQ(ReadOk(With(good, 14, "motor_profile_start_address: 0x10000")).motor_profile_start_address, 0x10000u);
  ExpectLinesRefused(
      {{13, "app_start_address: 0x02100", "ERROR: - invalid app_start_address: field"},
       {14, "motor_profile_start_address: 100", "ERROR: - invalid motor_profile_start_address: field"},
       // A negative address would wrap to a huge one.
       {13, "app_start_address: -2048", "ERROR: - invalid app_start_address: field"},
       {14, "motor_profile_start_address: -$800", "ERROR: - invalid motor_profile_start_address: field"}});
}

TEST(ConfigFile, FileLevelFailures) {
  TempDir dir;
  AppConfig out = Sample();
  std::string message;
  EXPECT_FALSE(ReadConfigFile(dir.File("none.ini"), out, message));
  EXPECT_EQ(message,
            "ERROR: - unable to read configuration file " + dir.File("none.ini") + ": No such file or directory");
  EXPECT_EQ(out, Sample());

  // LF-only files read as well.
  std::string text;
  for (const auto& l : ConfigFileLines(Sample())) text += l + "\n";
  WriteFile(dir.File("lf.ini"), text);
  EXPECT_TRUE(ReadConfigFile(dir.File("lf.ini"), out, message)) << message;

  const std::string path = dir.File("host.ini");
  ASSERT_TRUE(WriteConfigFile(path, Sample(), message));
  const std::string before = ReadFile(path);
  EXPECT_FALSE(WriteConfigFile(dir.File("no/host.ini"), AppConfig{}, message));
  EXPECT_EQ(message,
            "ERROR: - unable to write configuration file " + dir.File("no/host.ini") + ": No such file or directory");
  EXPECT_EQ(ReadFile(path), before);
}

}  // namespace
