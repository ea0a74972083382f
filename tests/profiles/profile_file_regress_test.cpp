// Saving a profile file where the file system refuses: the previous file is
// kept byte for byte, no temporary file is left and the message says why.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "profiles/profile_file.h"
#include "support/full_disk.h"
#include "support/test_support.h"

namespace {

TEST(ProfileWriteFailure, FolderProblemsAreReportedAndChangeNothing) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("plain"), "x");
  std::string message;
  for (const std::string& path : {dir.File("plain/P01.ini"), dir.File("missing/P01.ini"), dir.Path()}) {
    EXPECT_FALSE(mv::writeMotorProfileFile(path, mv::MotorProfileDefaults(0), message)) << path;
    EXPECT_EQ(message.rfind("ERROR: - unable to write motor profile file " + path + ": ", 0), 0u) << message;
  }
  EXPECT_EQ(mvtest::ReadFile(dir.File("plain")), "x");
  EXPECT_EQ(mvtest::StrayEntries(dir.Path(), {"plain"}), "");
}

TEST(ProfileWriteFailure, FullDiskKeepsThePreviousProfile) {
  mvtest::TinyDisk disk;
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
  const std::string path = disk.File("P02.ini");
  std::string message;
  ASSERT_TRUE(mv::writeMotorProfileFile(path, mv::MotorProfileDefaults(1), message)) << message;
  const std::string before = mvtest::ReadFile(path);

  disk.Fill();
  mv::MotorProfile p = mv::MotorProfileDefaults(4);
  p.SetComment("a longer comment");
  mv::UpdateChecksum(p);
  EXPECT_FALSE(mv::writeMotorProfileFile(path, p, message));
  EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
  EXPECT_EQ(mvtest::ReadFile(path), before);
  EXPECT_EQ(mvtest::StrayEntries(disk.Path(), {"P02.ini", "filler"}), "");
  mv::MotorProfile back;
  ASSERT_TRUE(mv::readMotorProfileFile(path, back, message)) << message;
  EXPECT_EQ(back, mv::MotorProfileDefaults(1));
}

}  // namespace
