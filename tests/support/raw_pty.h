// A pseudo-terminal pair in raw mode: the terminal end (Path()) stands for a
// serial device, the master end is the far end of the line, held by the test.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

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
  // Gives up the master end (the far end of the line goes away).
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace mvtest
