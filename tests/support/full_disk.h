// A tiny tmpfs mounted for one test, to make writes fail with "No space left
// on device". Mounting needs privileges: Mounted() is false where it is not
// possible, and the test skips itself.
#pragma once

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "support/test_support.h"

namespace mvtest {

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
  void Fill(std::size_t spare = 0) {
    FILE* f = std::fopen(File("filler").c_str(), "wb");
    if (!f) return;
    static const char block[512] = {};
    while (std::fwrite(block, 1, sizeof block, f) == sizeof block) {
    }
    std::fclose(f);
    if (spare > 0) ::truncate(File("filler").c_str(), Size(File("filler")) - static_cast<off_t>(spare));
  }

  static off_t Size(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_size : -1;
  }

 private:
  TempDir dir_;
  std::string path_;
  bool mounted_ = false;
};

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
