#include "serial/port_map.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace mv {

std::string PortMapFolder() {
  if (const char* env = std::getenv("MORVANE_PORT_MAP"); env && *env) return env;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config/morvane-host/ports";
  return "";
}

namespace {

std::string MapEntry(int n) {
  const std::string folder = PortMapFolder();
  if (folder.empty()) return "";
  const std::string entry = folder + "/COM" + std::to_string(n);
  struct stat st {};
  if (::lstat(entry.c_str(), &st) != 0) return "";
  if (!S_ISLNK(st.st_mode)) return entry;
  char buf[4096];
  const ssize_t len = ::readlink(entry.c_str(), buf, sizeof buf - 1);
  if (len <= 0) return entry;
  std::string target(buf, static_cast<size_t>(len));
  if (target[0] != '/') target = folder + "/" + target;
  return target;
}

}  // namespace

std::string PortDevicePath(int n) {
  if (n < 1 || n > 255) return "";
  std::string mapped = MapEntry(n);
  if (!mapped.empty()) return mapped;
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
