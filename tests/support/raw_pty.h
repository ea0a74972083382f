// A pseudo-terminal pair in raw mode: the terminal end (Path()) stands for a
// serial device, the master end is the far end of the line, held by the test.
//
// Both ends stay open as long as the object lives, so that the terminal's
// number stays this test's: once both are closed the kernel gives the number
// to the next pseudo-terminal made, in any program, and a program that still
// knows the old path would meet that one. A test opens no pseudo-terminal by
// path that it has not made itself and still holds; Intruders() tells which
// other programs have this one open (none may).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace mvtest {

class RawPty {
 public:
  RawPty() {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    for (int fd : {master_, slave_}) {
      termios t{};
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd, TCSANOW, &t);
    }
    path_ = ::ttyname(slave_);
  }
  ~RawPty() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }
  RawPty(const RawPty&) = delete;
  RawPty& operator=(const RawPty&) = delete;

  bool Ok() const { return !path_.empty(); }
  int Master() const { return master_; }
  int Slave() const { return slave_; }
  const std::string& Path() const { return path_; }
  // Gives up the master end (the far end of the line goes away); the
  // terminal end keeps the number.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // Other processes that have this terminal open, as "pid (name)" lines.
  std::string Intruders() const {
    struct stat mine {};
    if (slave_ < 0 || ::fstat(slave_, &mine) != 0) return "";
    std::string found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return "";
    const std::string self = std::to_string(::getpid());
    while (dirent* e = ::readdir(proc)) {
      if (e->d_name[0] < '1' || e->d_name[0] > '9' || self == e->d_name) continue;
      const std::string fdDir = std::string("/proc/") + e->d_name + "/fd";
      DIR* fds = ::opendir(fdDir.c_str());
      if (!fds) continue;
      bool holds = false;
      while (dirent* f = ::readdir(fds)) {
        struct stat st {};
        if (f->d_name[0] != '.' && ::stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == mine.st_rdev)
          holds = true;
      }
      ::closedir(fds);
      if (!holds) continue;
      std::string name;
      std::ifstream(std::string("/proc/") + e->d_name + "/comm") >> name;
      found += std::string(e->d_name) + " (" + name + ")\n";
    }
    ::closedir(proc);
    return found;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace mvtest
