// How the port holds its device: never as the process's controlling terminal
// (a hang-up there would signal the whole program), never inherited by a
// program started later, and only by one opener at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"

namespace {

// tty_nr of /proc/self/stat: 0 when the process has no controlling terminal.
long ControllingTty() {
  std::ifstream f("/proc/self/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string state;
  long ppid = 0, pgrp = 0, session = 0, tty = -1;
  rest >> state >> ppid >> pgrp >> session >> tty;
  return tty;
}

// The descriptor this process holds on `path`, or -1.
int FdOf(const std::string& path) {
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64], target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) return fd;
  }
  return -1;
}

struct Pty {
  int master = -1, slave = -1;
  std::string path;
  Pty() {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
    path = ttyname(slave);
    close(slave);  // only the port holds the terminal end
    slave = -1;
    fcntl(master, F_SETFD, FD_CLOEXEC);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
};

TEST(PortSecurity, DeviceNeverBecomesTheControllingTerminal) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  // A fresh session without a terminal: opening a terminal without O_NOCTTY
  // would make it the session's controlling terminal.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setsid() < 0 || ControllingTty() != 0) _exit(2);
    mv::HeadlessLoop loop;
    PLKDVX::TDVXCOMPort port(loop.Queue());
    port.SetDevicePathOverride(pty.path);
    if (!port.Open()) _exit(3);
    const long tty = ControllingTty();
    port.Close();
    _exit(tty == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the port became the controlling terminal; 2: no new session; 3: no open";
}

TEST(PortSecurity, DescriptorIsCloseOnExecAndHeldExclusively) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  mv::HeadlessLoop loop;
  PLKDVX::TDVXCOMPort port(loop.Queue());
  port.SetDevicePathOverride(pty.path);
  ASSERT_TRUE(port.Open());
  const int fd = FdOf(pty.path);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "a started program would inherit the port";

  // A second port object on the same device is refused and says so.
  PLKDVX::TDVXCOMPort second(loop.Queue());
  int err = 0;
  std::string what;
  second.OnReport = [&](void*, PLKDVX::TReportType type, const std::string& f, const std::string& d, const std::string&,
                        int, int e) {
    if (type == PLKDVX::rtError && err == 0) {
      err = e;
      what = f + ": " + d;
    }
  };
  second.SetDevicePathOverride(pty.path);
  EXPECT_FALSE(second.Open());
  EXPECT_FALSE(second.GetOpened());
  EXPECT_NE(err, 0) << "the refusal was not reported";
  EXPECT_FALSE(what.empty());
  EXPECT_TRUE(port.GetOpened());
  port.Close();
  EXPECT_EQ(FdOf(pty.path), -1);
}

}  // namespace
