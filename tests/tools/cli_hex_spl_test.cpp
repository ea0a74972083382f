// End-to-end runs of `morvane-cli hex ...` and `morvane-cli spl ...`.
#include <gtest/gtest.h>

#include "profiles/motor_profile.h"
#include "profiles/profile_file.h"
#include "support/hex_gen.h"
#include "support/test_support.h"

using mvtest::CliPath;

namespace {

constexpr std::uint32_t kPage = 4096;

// A small dsPIC33EP64 application: pages 4-5 and 9 in use, the last device page 21 set.
std::string SmallFirmware() {
  hexgen::Image img;
  img.FillWords(4 * kPage, 2 * kPage);
  img.FillWords(9 * kPage, 100);
  img.FillWords(21 * kPage, 16);
  return img.ToHex();
}

}  // namespace

TEST(CliHex, InfoPrintsTheSummaryOrTheError) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("ok.hex"), hexgen::Join({hexgen::Linear(1), hexgen::Record(0x10, 0, {1, 2, 3, 4}),
                                                      hexgen::Record(0, 3, {0, 0, 0, 0}), hexgen::Eof()}));
  auto r = mvtest::Run({CliPath(), "hex", "info", dir.File("ok.hex")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "error: 0 no\nline: 0\ncounts: 1 1 0 1 1 0\nlowest: 0x00010010\nhighest: 0x00010013\ntotal: 4\n"
            "mode: 2\nlimit: 0xFFFFFFFF\nlongest: 4\n");

  mvtest::WriteFile(dir.File("bad.hex"), hexgen::Join({hexgen::Record(0x10, 0, {1}), ":0001", hexgen::Eof()}));
  r = mvtest::Run({CliPath(), "hex", "info", dir.File("bad.hex")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.substr(0, 47), "error: 2 record length too short\nline: 2\ntext: ");
  EXPECT_NE(r.out.find("text: :0001\ncounts: 0 0 0 0 0 0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("record length too short"), std::string::npos);
}

TEST(CliHex, ImageWritesTheWindowOrRefusesIt) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("in.hex"), hexgen::Join({hexgen::Record(0x0100, 0, {0xAA, 0xBB, 0x00}), hexgen::Eof()}));
  auto r = mvtest::Run({CliPath(), "hex", "image", dir.File("in.hex"), "--start", "0xFE", "--size", "6", "--fill", "0",
                        "--out", dir.File("win.bin")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "fill-count: 4\n");
  EXPECT_EQ(mvtest::ReadFile(dir.File("win.bin")), std::string("\0\0\xAA\xBB\0\0", 6));

  r = mvtest::Run({CliPath(), "hex", "image", dir.File("in.hex"), "--start", "0xFFF0", "--size", "0x20", "--out",
                   dir.File("far.bin")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("outside"), std::string::npos) << r.err;
  EXPECT_FALSE(mvtest::FileExists(dir.File("far.bin")));
}

TEST(CliSpl, BuildPrintsTheSummaryAndInspectReadsItBack) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("fw.hex"), SmallFirmware());
  mv::MotorProfile custom = mv::MotorProfileDefaults(1);
  custom.SetName("Grinder");
  custom.SetComment("line 4");
  mv::UpdateChecksum(custom);
  std::string msg;
  ASSERT_TRUE(mv::writeMotorProfileFile(dir.File("p2.txt"), custom, msg)) << msg;

  auto r = mvtest::Run({CliPath(), "spl", "build", "--hex", dir.File("fw.hex"), "--out", dir.File("fw.bin"),
                        "--fw-version", "255", "--profile", "2=" + dir.File("p2.txt")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Device Type: dsPIC33EP64\n"
            "Bootloader flash pages = 0 to 3.\n"
            "Motor profile flash page = 8.\n"
            "App. start address (in hex file) = 0x04000.\n"
            "Motor profile start address (in hex file) = 0x08000.\n"
            "Device flash pages = 22.\n"
            "App. flash pages used = 4 to 9 (6).\n"
            "App. last flash page usage = 100 bytes.\n"
            "App. flash size = 20580 bytes.\n"
            "App. padding = 4 bytes.\n"
            "SPL Image size = 20584 bytes.\n");
  ASSERT_TRUE(mvtest::FileExists(dir.File("fw.spl"))) << "the name gets the .spl extension";
  EXPECT_FALSE(mvtest::FileExists(dir.File("fw.bin")));
  EXPECT_EQ(mvtest::ReadFile(dir.File("fw.spl")).size(), 20584u);

  r = mvtest::Run({CliPath(), "spl", "inspect", dir.File("fw.spl")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("profile 1: name \"P01\" comment \"Default\" checksum ok\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("profile 2: name \"Grinder\" comment \"line 4\" checksum ok\n"), std::string::npos);
  EXPECT_NE(r.out.find("marker: ok\nfirmware version: 255\n"), std::string::npos) << r.out;

  // The same name again: refused, the file kept.
  const std::string before = mvtest::ReadFile(dir.File("fw.spl"));
  r = mvtest::Run({CliPath(), "spl", "build", "--hex", dir.File("fw.hex"), "--out", dir.File("fw.spl")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "ERROR: - SPL file name already exists.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(mvtest::ReadFile(dir.File("fw.spl")), before);
}

TEST(CliSpl, InspectFindsDamage) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("fw.hex"), SmallFirmware());
  ASSERT_EQ(mvtest::Run({CliPath(), "spl", "build", "--hex", dir.File("fw.hex"), "--out", dir.File("a.spl")}).exitCode,
            0);
  std::string image = mvtest::ReadFile(dir.File("a.spl"));

  std::string badSum = image;
  badSum[0x4000 + 4 * 3] ^= 0x01;  // profile 1, byte 6
  mvtest::WriteFile(dir.File("sum.spl"), badSum);
  auto r = mvtest::Run({CliPath(), "spl", "inspect", dir.File("sum.spl")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("profile 1: name \"P01\" comment \"Default\" checksum wrong"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("profile 1 checksum wrong"), std::string::npos) << r.err;

  std::string badMarker = image;
  badMarker[0x4FF9] = 0x00;
  mvtest::WriteFile(dir.File("marker.spl"), badMarker);
  r = mvtest::Run({CliPath(), "spl", "inspect", dir.File("marker.spl")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("marker: missing"), std::string::npos);
  EXPECT_NE(r.err.find("marker"), std::string::npos);

  mvtest::WriteFile(dir.File("short.spl"), image.substr(0, 0x4800));
  r = mvtest::Run({CliPath(), "spl", "inspect", dir.File("short.spl")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("too short"), std::string::npos) << r.err;
}

// Arguments the commands cannot take (a missing or empty one, a number out of
// its range, a value that would wrap) are usage errors: exit 2 with the usage
// line, before anything is read or written.
TEST(CliUsage, MissingEmptyOrOutOfRangeArgumentsAreUsageErrors) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("fw.hex"), SmallFirmware());
  const std::string hex = dir.File("fw.hex");
  const std::string out = dir.File("out");
  using Args = std::vector<std::string>;
  const auto with = [](Args args, const Args& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const Args image{"hex", "image", hex, "--out", out};
  const Args build{"spl", "build", "--hex", hex, "--out", out};
  const std::pair<const char*, Args> cases[] = {
      {"hex info without a file", {"hex", "info"}},
      {"hex info of an empty name", {"hex", "info", ""}},
      {"hex with an unknown command", {"hex", "frobnicate", "x"}},
      {"hex image of an empty name", {"hex", "image", "", "--start", "0", "--size", "4", "--out", out}},
      {"hex image without --out", {"hex", "image", hex, "--start", "0", "--size", "4"}},
      {"hex image --start -1", with(image, {"--start", "-1", "--size", "4"})},
      {"hex image --start 2^32", with(image, {"--start", "0x100000000", "--size", "4"})},
      {"hex image --size 0", with(image, {"--start", "0", "--size", "0"})},
      {"hex image --size above 256 MiB", with(image, {"--start", "0", "--size", "0x10000001"})},
      {"hex image window past 2^32", with(image, {"--start", "0xFFFFFFF0", "--size", "0x20"})},
      {"hex image --fill 256", with(image, {"--start", "0", "--size", "4", "--fill", "256"})},
      {"spl build without --out", {"spl", "build", "--hex", hex}},
      {"spl build without --hex", {"spl", "build", "--out", out}},
      {"spl build --fw-version -1", with(build, {"--fw-version", "-1"})},
      {"spl build --fw-version 256", with(build, {"--fw-version", "256"})},
      {"spl build --fw-version one", with(build, {"--fw-version", "one"})},
      {"spl build --app-start off the page", with(build, {"--app-start", "0x2100"})},
      {"spl build --app-start -2048", with(build, {"--app-start", "-2048"})},
      {"spl build --profile-start past the flash", with(build, {"--profile-start", "0x55800"})},
      {"spl build --profile-start 2^31", with(build, {"--profile-start", "0x80000000"})},
      {"spl build --profile 7", with(build, {"--profile", "7=" + hex})},
      {"spl inspect without a file", {"spl", "inspect"}},
      {"spl inspect of an empty name", {"spl", "inspect", ""}},
      {"spl inspect --app-start past the flash", {"spl", "inspect", hex, "--app-start", "0x7FFFF800"}},
      {"profile default slot 7", {"profile", "default", "7", out}},
      {"profile default to an empty name", {"profile", "default", "1", ""}},
      {"profile check of an empty name", {"profile", "check", ""}},
      {"config check of an empty name", {"config", "check", ""}},
  };
  for (const auto& [name, args] : cases) {
    SCOPED_TRACE(name);
    const auto r = mvtest::Run(with({CliPath()}, args));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.rfind("morvane-cli: usage: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(mvtest::FileExists(out));
  EXPECT_FALSE(mvtest::FileExists(out + ".spl"));
}

TEST(CliSpl, RefusedBuilds) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("fw.hex"), SmallFirmware());
  const std::string hex = dir.File("fw.hex");
  const std::string out = dir.File("x");

  // A profile file that does not pass its checks stops the build before anything is written.
  mvtest::WriteFile(dir.File("bad.txt"), "not a profile\r\n");
  auto r =
      mvtest::Run({CliPath(), "spl", "build", "--hex", hex, "--out", out, "--profile", "1=" + dir.File("bad.txt")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("ERROR: - "), std::string::npos) << r.err;
  EXPECT_FALSE(mvtest::FileExists(out + ".spl"));

  // A refused build prints its message alone.
  r = mvtest::Run({CliPath(), "spl", "build", "--hex", hex, "--out", out, "--profile-start", "0x2000"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "ERROR: - Motor profile flash page 4 must be blank.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(mvtest::FileExists(out + ".spl"));

  // A folder that cannot take the file: the message, and the summary still follows.
  mvtest::WriteFile(dir.File("plain"), "x");
  r = mvtest::Run({CliPath(), "spl", "build", "--hex", hex, "--out", dir.File("plain") + "/sub/fw"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "ERROR: - Unable to create SPL file.\n");
  EXPECT_NE(r.out.find("SPL Image size = 20584 bytes."), std::string::npos);
}
