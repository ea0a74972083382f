// The firmware files when the file system misbehaves: an SPL file that cannot
// be written completely is not left behind half-written and the build says
// so; an Intel HEX "file" that is a FIFO without a writer or a device is
// refused at once instead of hanging or filling memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "firmware/intel_hex.h"
#include "firmware/spl_builder.h"
#include "support/full_disk.h"
#include "support/hex_gen.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
constexpr std::uint32_t kPage = mv::kFlashPageBytes;

// Firmware for a dsPIC33EP256 with a large application, so that its image
// (about 130 KiB) cannot fit on the tiny disk.
std::string FirmwareHex() {
  hexgen::Image img;
  img.FillWords(4 * kPage, 4 * kPage);
  img.FillWords(9 * kPage, 31 * kPage + 1500);
  img.FillWords(85 * kPage + 0x100, 16);
  return img.ToHex();
}

mv::SplBuildInput Input(const std::string& hexPath, const std::string& dir) {
  mv::SplBuildInput in;
  in.hexPath = hexPath;
  in.splDir = dir;
  in.fileName = "fw.spl";
  for (int s = 0; s < mv::kSlotCount; ++s) in.profiles[s] = mv::MotorProfileDefaults(s);
  return in;
}

TEST(SplWriteFailure, FullDiskLeavesNoHalfWrittenImage) {
  mvtest::TempDir dir;
  const std::string hex = dir.File("fw.hex");
  mvtest::WriteFile(hex, FirmwareHex());
  mvtest::TinyDisk disk(64);
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";

  const mv::SplBuildResult r = mv::BuildSplFile(Input(hex, disk.Path()));
  EXPECT_FALSE(r.Ok());
  EXPECT_FALSE(r.fileWritten);
  EXPECT_EQ(r.message, "ERROR: - Unable to create SPL file.");
  EXPECT_FALSE(mvtest::FileExists(disk.File("fw.spl")));
  EXPECT_EQ(mvtest::StrayEntries(disk.Path(), {}), "");
  // The summary is still there, as for any file that could not be created.
  EXPECT_EQ(r.summary.size(), 10u);
}

TEST(SplWriteFailure, FolderThatIsAFileOrMissingIsReported) {
  mvtest::TempDir dir;
  const std::string hex = dir.File("fw.hex");
  mvtest::WriteFile(hex, FirmwareHex());
  for (const std::string& folder : {hex, dir.File("missing")}) {
    const mv::SplBuildResult r = mv::BuildSplFile(Input(hex, folder));
    EXPECT_FALSE(r.Ok()) << folder;
    EXPECT_FALSE(r.fileWritten);
    EXPECT_FALSE(r.message.empty());
  }
  EXPECT_EQ(mvtest::StrayEntries(dir.Path(), {"fw.hex"}), "");
}

TEST(HexReadOddFiles, FifoWithoutWriterIsRefusedWithoutHanging) {
  mvtest::TempDir dir;
  const std::string fifo = dir.File("fw.hex");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto load = std::async(std::launch::async, [&] { return mv::IntelHexFile(fifo).ErrorCode(); });
  if (load.wait_for(5s) != std::future_status::ready) {
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    load.wait();
    if (w >= 0) ::close(w);
    FAIL() << "reading a FIFO without a writer hangs";
  }
  EXPECT_EQ(load.get(), mv::heNoSuchFile);
}

TEST(HexReadOddFiles, DeviceIsRefusedAtOnce) {
  // /dev/zero never ends: it must not be read until memory runs out.
  mv::IntelHexFile hex("/dev/zero");
  EXPECT_EQ(hex.ErrorCode(), mv::heNoSuchFile);
  EXPECT_EQ(hex.DataRecordCount(), 0u);
}

}  // namespace
