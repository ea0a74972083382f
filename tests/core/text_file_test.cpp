#include "core/text_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "support/full_disk.h"
#include "support/test_support.h"

namespace {

using namespace mv;
using mvtest::ReadFile;
using mvtest::TempDir;
using mvtest::WriteFile;

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> v;
  SplitLines(s, v);
  return v;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> v;
  for (auto& e : std::filesystem::directory_iterator(folder)) v.push_back(e.path().filename().string());
  std::sort(v.begin(), v.end());
  return v;
}

TEST(SplitLines, EveryTerminatorKindAndTheFinalOne) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Split(""), V{});
  EXPECT_EQ(Split("a"), V{"a"});
  EXPECT_EQ(Split("a\r\n"), V{"a"});
  EXPECT_EQ(Split("a\r\nb\r\n"), (V{"a", "b"}));
  EXPECT_EQ(Split("a\nb\n"), (V{"a", "b"}));
  EXPECT_EQ(Split("a\rb\r"), (V{"a", "b"}));
  EXPECT_EQ(Split("a\r\n\r\n"), (V{"a", ""}));  // a trailing empty line survives
  EXPECT_EQ(Split("\r\n"), V{""});
  EXPECT_EQ(Split("a\n\rb"), (V{"a", "", "b"}));  // LF CR is two terminators
  EXPECT_EQ(Split("a\r\r\nb"), (V{"a", "", "b"}));
  EXPECT_EQ(Split(std::string("x\0y\n", 4)), V{std::string("x\0y", 3)});  // NUL is data
}

TEST(ReadTextLines, ReadsAndReportsTheSystemReason) {
  TempDir dir;
  WriteFile(dir.File("f.txt"), "one\r\ntwo\r\n");
  std::vector<std::string> lines{"old"};
  std::string err;
  ASSERT_TRUE(ReadTextLines(dir.File("f.txt"), lines, err));
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));

  lines = {"old"};
  EXPECT_FALSE(ReadTextLines(dir.File("missing.txt"), lines, err, "configuration file"));
  EXPECT_EQ(err, "unable to read configuration file " + dir.File("missing.txt") + ": No such file or directory");
  EXPECT_EQ(lines, std::vector<std::string>{"old"});

  EXPECT_FALSE(ReadTextLines(dir.Path(), lines, err));
  EXPECT_NE(err.find("Is a directory"), std::string::npos) << err;
  EXPECT_FALSE(ReadTextLines("", lines, err));
  EXPECT_EQ(lines, std::vector<std::string>{"old"});
}

TEST(ReadFileBytes, RefusesFilesAboveTheLimit) {
  TempDir dir;
  WriteFile(dir.File("big"), std::string(100, 'a'));
  std::string bytes = "keep", err;
  EXPECT_FALSE(ReadFileBytes(dir.File("big"), bytes, err, "file", 99));
  EXPECT_NE(err.find("too large"), std::string::npos);
  EXPECT_EQ(bytes, "keep");
  EXPECT_TRUE(ReadFileBytes(dir.File("big"), bytes, err, "file", 100));
  EXPECT_EQ(bytes.size(), 100u);
}

TEST(WriteFileAtomic, WritesCrLfLinesAndReplacesWithoutLeftovers) {
  TempDir dir;
  const std::string path = dir.File("out.ini");
  std::string err;
  ASSERT_TRUE(WriteTextLinesAtomic(path, {"a", "", "b"}, err)) << err;
  EXPECT_EQ(ReadFile(path), "a\r\n\r\nb\r\n");
  ASSERT_TRUE(WriteTextLinesAtomic(path, {"new"}, err)) << err;
  EXPECT_EQ(ReadFile(path), "new\r\n");
  ASSERT_TRUE(WriteTextLinesAtomic(path, {}, err)) << err;
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"out.ini"});  // no temporary file left
}

