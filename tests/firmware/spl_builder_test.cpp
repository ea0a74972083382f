#include "firmware/spl_builder.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>

#include "support/hex_gen.h"
#include "support/test_support.h"

namespace {

constexpr std::uint32_t kPage = 4096;

std::array<mv::MotorProfile, mv::kSlotCount> TestProfiles() {
  std::array<mv::MotorProfile, mv::kSlotCount> p;
  for (int i = 0; i < mv::kSlotCount; ++i) p[i] = mv::MotorProfileDefaults(i);
  p[2].SetName("Spindle-3");
  mv::UpdateChecksum(p[2]);
  return p;
}

// The application of the worked example: pages 4-7 and 9-40 (page 40 used to
// byte 1500), nothing in the motor profile page 8, data in page 85.
hexgen::Image ExampleImage() {
  hexgen::Image img;
  img.FillWords(4 * kPage, 4 * kPage);
  img.FillWords(9 * kPage, 31 * kPage + 1500);
  img.FillWords(85 * kPage + 0x100, 16);
  return img;
}

struct Build {
  mvtest::TempDir dir;
  mv::SplBuildInput in;
  explicit Build(const hexgen::Image& img, const std::string& name = "fw.spl") {
    mvtest::WriteFile(dir.File("fw.hex"), img.ToHex("\r\n"));
    in.hexPath = dir.File("fw.hex");
    in.splDir = dir.Path();
    in.fileName = name;
    in.firmwareVersion = 42;
    in.profiles = TestProfiles();
  }
  std::string Error() const { return mv::BuildSplFile(in).message; }
};

std::vector<std::uint8_t> Bytes(const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); }

}  // namespace

TEST(SplBuild, WorkedExampleLayoutAndSummary) {
  const hexgen::Image img = ExampleImage();
  Build b(img);
  const mv::SplBuildResult r = mv::BuildSplFile(b.in);
  ASSERT_TRUE(r.Ok()) << r.message;
  EXPECT_TRUE(r.fileWritten);
  EXPECT_TRUE(r.copySettingsBack);
  EXPECT_EQ(r.deviceLabel, "Device Type: dsPIC33EP256");
  EXPECT_EQ(r.startAddressText, "Start Address: 0x02000");
  EXPECT_EQ(r.sizeText, "Size: 148956 bytes");
  const std::vector<std::string> summary = {
      "Bootloader flash pages = 0 to 3.",
      "Motor profile flash page = 8.",
      "App. start address (in hex file) = 0x04000.",
      "Motor profile start address (in hex file) = 0x08000.",
      "Device flash pages = 86.",
      "App. flash pages used = 4 to 40 (37).",
      "App. last flash page usage = 1500 bytes.",
      "App. flash size = 148956 bytes.",
      "App. padding = 4 bytes.",
      "SPL Image size = 148960 bytes.",
  };
  EXPECT_EQ(r.summary, summary);
  const std::string joined = r.SummaryText();
  EXPECT_EQ(joined.find('\n'), std::string::npos);
  EXPECT_EQ(std::count(joined.begin(), joined.end(), '\r'), 9);

  // The file is the image, byte for byte.
  const std::vector<std::uint8_t> file = Bytes(mvtest::ReadFile(b.dir.File("fw.spl")));
  ASSERT_EQ(file.size(), 148960u);
  EXPECT_EQ(file, r.image);

  const std::uint32_t P = 0x4000;
  const auto& bytes = img.Bytes();
  for (std::uint32_t i = 0; i < 148956; ++i) {
    if (i >= P && i < P + kPage) continue;
    auto it = bytes.find(0x4000 + i);
    ASSERT_EQ(file[i], it == bytes.end() ? 0xFF : it->second) << "offset " << i;
  }
  const auto profiles = TestProfiles();
  for (std::size_t k = 0; k < 666; ++k) {
    const auto& rec = profiles[k / 111].bytes;
    const std::size_t j = (k % 111) * 2;
    ASSERT_EQ(file[P + 4 * k], rec[j]) << k;
    ASSERT_EQ(file[P + 4 * k + 1], rec[j + 1]) << k;
    ASSERT_EQ(file[P + 4 * k + 2], 0);
    ASSERT_EQ(file[P + 4 * k + 3], 0);
  }
  for (std::uint32_t i = P + 2664; i < P + 4088; ++i) ASSERT_EQ(file[i], 0xFF) << i;
  const std::uint8_t tail[8] = {0x55, 0xAA, 0, 0, 42, 0, 0, 0};
  EXPECT_EQ(0, memcmp(&file[0x4FF8], tail, 8));
  for (std::uint32_t i = 148956; i < 148960; ++i) EXPECT_EQ(file[i], 0xFF);

  // And it reads back.
  mv::SplContents c;
  std::string msg;
  ASSERT_TRUE(mv::ReadSplContents(file, 0x2000, 0x4000, c, msg)) << msg;
  EXPECT_EQ(c.profiles, profiles);
  EXPECT_TRUE(c.markerOk);
  EXPECT_TRUE(c.wordsPadded);
  EXPECT_EQ(c.firmwareVersion, 42);
}

