// What a port number stands for on this machine, in words for the user: the
// USB adapter behind a device (from sysfs), why opening it failed and how to
// put that right, and the notice that an open device has gone.
#pragma once

#include <string>

namespace mv {

// The USB adapter a serial device belongs to, as sysfs describes it. Empty
// strings for what sysfs does not say; usb false for a device that is not on
// USB (or is not known to sysfs at all).
struct UsbAdapterInfo {
  bool usb = false;
  std::string vendorId;      // idVendor, for example "0403"
  std::string productId;     // idProduct, for example "6001"
  std::string manufacturer;  // manufacturer, for example "FTDI"
  std::string product;       // product, for example "FT232R USB UART"
  std::string serial;        // serial, for example "A10K3XYZ"
};

// The kernel's name of the device at path ("ttyUSB0"): the last part of the
// path after following symbolic links; "" for an empty path.
std::string TtyNameOfPath(const std::string& devicePath);

// Looks up <sysRoot>/class/tty/<ttyName>/device and the folders above it
// (at most four) for the USB device attributes.
UsbAdapterInfo ReadUsbAdapterInfo(const std::string& ttyName, const std::string& sysRoot = "/sys");

// "FTDI FT232R USB UART (0403:6001, serial A10K3XYZ)"; "" when not USB.
std::string DescribeUsbAdapter(const UsbAdapterInfo& info);

// The adapter description of the device at path ("" when not USB).
std::string PortAdapterDescription(const std::string& devicePath, const std::string& sysRoot = "/sys");

// Lines added under "ERROR: - unable to open COM<n>" when the device could
// not be opened with the error number err (errno): who holds it, which
// permission is missing and how to get it, or which path was tried. "" when
// there is nothing more useful to say than the error itself. group is the
// group that owns the device ("" when unknown: "dialout" is assumed).
std::string OpenFailureExplanation(const std::string& devicePath, int err, const std::string& group);
// The same, with the group read from the device node.
std::string OpenFailureExplanation(const std::string& devicePath, int err);

// The explanation for port n, also when the port stands for no device path.
std::string OpenFailureDetails(int port, const std::string& devicePath, int err);

// A device that is not there (no such file, no such device): the case of a
// port number that does not exist, whose box keeps its one line.
bool IsMissingDeviceError(int err);

// The message box text for a failed open: "ERROR: - unable to open COM<n>",
// then, when the device exists but could not be had (no permission, in use,
// not a terminal), a blank line and the explanation.
std::string OpenFailureMessage(int port, const std::string& devicePath, int err);

// The errors with which reading or waiting on an open device fails once its
// adapter has been unplugged (or the other end of the line has gone).
bool IsDeviceGoneError(int err);

// Status text for a port whose device has gone: "COM1: device removed".
std::string DeviceRemovedText(int port);

}  // namespace mv
