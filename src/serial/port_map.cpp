#include "serial/port_map.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace mv {

std::string PortMapFolder() {
  if (const char* env = std::getenv("MORVANE_PORT_MAP"); env && *env) return env;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config/morvane-host/ports";
  return "";
}

namespace {

// Whether the link COMn -> `target` may be followed. A link the simulated
// drive made has its lock file beside it ("COMn.lock", "<pid> <terminal>"),
// which the simulator holds locked (flock) while it runs: such a link is
// followed only while its simulator runs and serves `target`. A simulator
// killed without cleaning up leaves its link, and the terminal's number may
// be another program's by now. A link without a lock file was made by hand.
bool MayFollow(const std::string& entry, const std::string& target) {
  const std::string lock = entry + ".lock";
  const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT;
  bool live = false;
  // A shared lock is had only when nobody holds the simulator's (it lasts
  // an instant; a simulator starting meanwhile tries again).
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
  } else if (errno == EWOULDBLOCK) {
    char owner[512];
    const ssize_t n = ::pread(fd, owner, sizeof owner - 1, 0);
    const std::string text(owner, n > 0 ? static_cast<std::size_t>(n) : 0u);
    const std::size_t blank = text.find(' ');
    live = blank != std::string::npos && text == text.substr(0, blank + 1) + target + "\n";
  }
  ::close(fd);
  return live;
}

// The map's entry for port n: false when there is none; `path` is then "",
// and also for an entry that may not be followed (see MayFollow).
bool MapEntry(int n, std::string& path) {
  path.clear();
  const std::string folder = PortMapFolder();
  if (folder.empty()) return false;
  const std::string entry = folder + "/COM" + std::to_string(n);
  struct stat st {};
  if (::lstat(entry.c_str(), &st) != 0) return false;
  path = entry;
  if (!S_ISLNK(st.st_mode)) return true;
  char buf[4096];
  const ssize_t len = ::readlink(entry.c_str(), buf, sizeof buf - 1);
  if (len <= 0) return true;
  const std::string link(buf, static_cast<size_t>(len));
  path = MayFollow(entry, link) ? (link[0] == '/' ? link : folder + "/" + link) : "";
  return true;
}

}  // namespace

std::string PortDevicePath(int n) {
  if (n < 1 || n > 255) return "";
  std::string mapped;
  if (MapEntry(n, mapped)) return mapped;
  if (n <= 8) return "/dev/ttyUSB" + std::to_string(n - 1);
  if (n <= 16) return "/dev/ttyACM" + std::to_string(n - 9);
  if (n <= 32) return "/dev/ttyS" + std::to_string(n - 17);
  return "";
}

bool IsTerminalDevice(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned maj = major(st.st_rdev);
  const std::string sys = "/sys/dev/char/" + std::to_string(maj) + ":" + std::to_string(minor(st.st_rdev));
  char buf[512];
  const ssize_t len = ::readlink((sys + "/subsystem").c_str(), buf, sizeof buf - 1);
  if (len <= 0) {
    // Pseudo-terminal ends have no sysfs node; their majors are 136..143.
    return maj >= 136 && maj <= 143;
  }
  const std::string subsystem(buf, static_cast<size_t>(len));
  if (subsystem.size() < 4 || subsystem.compare(subsystem.size() - 4, 4, "/tty") != 0) return false;
  // Serial-core drivers make a node for every port slot, with or without a
  // UART behind it; an empty slot has type 0 (unknown).
  std::ifstream type(sys + "/type");
  int t = -1;
  if (type && (type >> t) && t == 0) return false;
  return true;
}

}  // namespace mv

namespace PLKDVX {

bool IsPortPres(int n) {
  if (n < 1 || n > 255) return false;
  return mv::IsTerminalDevice(mv::PortDevicePath(n));
}

}  // namespace PLKDVX