TEST(WriteFileAtomic, KeepsPermissionsAndFollowsSymbolicLinks) {
  TempDir dir;
  const std::string real = dir.File("real.bin");
  WriteFile(real, "old");
  ::chmod(real.c_str(), 0640);
  std::filesystem::create_symlink(real, dir.File("link.bin"));
  std::string err;
  ASSERT_TRUE(WriteFileAtomic(dir.File("link.bin"), std::vector<std::uint8_t>{1, 2, 3}, err)) << err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.bin")));
  EXPECT_EQ(ReadFile(real), "\x01\x02\x03");
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(WriteFileAtomic, FailuresNameTheFileAndLeaveTheOldOneIntact) {
  TempDir dir;
  std::string err;
  // A folder that does not exist.
  const std::string missing = dir.File("nofolder/out.ini");
  EXPECT_FALSE(WriteTextLinesAtomic(missing, {"x"}, err, "configuration file"));
  EXPECT_EQ(err, "unable to write configuration file " + missing + ": No such file or directory");

  // A plain file used as a folder.
  WriteFile(dir.File("plain"), "data");
  EXPECT_FALSE(WriteFileAtomic(dir.File("plain/out.bin"), std::string("x"), err));
  EXPECT_NE(err.find("Not a directory"), std::string::npos) << err;
  EXPECT_EQ(ReadFile(dir.File("plain")), "data");

  // The target is a folder: it is not replaced.
  std::filesystem::create_directory(dir.File("sub"));
  EXPECT_FALSE(WriteFileAtomic(dir.File("sub"), std::string("x"), err));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("sub")));

  // A device is not swapped for a plain file.
  EXPECT_FALSE(WriteFileAtomic("/dev/null", std::string("x"), err));
  EXPECT_NE(err.find("not a regular file"), std::string::npos);

  EXPECT_FALSE(WriteFileAtomic("", std::string("x"), err));
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"plain", "sub"}));
}

TEST(WriteNewFileExclusive, CreatesOnceAndNeverOverwrites) {
  TempDir dir;
  const std::string path = dir.File("image.spl");
  std::string err;
  bool existed = true;
  ASSERT_TRUE(WriteNewFileExclusive(path, std::vector<std::uint8_t>{0xAA, 0x55}, err, existed)) << err;
  EXPECT_FALSE(existed);
  EXPECT_EQ(ReadFile(path), "\xAA\x55");

  EXPECT_FALSE(WriteNewFileExclusive(path, std::vector<std::uint8_t>{1}, err, existed, "SPL file"));
  EXPECT_TRUE(existed);
  EXPECT_EQ(err, "unable to write SPL file " + path + ": File exists");
  EXPECT_EQ(ReadFile(path), "\xAA\x55");

  // A dangling symbolic link also occupies the name.
  std::filesystem::create_symlink(dir.File("nowhere"), dir.File("dangling"));
  EXPECT_FALSE(WriteNewFileExclusive(dir.File("dangling"), std::vector<std::uint8_t>{1}, err, existed));
  EXPECT_TRUE(existed);
  EXPECT_FALSE(mvtest::FileExists(dir.File("nowhere")));

  EXPECT_FALSE(WriteNewFileExclusive(dir.File("no/such.spl"), std::vector<std::uint8_t>{1}, err, existed));
  EXPECT_FALSE(existed);
  EXPECT_NE(err.find("No such file or directory"), std::string::npos);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"dangling", "image.spl"}));
}

// ---------------------------------------------------------------- what a save keeps
// Root may write any file and give files away, so the permission cases run
// as an ordinary user (the nonroot test group runs them as uid 65534 when
// the suite runs as root), and the owner cases as root.

bool AsRoot() { return ::geteuid() == 0; }

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(FileProtection, ReadOnlyFileIsRefusedWithTheSystemsReasonAndKept) {
  if (AsRoot()) {
    GTEST_SKIP() << "root may write any file; the nonroot group runs this as an ordinary user";
  }
  TempDir dir;
  const std::string path = dir.File("p01.ini");
  WriteFile(path, "old\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  std::filesystem::create_symlink("p01.ini", dir.File("link.ini"));
  const ino_t inode = StatOf(path).st_ino;
  std::string err;
  EXPECT_FALSE(WriteTextLinesAtomic(path, {"new"}, err, "motor profile file"));
  EXPECT_EQ(err, "unable to write motor profile file " + path + ": Permission denied");
  EXPECT_FALSE(WriteTextLinesAtomic(dir.File("link.ini"), {"new"}, err, "motor profile file"));
  EXPECT_EQ(err, "unable to write motor profile file " + dir.File("link.ini") + ": Permission denied");
  EXPECT_EQ(ReadFile(path), "old\r\n");
  EXPECT_EQ(StatOf(path).st_ino, inode);
  EXPECT_EQ(StatOf(path).st_mode & 07777, 0444u);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"link.ini", "p01.ini"}));

  // A new file in a folder the user may not write: refused, nothing made.
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
  EXPECT_FALSE(WriteTextLinesAtomic(dir.File("p02.ini"), {"new"}, err));
  EXPECT_EQ(err, "unable to write file " + dir.File("p02.ini") + ": Permission denied");
  bool existed = true;
  EXPECT_FALSE(WriteNewFileExclusive(dir.File("fw.spl"), std::vector<std::uint8_t>{1}, err, existed));
  EXPECT_FALSE(existed);
  ::chmod(dir.Path().c_str(), 0700);
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"link.ini", "p01.ini"}));
}