TEST(SplBuild, DeviceIsTheFirstSizeWithDataInItsLastPage) {
  for (const auto& d : mv::kSplDeviceTypes) {
    hexgen::Image img;
    img.FillWords(4 * kPage, 100);
    img.FillWords(12 * kPage, 3);  // 3 bytes used: padding makes the image a multiple of 8
    img.FillWords((d.flashPages - 1) * kPage, 8);
    if (d.flashPages == 86) img.FillWords(21 * kPage, 8);  // a smaller device's last page does not matter
    Build b(img);
    const mv::SplBuildResult r = mv::LayOutSplImage(b.in);
    ASSERT_TRUE(r.Ok()) << d.label << ": " << r.message;
    EXPECT_EQ(r.deviceLabel, d.label);
    EXPECT_EQ(r.deviceFlashPages, d.flashPages);
    EXPECT_EQ(r.lastAppPage, d.flashPages == 86 ? 21u : 12u);
    if (d.flashPages != 86) {
      EXPECT_EQ(r.flashSize, 8 * kPage + 3);
      EXPECT_EQ(r.padding, 5u);
      EXPECT_EQ(r.imageSize % 8, 0u);
    }
  }
}

TEST(SplBuild, RefusalsNameTheFirstProblem) {
  const hexgen::Image example = ExampleImage();
  {
    Build b(example);
    b.in.hexPath.clear();
    EXPECT_EQ(b.Error(), "ERROR: - Hex file not selected.");
    b.in.hexPath = b.dir.File("fw.hex");
    b.in.splDir.clear();
    EXPECT_EQ(b.Error(), "ERROR: - SPL file directory not selected.");
    b.in.splDir = b.dir.Path();
    b.in.fileName.clear();
    EXPECT_EQ(b.Error(), "ERROR: - SPL file name not selected.");
    b.in.fileName = "sub/fw.spl";
    EXPECT_EQ(b.Error(), "ERROR: - SPL file name is not valid.");
    b.in.fileName = "..";
    EXPECT_EQ(b.Error(), "ERROR: - SPL file name is not valid.");
    b.in.fileName = "fw.spl";
    b.in.appStartAddress = 0x2400;
    EXPECT_EQ(b.Error(), "ERROR: - Application start address 0x02400 is not a multiple of 0x800.");
  }
  {
    Build b(example);
    mvtest::WriteFile(b.dir.File("broken.hex"), ":00000001FF\n");
    b.in.hexPath = b.dir.File("broken.hex");
    EXPECT_EQ(b.Error(), "ERROR: - Invalid hex file.");
    b.in.hexPath = b.dir.File("missing.hex");
    EXPECT_EQ(b.Error(), "ERROR: - Invalid hex file.");
  }
  {
    Build b(example);
    b.in.appStartAddress = 0x1800;  // page 3 is empty
    EXPECT_EQ(b.Error(), "ERROR: - First pplication flash page 3 cannot be blank.");
    b.in.appStartAddress = 0x7FFFF800;  // a page the 32-bit address space cannot hold
    EXPECT_EQ(b.Error(), "ERROR: - First pplication flash page 1048575 cannot be blank.");
  }
  {
    hexgen::Image img = ExampleImage();
    img.Set(8 * kPage + 4000, 0x12);
    Build b(img);
    EXPECT_EQ(b.Error(), "ERROR: - Motor profile flash page 8 must be blank.");
  }
  {  // no data in any device's last page
    hexgen::Image img;
    img.FillWords(4 * kPage, 3 * kPage);
    img.FillWords(10 * kPage, 64);
    Build b(img);
    EXPECT_EQ(b.Error(), "ERROR: - invalid hex file.");
  }
  {  // 16-bit addresses only: no device's last page can be reached
    mvtest::TempDir dir;
    std::string text;
    for (std::uint32_t a = 0x4000; a < 0x6000; a += 16)
      text += hexgen::Record(static_cast<std::uint16_t>(a), 0, std::vector<std::uint8_t>(16, 0x11)) + "\n";
    text += hexgen::Eof() + "\n";
    mvtest::WriteFile(dir.File("short.hex"), text);
    mv::SplBuildInput in;
    in.hexPath = dir.File("short.hex");
    in.splDir = dir.Path();
    in.fileName = "x.spl";
    EXPECT_EQ(mv::BuildSplFile(in).message, "ERROR: - invalid hex file.");
  }
}

