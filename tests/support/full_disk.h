// A tiny tmpfs mounted for one test, to make writes fail with "No space left
// on device". Mounting needs privileges: Mounted() is false where it is not
// possible, and the test skips itself. OnTinyDiskAsOrdinaryUser adds an
// ordinary user's permissions to it.
#pragma once

#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>

#include "support/test_support.h"

namespace mvtest {

// Fills the file system of `folder` with one file, "filler", leaving `spare`
// bytes or fewer.
inline void FillDisk(const std::string& folder, std::size_t spare = 0) {
  const std::string filler = folder + "/filler";
  FILE* f = std::fopen(filler.c_str(), "wb");
  if (!f) return;
  static const char block[512] = {};
  while (std::fwrite(block, 1, sizeof block, f) == sizeof block) {
  }
  std::fclose(f);
  struct stat st {};
  if (spare > 0 && ::stat(filler.c_str(), &st) == 0) ::truncate(filler.c_str(), st.st_size - static_cast<off_t>(spare));
}

class TinyDisk {
 public:
  explicit TinyDisk(int kib = 64) : path_(dir_.File("disk")) {
    if (::mkdir(path_.c_str(), 0700) != 0) return;
    const std::string opts = "size=" + std::to_string(kib) + "k,mode=0700";
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, opts.c_str()) == 0;
  }
  ~TinyDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  TinyDisk(const TinyDisk&) = delete;
  TinyDisk& operator=(const TinyDisk&) = delete;

  bool Mounted() const { return mounted_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }

  // Fills the disk with one file, leaving `spare` bytes or fewer.
  void Fill(std::size_t spare = 0) { FillDisk(path_, spare); }

  static off_t Size(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_size : -1;
  }

 private:
  TempDir dir_;
  std::string path_;
  bool mounted_ = false;
};

// What OnTinyDiskAsOrdinaryUser returns when no file system could be mounted.
inline constexpr int kNoTinyDisk = 77;

// Runs `body` in a child process as an ordinary user, on a tiny tmpfs of
// `kib` KiB that the user owns, mounted in a mount namespace of the child's
// own (it goes with the child). As root the child mounts it for uid 65534
// and becomes that user; otherwise it mounts it in a user namespace of its
// own and gives up the capabilities that brings. So a full disk and the
// permissions of an ordinary user (root ignores them) meet in one test. The
// body checks with gtest assertions, which the child prints; returns 0 when
// they all held, 1 when one failed, kNoTinyDisk when nothing was mounted.
inline int OnTinyDiskAsOrdinaryUser(int kib, const std::function<void(const std::string& disk)>& body) {
  TempDir mountPoint;
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    auto writeProc = [](const char* file, const std::string& text) {
      FILE* f = std::fopen(file, "w");
      const bool ok = f && std::fputs(text.c_str(), f) >= 0;
      return (f && std::fclose(f) == 0) && ok;
    };
    std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
    if (uid == 0) {
      options += ",uid=65534,gid=65534";
      if (::unshare(CLONE_NEWNS) != 0) ::_exit(kNoTinyDisk);
    } else if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !writeProc("/proc/self/setgroups", "deny") ||
               !writeProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
               !writeProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      ::_exit(kNoTinyDisk);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mountPoint.Path().c_str(), "tmpfs", 0, options.c_str()) != 0)
      ::_exit(kNoTinyDisk);
    if (uid == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
          ::setresuid(65534, 65534, 65534) != 0)
        ::_exit(kNoTinyDisk);
    } else {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct none[2] = {};
      if (::syscall(SYS_capset, &header, none) != 0) ::_exit(kNoTinyDisk);
    }
    body(mountPoint.Path());
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Names in a folder other than the expected ones (leftover temporary files).
inline std::string StrayEntries(const std::string& folder, std::initializer_list<std::string> expected) {
  std::string stray;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      bool known = false;
      for (const auto& x : expected) known = known || x == name;
      if (!known) stray += name + " ";
    }
    ::closedir(d);
  }
  return stray;
}

}  // namespace mvtest
