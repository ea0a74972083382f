// What the user is told about a port: the USB adapter behind it (read from a
// sysfs tree laid out in a temporary folder) and why opening it failed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "serial/port_info.h"
#include "support/platform_fake.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using mvtest::TempDir;
using mvtest::WriteFile;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A sysfs tree as the kernel lays it out for a USB serial converter (ttyUSB0:
// port below interface below device), a CDC modem (ttyACM0: interface below
// device) and an on-board UART (ttyS0: no USB device above it).
class FakeSysfs : public ::testing::Test {
 protected:
  FakeSysfs() : sys(tmp.Path() + "/sys") {
    const std::string usb = sys + "/devices/pci0000:00/usb1/1-1";
    fs::create_directories(usb + "/1-1:1.0/ttyUSB0");
    WriteFile(usb + "/idVendor", "0403\n");
    WriteFile(usb + "/idProduct", "6001\n");
    WriteFile(usb + "/manufacturer", "FTDI\n");
    WriteFile(usb + "/product", "FT232R USB UART\n");
    WriteFile(usb + "/serial", "A10K3XYZ\n");
    Link("ttyUSB0", "../../../devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0");

    const std::string acm = sys + "/devices/pci0000:00/usb2/2-3";
    fs::create_directories(acm + "/2-3:1.0");
    WriteFile(acm + "/idVendor", "2341\n");
    WriteFile(acm + "/idProduct", "0043");  // no line end
    Link("ttyACM0", "../../../devices/pci0000:00/usb2/2-3/2-3:1.0");

    fs::create_directories(sys + "/devices/platform/serial8250/tty/ttyS0");
    Link("ttyS0", "../../../devices/platform/serial8250");
  }

  void Link(const std::string& tty, const std::string& target) {
    fs::create_directories(sys + "/class/tty/" + tty);
    fs::create_directory_symlink(target, sys + "/class/tty/" + tty + "/device");
  }

  TempDir tmp;
  std::string sys;
};

TEST_F(FakeSysfs, UsbAdaptersAreDescribedFromTheirDeviceAttributes) {
  const mv::UsbAdapterInfo ftdi = mv::ReadUsbAdapterInfo("ttyUSB0", sys);
  EXPECT_TRUE(ftdi.usb);
  EXPECT_EQ(ftdi.vendorId, "0403");
  EXPECT_EQ(ftdi.productId, "6001");
  EXPECT_EQ(ftdi.manufacturer, "FTDI");
  EXPECT_EQ(ftdi.product, "FT232R USB UART");
  EXPECT_EQ(ftdi.serial, "A10K3XYZ");
  EXPECT_EQ(mv::DescribeUsbAdapter(ftdi), "FTDI FT232R USB UART (0403:6001, serial A10K3XYZ)");

  // Only the identity: still named as a USB adapter.
  const mv::UsbAdapterInfo acm = mv::ReadUsbAdapterInfo("ttyACM0", sys);
  EXPECT_TRUE(acm.usb);
  EXPECT_EQ(mv::DescribeUsbAdapter(acm), "USB adapter (2341:0043)");

  // A device path that is a link (as the port map makes them) names the tty it points at.
  fs::create_directories(tmp.Path() + "/dev");
  WriteFile(tmp.Path() + "/dev/ttyUSB0", "");
  fs::create_symlink(tmp.Path() + "/dev/ttyUSB0", tmp.Path() + "/dev/COM1");
  EXPECT_EQ(mv::TtyNameOfPath(tmp.Path() + "/dev/COM1"), "ttyUSB0");
  EXPECT_EQ(mv::PortAdapterDescription(tmp.Path() + "/dev/COM1", sys),
            "FTDI FT232R USB UART (0403:6001, serial A10K3XYZ)");
}

TEST_F(FakeSysfs, DevicesOffUsbOrUnknownOrOddlyNamedHaveNoDescription) {
  EXPECT_FALSE(mv::ReadUsbAdapterInfo("ttyS0", sys).usb);
  EXPECT_FALSE(mv::ReadUsbAdapterInfo("ttyUSB7", sys).usb);  // unplugged: no sysfs node
  EXPECT_FALSE(mv::ReadUsbAdapterInfo("../../devices", sys).usb);
  EXPECT_FALSE(mv::ReadUsbAdapterInfo("", sys).usb);
  EXPECT_EQ(mv::PortAdapterDescription("/dev/ttyS0", sys), "");
  EXPECT_EQ(mv::PortAdapterDescription("", sys), "");
  EXPECT_EQ(mv::TtyNameOfPath("/dev/does-not-exist/ttyUSB9"), "ttyUSB9");
  EXPECT_EQ(mv::TtyNameOfPath(""), "");
}

TEST_F(FakeSysfs, AttributeTextIsCutToOneLineOfPrintableCharacters) {
  const std::string usb = sys + "/devices/pci0000:00/usb1/1-1";
  WriteFile(usb + "/product", "Evil\x1b[2J Adapter  \nsecond line\n");
  WriteFile(usb + "/manufacturer", std::string(5000, 'M'));
  const mv::UsbAdapterInfo info = mv::ReadUsbAdapterInfo("ttyUSB0", sys);
  EXPECT_EQ(info.product, "Evil[2J Adapter");
  EXPECT_EQ(info.manufacturer, std::string(256, 'M'));
  // A folder where an attribute file should be is read as nothing.
  fs::remove(usb + "/serial");
  fs::create_directory(usb + "/serial");
  EXPECT_EQ(mv::ReadUsbAdapterInfo("ttyUSB0", sys).serial, "");
}

TEST(OpenFailureMessage, SaysWhatWentWrongAndHowToPutItRight) {
  const std::string denied = mv::OpenFailureMessage(3, "/dev/ttyUSB2", EACCES);
  EXPECT_EQ(denied.substr(0, denied.find('\n')), "ERROR: - unable to open COM3");
  EXPECT_TRUE(Contains(denied, "/dev/ttyUSB2")) << denied;
  EXPECT_TRUE(Contains(denied, "usermod -aG dialout")) << denied;
  EXPECT_TRUE(Contains(denied, "log out and log in again")) << denied;
  EXPECT_TRUE(Contains(mv::OpenFailureExplanation("/dev/ttyUSB2", EPERM, ""), "dialout"));
  // The group that owns the device where it is not dialout.
  EXPECT_TRUE(Contains(mv::OpenFailureExplanation("/dev/ttyS0", EACCES, "uucp"), "usermod -aG uucp"));

  for (int err : {EBUSY, EWOULDBLOCK}) {
    const std::string busy = mv::OpenFailureMessage(1, "/dev/ttyUSB0", err);
    EXPECT_TRUE(Contains(busy, "/dev/ttyUSB0 is in use by another program")) << busy;
  }
  // A device that is not there: the box keeps its one line (a port that does
  // not exist); the details name the path tried.
  for (int err : {ENOENT, ENODEV, ENXIO}) {
    EXPECT_EQ(mv::OpenFailureMessage(2, "/dev/ttyUSB1", err), "ERROR: - unable to open COM2");
    const std::string gone = mv::OpenFailureDetails(2, "/dev/ttyUSB1", err);
    EXPECT_TRUE(Contains(gone, "/dev/ttyUSB1")) << gone;
    EXPECT_TRUE(Contains(gone, "unplugged")) << gone;
  }
  EXPECT_TRUE(Contains(mv::OpenFailureDetails(40, "", ENOENT), "COM40 stands for no device"));
  EXPECT_EQ(mv::OpenFailureDetails(40, "/dev/ttyS9", 0), "");

  // Nothing useful to add: the box says what it always said.
  EXPECT_EQ(mv::OpenFailureMessage(7, "/dev/ttyS6", 0), "ERROR: - unable to open COM7");
  EXPECT_EQ(mv::OpenFailureMessage(7, "/dev/ttyS6", EINVAL), "ERROR: - unable to open COM7");
}

TEST(OpenFailureMessage, DeviceGoneErrorsAndStatusText) {
  EXPECT_TRUE(mv::IsDeviceGoneError(EIO));
  EXPECT_TRUE(mv::IsDeviceGoneError(ENXIO));
  EXPECT_TRUE(mv::IsDeviceGoneError(ENODEV));
  EXPECT_FALSE(mv::IsDeviceGoneError(0));
  EXPECT_FALSE(mv::IsDeviceGoneError(ECANCELED));
  EXPECT_EQ(mv::DeviceRemovedText(1), "COM1: device removed");
}

// The open path: the device refuses with EACCES; the port reports it once
// with the error, and that error builds the explanation.
TEST(OpenFailureMessage, PermissionRefusalThroughThePort) {
  mv::HeadlessLoop loop;
  auto fake = std::make_shared<mv::FakeSerialPlatform>();
  PLKDVX::TDVXCOMPort port(loop.Queue(), fake);
  int apiErr = 0, reports = 0;
  port.OnReport = [&](void*, PLKDVX::TReportType, const std::string& func, const std::string& desc, const std::string&,
                      int, int err) {
    ++reports;
    if (func == "OpenCOMPort" && desc == "CreateFile") apiErr = err;
  };
  port.SetDevicePathOverride("/dev/ttyUSB0");
  fake->FailCall("CreateFile", EACCES);
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(port.GetOpened());
  EXPECT_EQ(reports, 1);
  ASSERT_EQ(apiErr, EACCES);
  const std::string text = mv::OpenFailureMessage(port.GetPort(), port.DevicePath(), apiErr);
  EXPECT_EQ(text.substr(0, text.find('\n')), "ERROR: - unable to open COM" + port.GetPortStr());
  EXPECT_TRUE(Contains(text, "/dev/ttyUSB0")) << text;
  EXPECT_TRUE(Contains(text, "dialout")) << text;
  // Access granted later: the same port opens.
  EXPECT_TRUE(port.Open());
  EXPECT_TRUE(port.Close());
}

// A real device node without rights; the superuser passes every permission
// check, so this only runs for a normal user.
TEST(OpenFailureMessage, RealDeviceWithoutRights) {
  if (::geteuid() == 0) GTEST_SKIP() << "running as root: permission checks do not apply";
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string slave = ::ptsname(master);
  ASSERT_EQ(::chmod(slave.c_str(), 0), 0);
  mv::DeviceHandle h = nullptr;
  const mv::PlatformResult r = mv::PosixSerialPlatform()->CreateFile(slave, h);
  ::close(master);
  ASSERT_FALSE(r.ok);
  EXPECT_EQ(r.err, EACCES);
  EXPECT_TRUE(Contains(mv::OpenFailureExplanation(slave, r.err), "You have no permission to use " + slave));
}

}  // namespace
