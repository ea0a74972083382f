// End-to-end checks of the profile and config command groups of morvane-cli.
#include <gtest/gtest.h>

#include <cctype>

#include "support/test_support.h"

namespace {

using mvtest::CliPath;
using mvtest::ReadFile;
using mvtest::TempDir;
using mvtest::WriteFile;

std::string ReplaceLine(const std::string& text, const std::string& from, const std::string& to) {
  std::string s = text;
  const auto at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(CliProfile, DefaultFileDumpsToTheDefaultRecord) {
  TempDir dir;
  const std::string f = dir.File("p01.ini");
  auto r = mvtest::Run({CliPath(), "profile", "default", "1", f});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(ReadFile(f).find("checksum: 54716\r\n"), std::string::npos);

  r = mvtest::Run({CliPath(), "profile", "check", f});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");

  r = mvtest::Run({CliPath(), "profile", "dump", f});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(r.out.size(), 445u);
  EXPECT_EQ(r.out.substr(0, 8), "50303100");  // "P01" then NUL
  EXPECT_EQ(r.out.substr(440, 5), "bcd5\n");  // checksum 54716, low byte first
  EXPECT_EQ(r.out.find_first_not_of("0123456789abcdef"), 444u);

  r = mvtest::Run({CliPath(), "profile", "default", "6", dir.File("p06.ini")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(ReadFile(dir.File("p06.ini")).find("name: P06\r\n"), std::string::npos);
}

TEST(CliProfile, FromBytesRoundTripsIncludingPaddingAndStaleChecksum) {
  TempDir dir;
  const std::string f = dir.File("p.ini");
  ASSERT_EQ(mvtest::Run({CliPath(), "profile", "default", "2", f}).exitCode, 0);
  const std::string hex = mvtest::Run({CliPath(), "profile", "dump", f}).out.substr(0, 444);

  const std::string g = dir.File("q.ini");
  auto r = mvtest::Run({CliPath(), "profile", "from-bytes", hex, g});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(g), ReadFile(f));
  EXPECT_EQ(mvtest::Run({CliPath(), "profile", "dump", g}).out, hex + "\n");

  // Upper-case digits are accepted; the bytes are written as they are, so a
  // stale checksum reaches the file and the reader refuses it.
  std::string stale = hex;
  stale.replace(440, 4, "0000");
  for (auto& c : stale) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_EQ(mvtest::Run({CliPath(), "profile", "from-bytes", stale, g}).exitCode, 0);
  EXPECT_NE(ReadFile(g).find("checksum: 0\r\n"), std::string::npos);
  r = mvtest::Run({CliPath(), "profile", "check", g});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "ERROR: - Invalid checksum got 0, expected 54715\n");
}

TEST(CliProfile, CheckReportsTheReaderMessage) {
  TempDir dir;
  const std::string f = dir.File("p.ini");
  ASSERT_EQ(mvtest::Run({CliPath(), "profile", "default", "1", f}).exitCode, 0);
  const std::string good = ReadFile(f);

  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {good.substr(0, good.size() - 2), "ERROR: - invalid motor profile file size, got 54 lines, expected 55"},
      {ReplaceLine(good, "comment: Default", "comment:"), "ERROR: - invalid comment: field"},
      {ReplaceLine(good, "cont_under_voltage_trip: 350", "cont_under_voltage_trip: 351"),
       "ERROR: - Invalid checksum got 54716, expected 54715"},
  };
  for (const auto& c : cases) {
    WriteFile(f, c.text);
    auto r = mvtest::Run({CliPath(), "profile", "check", f});
    EXPECT_EQ(r.exitCode, 1) << c.message;
    EXPECT_EQ(r.err, c.message + "\n");
    r = mvtest::Run({CliPath(), "profile", "dump", f});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
  }
  WriteFile(f, ReplaceLine(good, "cont_pwm_freq: 90", "cont_pwm_freq: $5A"));
  EXPECT_EQ(mvtest::Run({CliPath(), "profile", "check", f}).exitCode, 0);

  auto r = mvtest::Run({CliPath(), "profile", "check", dir.File("missing.ini")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err,
            "ERROR: - unable to read motor profile file " + dir.File("missing.ini") + ": No such file or directory\n");
}

TEST(CliProfile, UsageErrorsWriteNothing) {
  TempDir dir;
  const std::string out = dir.File("o.ini");
  const std::string hex444(444, '0');
  const std::vector<std::vector<std::string>> bad = {
      {"profile"},
      {"profile", "bogus"},
      {"profile", "default", "0", out},
      {"profile", "default", "7", out},
      {"profile", "default", "01", out},
      {"profile", "default", "1"},
      {"profile", "check"},
      {"profile", "check", "a", "b"},
      {"profile", "from-bytes", hex444.substr(0, 442), out},
      {"profile", "from-bytes", hex444 + "00", out},
      {"profile", "from-bytes", "g" + hex444.substr(1), out},
      {"profile", "from-bytes", hex444},
      {"config"},
      {"config", "load", out},
      {"config", "check"},
  };
  for (auto args : bad) {
    args.insert(args.begin(), CliPath());
    const auto r = mvtest::Run(args);
    EXPECT_EQ(r.exitCode, 2) << args[1] << " " << (args.size() > 2 ? args[2] : "");
    EXPECT_NE(r.err.find("usage"), std::string::npos);
  }
  EXPECT_FALSE(mvtest::FileExists(out));

  // A failed write is a refusal (1), not a usage error.
  const auto r = mvtest::Run({CliPath(), "profile", "default", "1", dir.File("no/o.ini")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind("ERROR: - unable to write motor profile file ", 0), 0u) << r.err;
}

TEST(CliConfig, CheckReportsTheReaderMessage) {
  TempDir dir;
  const std::string f = dir.File("host.ini");
  const std::string good =
      "Morvane Controller Host Configuration File\r\n\r\nvers_major: 1\r\nvers_minor: 3\r\n\r\n"
      "com_port: 1\r\nbaud_rate: 115200\r\ndata_bits: 8\r\nparity: none\r\nstop_bits: 1\r\n\r\n"
      "hex_file: \r\napp_start_address: 0x02000\r\nmotor_profile_start_address: 0x04000\r\nspl_file_dir: \r\n\r\n";
  WriteFile(f, good);
  auto r = mvtest::Run({CliPath(), "config", "check", f});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");

  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {good + "\r\n", "ERROR: - invalid confguration file size, got 17 lines, expected 16"},
      {ReplaceLine(good, "hex_file: ", "hex_file: FW.HEX"), "ERROR: - invalid hex file extension"},
      {ReplaceLine(good, "vers_minor: 3", "vers_minor: 2"),
       "ERROR: - invalid configuration file version, got V1.2, expected V1.3"},
  };
  for (const auto& c : cases) {
    WriteFile(f, c.text);
    r = mvtest::Run({CliPath(), "config", "check", f});
    EXPECT_EQ(r.exitCode, 1) << c.message;
    EXPECT_EQ(r.err, c.message + "\n");
  }
  WriteFile(f, ReplaceLine(good, "0x02000", "8192"));
  EXPECT_EQ(mvtest::Run({CliPath(), "config", "check", f}).exitCode, 0);
}

}  // namespace