TEST(SplBuild, ProfilePageAndStartPageMustFitTheImage) {
  {  // profile page below the application start
    Build b(ExampleImage());
    b.in.motorProfileStartAddress = 0x1000;
    EXPECT_EQ(b.Error(), "ERROR: - Motor profile flash page 2 is outside the application image.");
  }
  {  // profile page past the last application page (40)
    Build b(ExampleImage());
    b.in.motorProfileStartAddress = 50 * 2048;
    EXPECT_EQ(b.Error(), "ERROR: - Motor profile flash page 50 is outside the application image.");
    EXPECT_FALSE(mvtest::FileExists(b.dir.File("fw.spl"))) << "a refused build writes nothing";
  }
  {  // application in page 0 only: no last application page
    hexgen::Image img;
    img.FillWords(0, 64);
    img.FillWords(21 * kPage, 8);
    Build b(img);
    b.in.appStartAddress = 0;
    EXPECT_EQ(b.Error(), "ERROR: - Last application flash page not found.");
  }
  {  // application start in the device's own last page
    hexgen::Image img;
    img.FillWords(4 * kPage, 64);
    img.FillWords(21 * kPage, 8);
    Build b(img);
    b.in.appStartAddress = 21 * 2048;
    b.in.motorProfileStartAddress = 22 * 2048;
    EXPECT_EQ(b.Error(), "ERROR: - First application flash page 21 lies beyond the last application flash page 4.");
  }
}

TEST(SplBuild, ExistingFileIsNeverReplaced) {
  Build b(ExampleImage());
  mvtest::WriteFile(b.dir.File("fw.spl"), "keep me");
  const mv::SplBuildResult r = mv::BuildSplFile(b.in);
  EXPECT_EQ(r.message, "ERROR: - SPL file name already exists.");
  EXPECT_FALSE(r.copySettingsBack);
  EXPECT_TRUE(r.summary.empty());
  EXPECT_EQ(mvtest::ReadFile(b.dir.File("fw.spl")), "keep me");
  // A dangling link of that name counts as existing too.
  std::filesystem::create_symlink(b.dir.File("nowhere"), b.dir.File("link.spl"));
  b.in.fileName = "link.spl";
  EXPECT_EQ(b.Error(), "ERROR: - SPL file name already exists.");
  EXPECT_FALSE(mvtest::FileExists(b.dir.File("nowhere")));
}

TEST(SplBuild, FailedWriteKeepsSummaryAndLeavesNoFile) {
  Build b(ExampleImage());
  mvtest::WriteFile(b.dir.File("plain"), "x");
  b.in.splDir = b.dir.File("plain") + "/sub";  // parent is a regular file
  const mv::SplBuildResult r = mv::BuildSplFile(b.in);
  EXPECT_EQ(r.message, "ERROR: - Unable to create SPL file.");
  EXPECT_FALSE(r.fileWritten);
  EXPECT_TRUE(r.copySettingsBack);
  EXPECT_EQ(r.summary.size(), 10u);
  EXPECT_EQ(r.deviceLabel, "Device Type: dsPIC33EP256");
  EXPECT_EQ(mvtest::ReadFile(b.dir.File("plain")), "x");
}

TEST(SplBuild, FullDiskLeavesNothingBehind) {
  Build b(ExampleImage());
  const std::string small = b.dir.File("small");
  std::filesystem::create_directory(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "cannot mount a small tmpfs here";
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  b.in.splDir = small;
  const mv::SplBuildResult r = mv::BuildSplFile(b.in);
  EXPECT_EQ(r.message, "ERROR: - Unable to create SPL file.");
  EXPECT_EQ(r.summary.size(), 10u);
  EXPECT_TRUE(std::filesystem::is_empty(small)) << "no partial or temporary file";
}

TEST(SplEditRules, FileNameGetsTheSplExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"fw", "fw.spl"},         {"fw.SPL", "fw.spl"},         {"fw.bin", "fw.spl"}, {"fw.spl", "fw.spl"},
      {"a.b.c", "a.b.spl"},     {".hidden", ".hidden.spl"},   {"fw.", "fw.spl"},    {"", ""},
      {"v1.2.spl", "v1.2.spl"}, {"dir.x/fw", "dir.x/fw.spl"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(mv::SplFileNameWithExtension(in), out) << in;
}

TEST(SplEditRules, AddressAndVersionEdits) {
  EXPECT_EQ(mv::ReadAppStartAddressText("0x2800", 0x2000), 0x2800u);
  EXPECT_EQ(mv::ReadAppStartAddressText("0x2900", 0x2000), 0x2000u);
  EXPECT_EQ(mv::ReadAppStartAddressText("0x800", 0x2000), 0x800u) << "only the step binds typed values";
  EXPECT_EQ(mv::ReadAppStartAddressText("abc", 0x2800), 0x2800u);
  EXPECT_EQ(mv::ReadAppStartAddressText("abc", 0x9000), 0x3000u) << "fallback brought into range";
  EXPECT_EQ(mv::ReadMotorProfileStartAddressText("16384", 0x4000), 0x4000u);
  EXPECT_EQ(mv::ReadMotorProfileStartAddressText("x", 0x100), 0x3800u);
  EXPECT_EQ(mv::FormatSplAddress(0x800), "0x00800");
  EXPECT_EQ(mv::FormatSplAddress(0x2800), "0x02800");
  EXPECT_EQ(mv::ReadFirmwareVersionText("300", 7), 255u);
  EXPECT_EQ(mv::ReadFirmwareVersionText("-1", 7), 255u);
  EXPECT_EQ(mv::ReadFirmwareVersionText("abc", 7), 7u);
  EXPECT_EQ(mv::ReadFirmwareVersionText("12", 7), 12u);
}
