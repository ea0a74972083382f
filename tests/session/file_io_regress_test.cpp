// Reading and writing the program's files when the file system misbehaves:
// a write that cannot complete keeps the previous file byte for byte, leaves
// no temporary file behind and says why; a read of something that is not a
// plain file, or that never ends, gives a clean message instead of hanging.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "core/text_file.h"
#include "session/config_file.h"
#include "support/full_disk.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;

mv::AppConfig Changed() {
  mv::AppConfig c;
  c.com_port = 9;
  c.hex_file = std::string(200, 'h') + ".hex";
  c.spl_file_dir = std::string(240, 'd');
  return c;
}

TEST(ConfigWriteFailure, KeepsThePreviousFileAndSaysWhy) {
  mvtest::TempDir dir;
  std::string message;

  // The folder is a file, or does not exist.
  mvtest::WriteFile(dir.File("plain"), "x");
  for (const std::string& path : {dir.File("plain/app.ini"), dir.File("missing/app.ini")}) {
    EXPECT_FALSE(mv::WriteConfigFile(path, Changed(), message)) << path;
    EXPECT_EQ(message.rfind("ERROR: - unable to write configuration file " + path + ": ", 0), 0u) << message;
  }
  EXPECT_EQ(mvtest::ReadFile(dir.File("plain")), "x");

  // The target is a folder: refused, the folder is left alone.
  ASSERT_EQ(::mkdir(dir.File("folder.ini").c_str(), 0700), 0);
  EXPECT_FALSE(mv::WriteConfigFile(dir.File("folder.ini"), Changed(), message));
  struct stat st {};
  ASSERT_EQ(::stat(dir.File("folder.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(mvtest::StrayEntries(dir.Path(), {"plain", "folder.ini"}), "");
}

TEST(ConfigWriteFailure, FullDiskKeepsThePreviousFile) {
  mvtest::TinyDisk disk;
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
  const std::string path = disk.File("app.ini");
  std::string message;
  ASSERT_TRUE(mv::WriteConfigFile(path, mv::AppConfig{}, message)) << message;
  const std::string before = mvtest::ReadFile(path);
  disk.Fill();

  EXPECT_FALSE(mv::WriteConfigFile(path, Changed(), message));
  EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
  EXPECT_EQ(mvtest::ReadFile(path), before);
  EXPECT_EQ(mvtest::StrayEntries(disk.Path(), {"app.ini", "filler"}), "");
  mv::AppConfig back;
  EXPECT_TRUE(mv::ReadConfigFile(path, back, message)) << message;
  EXPECT_EQ(back, mv::AppConfig{});
}

TEST(ReadOddFiles, FifoWithoutWriterIsRefusedWithoutHanging) {
  mvtest::TempDir dir;
  const std::string fifo = dir.File("app.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto read = std::async(std::launch::async, [&] {
    mv::AppConfig c;
    std::string message;
    const bool ok = mv::ReadConfigFile(fifo, c, message);
    return std::make_pair(ok, message);
  });
  if (read.wait_for(5s) != std::future_status::ready) {
    // Let the stuck reader go before failing, so the program can end.
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    read.wait();
    if (w >= 0) ::close(w);
    FAIL() << "reading a FIFO without a writer hangs";
  }
  const auto [ok, message] = read.get();
  EXPECT_FALSE(ok);
  EXPECT_EQ(message.rfind("ERROR: - unable to read configuration file " + fifo + ": ", 0), 0u) << message;
}

TEST(ReadOddFiles, DevicesAndFoldersAreRefusedProcFilesRead) {
  std::string bytes, err;
  EXPECT_FALSE(mv::ReadFileBytes("/dev/zero", bytes, err, "configuration file"));
  EXPECT_EQ(err.rfind("unable to read configuration file /dev/zero: ", 0), 0u) << err;
  EXPECT_FALSE(mv::ReadFileBytes("/tmp", bytes, err, "configuration file"));
  EXPECT_TRUE(bytes.empty());

  // A file whose size is unknown up front (reported as 0) is still read whole,
  // and a configuration reader given it says what is wrong with its contents.
  std::vector<std::string> lines;
  ASSERT_TRUE(mv::ReadTextLines("/proc/self/status", lines, err)) << err;
  EXPECT_GT(lines.size(), 5u);
  mv::AppConfig c;
  std::string message;
  EXPECT_FALSE(mv::ReadConfigFile("/proc/self/status", c, message));
  EXPECT_EQ(message.rfind("ERROR: - invalid confguration file size, got ", 0), 0u) << message;
}

TEST(ReadOddFiles, FileThatVanishesOrShrinksBetweenReadsGivesCleanResults) {
  mvtest::TempDir dir;
  const std::string path = dir.File("app.ini");
  std::string message;
  ASSERT_TRUE(mv::WriteConfigFile(path, Changed(), message));
  mv::AppConfig c;
  ASSERT_TRUE(mv::ReadConfigFile(path, c, message));

  // Cut in the middle of a line: refused with the size message, nothing applied.
  ASSERT_EQ(::truncate(path.c_str(), mvtest::TinyDisk::Size(path) / 2), 0);
  mv::AppConfig kept = c;
  EXPECT_FALSE(mv::ReadConfigFile(path, kept, message));
  EXPECT_EQ(kept, c);
  EXPECT_EQ(message.rfind("ERROR: - invalid confguration file size, got ", 0), 0u) << message;

  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(mv::ReadConfigFile(path, kept, message));
  EXPECT_EQ(kept, c);
  EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
}

}  // namespace