TEST(FileProtection, WritableFileInAReadOnlyFolderIsWrittenInPlace) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("shared"));
  const std::string path = dir.File("shared/app.ini");
  WriteFile(path, "a longer previous content\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(::chmod(dir.File("shared").c_str(), 0555), 0);
  const ino_t inode = StatOf(path).st_ino;
  std::string err;
  ASSERT_TRUE(WriteTextLinesAtomic(path, {"new"}, err)) << err;
  EXPECT_EQ(ReadFile(path), "new\r\n");
  EXPECT_EQ(StatOf(path).st_mode & 07777, 0640u);
  EXPECT_EQ(Names(dir.File("shared")), std::vector<std::string>{"app.ini"});
  // Root can make the temporary file there, so only an ordinary user writes in place.
  if (!AsRoot()) {
    EXPECT_EQ(StatOf(path).st_ino, inode);
  }
}

// The space reservation is what keeps the file when the disk is full: the
// write in place must not begin.
TEST(FileProtection, WritableFileInAReadOnlyFolderOnAFullDiskIsKept) {
  const int outcome = mvtest::OnTinyDiskAsOrdinaryUser(64, [](const std::string& disk) {
    const std::string path = disk + "/app.ini";
    WriteFile(path, "old\r\n");
    mvtest::FillDisk(disk);
    ASSERT_EQ(::chmod(disk.c_str(), 0555), 0);
    std::string err;
    EXPECT_FALSE(WriteFileAtomic(path, std::string(16384, 'n'), err));
    EXPECT_EQ(err, "unable to write file " + path + ": No space left on device");
    EXPECT_TRUE(ReadFile(path) == "old\r\n") << "the file was changed";
  });
  if (outcome == mvtest::kNoTinyDisk) GTEST_SKIP() << "no small file system can be mounted here";
  EXPECT_EQ(outcome, 0) << "see the ordinary user's failures above";
}

TEST(FileProtection, SymbolicLinksAreFollowedEvenToAFileNotYetMade) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("real"));
  std::filesystem::create_symlink("real/p.ini", dir.File("p.ini"));       // relative, dangling
  std::filesystem::create_symlink(dir.File("p.ini"), dir.File("a.ini"));  // a chain
  std::string err;
  ASSERT_TRUE(WriteTextLinesAtomic(dir.File("a.ini"), {"first"}, err)) << err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("a.ini")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("p.ini")));
  EXPECT_EQ(ReadFile(dir.File("real/p.ini")), "first\r\n");
  ASSERT_TRUE(WriteTextLinesAtomic(dir.File("p.ini"), {"second"}, err)) << err;
  EXPECT_EQ(ReadFile(dir.File("real/p.ini")), "second\r\n");
  EXPECT_EQ(Names(dir.File("real")), std::vector<std::string>{"p.ini"});

  // A loop of links is refused with the system's reason.
  std::filesystem::create_symlink("y", dir.File("x"));
  std::filesystem::create_symlink("x", dir.File("y"));
  EXPECT_FALSE(WriteTextLinesAtomic(dir.File("x"), {"z"}, err));
  EXPECT_EQ(err, "unable to write file " + dir.File("x") + ": Too many levels of symbolic links");
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"a.ini", "p.ini", "real", "x", "y"}));
}

