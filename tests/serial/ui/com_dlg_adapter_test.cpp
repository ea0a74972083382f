// The settings window names the USB adapter behind each present port.
#include <gtest/gtest.h>

#include <QTimer>
#include <map>
#include <string>

#include "serial/ui/TDVXCOMDlg.h"
#include "serial/ui/TDVXCOMDlgFrm.h"

using namespace PLKDVX;

TEST(COMDlgAdapter, PresentUsbPortsShowTheirAdapterAbsentOnesAreNotLookedUp) {
  TDVXCOMDlg d;
  d.SetPort(3);
  std::map<std::string, int> lookups;
  bool ran = false;
  d.OnBeforeExecute = [&](TDVXCOMDlgFrm& frm) {
    frm.PortPresent = [](int n) { return n == 1 || n == 3; };
    frm.PortPath = [](int n) { return "/dev/fake" + std::to_string(n); };
    frm.AdapterOf = [&](const std::string& path) {
      ++lookups[path];
      return path == "/dev/fake3" ? std::string("FTDI FT232R USB UART (0403:6001, serial A10K3XYZ)") : std::string();
    };
    QTimer::singleShot(0, &frm, [&] {
      ran = true;
      auto* box = frm.COMPortComboBoxEx;
      EXPECT_EQ(frm.DeviceLabel->text(), "COM3: /dev/fake3 (present)");
      EXPECT_EQ(frm.AdapterLabel->text(), "FTDI FT232R USB UART (0403:6001, serial A10K3XYZ)");
      EXPECT_EQ(frm.AdapterLabel->textFormat(), Qt::PlainText);
      EXPECT_FALSE(frm.AdapterLabel->accessibleDescription().isEmpty());
      EXPECT_EQ(box->itemData(2, Qt::ToolTipRole).toString(),
                "COM3: /dev/fake3 (present)\nFTDI FT232R USB UART (0403:6001, serial A10K3XYZ)");
      // A present port that is not on USB, and an absent one.
      box->setCurrentIndex(0);
      EXPECT_EQ(frm.DeviceLabel->text(), "COM1: /dev/fake1 (present)");
      EXPECT_EQ(frm.AdapterLabel->text(), "");
      box->setCurrentIndex(1);
      EXPECT_EQ(frm.DeviceLabel->text(), "COM2: /dev/fake2 (absent)");
      EXPECT_EQ(frm.AdapterLabel->text(), "");
      EXPECT_EQ(lookups.count("/dev/fake2"), 0u);
      const int before = lookups["/dev/fake3"];
      EXPECT_GE(before, 1);
      // Looked up again on every drop-down, as the marks are (adapters come and go).
      frm.COMPortComboBoxExDropDown();
      EXPECT_GT(lookups["/dev/fake3"], before);
      frm.reject();
    });
  };
  d.Execute(10, 20);
  EXPECT_TRUE(ran);
  EXPECT_EQ(d.GetPort(), 3);  // cancelled: nothing changed
}
