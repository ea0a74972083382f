#include "serial/port_info.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "serial/port_map.h"

namespace mv {

namespace {

constexpr std::size_t kAttributeLimit = 256;  // longest attribute text kept
constexpr int kParentLevels = 4;

// First line of a small sysfs attribute, printable characters only; "" when
// it cannot be read. Never blocks and never reads more than the limit.
std::string ReadAttribute(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buf[kAttributeLimit];
    ssize_t n;
    do n = ::read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    for (ssize_t i = 0; i < n; ++i) {
      const auto c = static_cast<unsigned char>(buf[i]);
      if (c == '\n' || c == '\r' || c == '\0') break;
      if (c >= 0x20 && c != 0x7F) text += static_cast<char>(c);
    }
  }
  ::close(fd);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return {};
  return buf;
}

std::string Parent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

bool ValidTtyName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string GroupOf(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return {};
  long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  std::string buf(static_cast<std::size_t>(size), '\0');
  group g{};
  group* found = nullptr;
  if (::getgrgid_r(st.st_gid, &g, buf.data(), buf.size(), &found) != 0 || found == nullptr) return {};
  return found->gr_name;
}

}  // namespace

std::string TtyNameOfPath(const std::string& devicePath) {
  if (devicePath.empty()) return {};
  std::string resolved = RealPath(devicePath);
  if (resolved.empty()) resolved = devicePath;
  const std::size_t slash = resolved.find_last_of('/');
  return slash == std::string::npos ? resolved : resolved.substr(slash + 1);
}

UsbAdapterInfo ReadUsbAdapterInfo(const std::string& ttyName, const std::string& sysRoot) {
  UsbAdapterInfo info;
  if (!ValidTtyName(ttyName)) return info;
  std::string dir = RealPath(sysRoot + "/class/tty/" + ttyName + "/device");
  // A USB serial port sits below its interface, which sits below the USB
  // device that carries the identity (ttyACM: interface then device).
  for (int level = 0; !dir.empty() && dir != "/" && level <= kParentLevels; ++level, dir = Parent(dir)) {
    const std::string vendor = ReadAttribute(dir + "/idVendor");
    if (vendor.empty()) continue;
    info.usb = true;
    info.vendorId = vendor;
    info.productId = ReadAttribute(dir + "/idProduct");
    info.manufacturer = ReadAttribute(dir + "/manufacturer");
    info.product = ReadAttribute(dir + "/product");
    info.serial = ReadAttribute(dir + "/serial");
    break;
  }
  return info;
}

std::string DescribeUsbAdapter(const UsbAdapterInfo& info) {
  if (!info.usb) return {};
  std::string name = info.manufacturer;
  if (!info.product.empty()) name += (name.empty() ? "" : " ") + info.product;
  if (name.empty()) name = "USB adapter";
  std::string ids = info.vendorId + ":" + (info.productId.empty() ? "?" : info.productId);
  if (!info.serial.empty()) ids += ", serial " + info.serial;
  return name + " (" + ids + ")";
}

std::string PortAdapterDescription(const std::string& devicePath, const std::string& sysRoot) {
  return DescribeUsbAdapter(ReadUsbAdapterInfo(TtyNameOfPath(devicePath), sysRoot));
}

std::string OpenFailureExplanation(const std::string& devicePath, int err, const std::string& group) {
  const std::string dev = devicePath.empty() ? std::string("the device") : devicePath;
  switch (err) {
    case EACCES:
    case EPERM: {
      const std::string g = group.empty() || group == "root" ? std::string("dialout") : group;
      return "You have no permission to use " + dev + ". Serial devices belong to the group " + g +
             ": add your user to it (sudo usermod -aG " + g + " $USER),\nthen log out and log in again.";
    }
    case EBUSY:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return dev +
             " is in use by another program (a terminal program, a modem manager or a second copy of "
             "this program).\nClose that program, then open the port again.";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "There is no device at " + dev +
             ": the USB serial adapter may be unplugged.\n"
             "Plug it in, or choose another port.";
    case ENOTTY: return dev + " is not a serial device.";
    default: return {};
  }
}

std::string OpenFailureExplanation(const std::string& devicePath, int err) {
  return OpenFailureExplanation(devicePath, err, (err == EACCES || err == EPERM) ? GroupOf(devicePath) : "");
}

std::string OpenFailureDetails(int port, const std::string& devicePath, int err) {
  if (err == 0) return {};
  if (devicePath.empty())
    return "COM" + std::to_string(port) + " stands for no device: link it to one as " + PortMapFolder() + "/COM" +
           std::to_string(port) + ".";
  return OpenFailureExplanation(devicePath, err);
}

bool IsMissingDeviceError(int err) { return err == ENOENT || err == ENODEV || err == ENXIO; }

std::string OpenFailureMessage(int port, const std::string& devicePath, int err) {
  char first[64];
  std::snprintf(first, sizeof first, "ERROR: - unable to open COM%d", port);
  std::string text = first;
  if (IsMissingDeviceError(err)) return text;
  const std::string more = OpenFailureDetails(port, devicePath, err);
  if (!more.empty()) text += "\n\n" + more;
  return text;
}

bool IsDeviceGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

std::string DeviceRemovedText(int port) { return "COM" + std::to_string(port) + ": device removed"; }

}  // namespace mv