TEST(FileProtection, ModeOwnerAndGroupAreKept) {
  TempDir dir;
  const std::string path = dir.File("p.ini");
  WriteFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
  const uid_t owner = AsRoot() ? 65534 : ::geteuid();
  const gid_t group = AsRoot() ? 65534 : ::getegid();
  if (AsRoot()) {
    ASSERT_EQ(::chown(path.c_str(), owner, group), 0);
  }
  std::string err;
  ASSERT_TRUE(WriteTextLinesAtomic(path, {"new"}, err)) << err;
  const struct stat st = StatOf(path);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_uid, owner);
  EXPECT_EQ(st.st_gid, group);
  EXPECT_EQ(ReadFile(path), "new\r\n");
}

// The saved name gets the new file; another name of the old one keeps it.
TEST(FileProtection, HardLinkedNameGetsTheNewFileTheOtherNameKeepsTheOld) {
  TempDir dir;
  WriteFile(dir.File("a.ini"), "old");
  ASSERT_EQ(::link(dir.File("a.ini").c_str(), dir.File("b.ini").c_str()), 0);
  std::string err;
  ASSERT_TRUE(WriteTextLinesAtomic(dir.File("a.ini"), {"new"}, err)) << err;
  EXPECT_EQ(ReadFile(dir.File("a.ini")), "new\r\n");
  EXPECT_EQ(ReadFile(dir.File("b.ini")), "old");
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"a.ini", "b.ini"}));
}

// The temporary name must be legal wherever the target's is.
TEST(FileProtection, NamesOfUpTo255BytesAreWritten) {
  TempDir dir;
  std::string err;
  for (std::size_t length : {244u, 250u, 255u}) {
    const std::string name = std::string(length - 4, 'p') + ".ini";
    ASSERT_TRUE(WriteTextLinesAtomic(dir.File(name), {"x"}, err)) << length << ": " << err;
    ASSERT_TRUE(WriteTextLinesAtomic(dir.File(name), {"y"}, err)) << length << ": " << err;  // replaced
    EXPECT_EQ(ReadFile(dir.File(name)), "y\r\n");
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{name});
    std::filesystem::remove(dir.File(name));
  }
  bool existed = true;
  const std::string spl = std::string(251, 's') + ".spl";
  ASSERT_TRUE(WriteNewFileExclusive(dir.File(spl), std::vector<std::uint8_t>{1}, err, existed)) << err;
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{spl});
  const std::string tooLong = std::string(256, 'p');
  EXPECT_FALSE(WriteTextLinesAtomic(dir.File(tooLong), {"x"}, err));
  EXPECT_EQ(err, "unable to write file " + dir.File(tooLong) + ": File name too long");
}

// Whether process `pid` has a file in `folder` open (waits while it runs).
bool OpensAFileIn(pid_t pid, const std::string& folder) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (siginfo_t ended{}; std::chrono::steady_clock::now() < until;) {
    // Ended already (not reaped, so the pid stays its own)?
    if (::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid != 0) break;
    DIR* d = ::opendir(fds.c_str());
    for (dirent* e = d ? ::readdir(d) : nullptr; e != nullptr; e = ::readdir(d)) {
      char target[4096];
      const ssize_t n = ::readlinkat(::dirfd(d), e->d_name, target, sizeof target);
      if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind(folder + "/", 0) == 0) {
        ::closedir(d);
        return true;
      }
    }
    if (d) ::closedir(d);
  }
  return false;
}

// A program killed in the middle of a save (no chance to clean up) leaves
// the previous file and nothing else.
TEST(KilledSave, LeavesThePreviousFileAndNoTemporaryFile) {
  TempDir dir;
  const int probe = ::open(dir.Path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (probe < 0) GTEST_SKIP() << "the temporary folder's file system has no unnamed files";
  ::close(probe);
  const std::string path = dir.File("image.bin");
  WriteFile(path, "old");
  bool killedWhileSaving = false;
  for (int attempt = 0; attempt < 5 && !killedWhileSaving; ++attempt) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string err;
      ::_exit(WriteFileAtomic(path, std::string(64u << 20, 'n'), err) ? 0 : 1);
    }
    killedWhileSaving = OpensAFileIn(child, dir.Path());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    if (!killedWhileSaving) WriteFile(path, "old");
  }
  ASSERT_TRUE(killedWhileSaving) << "the save was never seen under way";
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"image.bin"});
  EXPECT_EQ(ReadFile(path), "old");
}

}  // namespace
