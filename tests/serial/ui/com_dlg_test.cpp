#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <set>

#include "serial/gui_queue.h"
#include "serial/ui/TDVXCOMDlg.h"
#include "serial/ui/TDVXCOMDlgFrm.h"
#include "support/accessibility_check.h"
#include "support/qt_keys.h"

using namespace PLKDVX;

namespace {

// Runs `drive` on the settings window once it is up, then Execute returns.
void ExecuteWith(TDVXCOMDlg& dlg, std::function<void(TDVXCOMDlgFrm&)> drive, std::function<bool(int)> present = {}) {
  dlg.OnBeforeExecute = [drive, present](TDVXCOMDlgFrm& frm) {
    frm.PortPresent = present ? present : [](int) { return false; };
    frm.PortPath = [](int n) { return "/dev/fake" + std::to_string(n); };
    QTimer::singleShot(0, &frm, [&frm, drive] {
      drive(frm);
      if (frm.isVisible()) frm.reject();
    });
  };
  dlg.Execute(10, 20);
}

TEST(COMDlgProperties, DefaultsAndTexts) {
  TDVXCOMDlg d;
  EXPECT_EQ(d.GetVersion(), "1.00");
  EXPECT_FALSE(d.GetCopyright().isEmpty());
  EXPECT_TRUE(d.GetTitle().isEmpty());
  EXPECT_EQ(d.GetCOMMax(), 32);
  EXPECT_EQ(d.GetPort(), 1);
  EXPECT_EQ(d.GetBaudRate(), br9600);
  EXPECT_EQ(d.GetDataBits(), db8);
  EXPECT_EQ(d.GetParity(), paNone);
  EXPECT_EQ(d.GetStopBits(), sb1);
  EXPECT_EQ(d.GetReadOnlyAttribs(), 0);
  EXPECT_EQ(d.GetPortStr(), "1");
  EXPECT_EQ(d.GetBaudRateStr(), "9600");
  EXPECT_EQ(d.GetDataBitsStr(), "8");
  EXPECT_EQ(d.GetParityStr(), "none");
  EXPECT_EQ(d.GetStopBitsStr(), "1");
  d.SetVersion("2");
  d.SetCopyright("x");
  EXPECT_EQ(d.GetVersion(), "1.00");
  EXPECT_NE(d.GetCopyright(), "x");
  EXPECT_GT(d.GetCOMDlgWidth(), 100);
  EXPECT_GT(d.GetCOMDlgHeight(), 80);
}

TEST(COMDlgProperties, SetterRulesRefuseOutOfRangeSilently) {
  TDVXCOMDlg d;
  d.SetCOMMax(0);
  d.SetCOMMax(300);
  d.SetCOMMax(257);
  EXPECT_EQ(d.GetCOMMax(), 32);
  d.SetPort(40);
  EXPECT_EQ(d.GetPort(), 1);
  d.SetPort(7);
  d.SetCOMMax(4);  // pulls the port down
  EXPECT_EQ(d.GetCOMMax(), 4);
  EXPECT_EQ(d.GetPort(), 4);
  d.SetCOMMax(256);
  EXPECT_EQ(d.GetCOMMax(), 256);
  d.SetPort(0);
  EXPECT_EQ(d.GetPort(), 0);
  d.SetPort(-1);
  EXPECT_EQ(d.GetPort(), 0);
  d.SetBaudRate(11);
  d.SetBaudRate(-1);
  EXPECT_EQ(d.GetBaudRate(), br9600);
  d.SetBaudRate(10);
  EXPECT_EQ(d.GetBaudRateStr(), "115200");
  d.SetDataBits(4);
  d.SetParity(5);
  d.SetStopBits(3);
  EXPECT_EQ(d.GetDataBits(), db8);
  EXPECT_EQ(d.GetParity(), paNone);
  EXPECT_EQ(d.GetStopBits(), sb1);
  d.SetDataBits(0);
  d.SetParity(4);
  d.SetStopBits(1);
  EXPECT_EQ(d.GetDataBitsStr(), "5");
  EXPECT_EQ(d.GetParityStr(), "space");
  EXPECT_EQ(d.GetStopBitsStr(), "1.5");
}

TEST(COMDlgWindow, ListsAtMost32PortsAndPortZeroOpensWithPortOne) {
  TDVXCOMDlg d;
  d.SetCOMMax(100);
  d.SetPort(0);
  d.SetTitle("COM Port Settings");
  bool ran = false;
  ExecuteWith(d, [&](TDVXCOMDlgFrm& f) {
    ran = true;
    EXPECT_EQ(f.windowTitle(), "COM Port Settings");
    EXPECT_EQ(f.COMPortComboBoxEx->count(), 32);
    EXPECT_EQ(f.COMPortComboBoxEx->itemText(0), "1");
    EXPECT_EQ(f.COMPortComboBoxEx->itemText(31), "32");
    EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), 0);
    EXPECT_EQ(f.COMPortComboBoxEx->maxVisibleItems(), 8);
    EXPECT_EQ(f.BaudRateComboBox->count(), 11);
    EXPECT_EQ(f.BaudRateComboBox->currentText(), "9600");
    EXPECT_EQ(f.ParityComboBox->itemText(3), "Mark");
    EXPECT_EQ(f.StopBitsComboBox->itemText(1), "1.5");
    EXPECT_EQ(f.pos(), QPoint(10, 20));
  });
  EXPECT_TRUE(ran);
}

TEST(COMDlgWindow, OkStoresTheChoiceCancelAndCloseKeepEverything) {
  TDVXCOMDlg d;
  d.SetPort(3);
  auto change = [](TDVXCOMDlgFrm& f) {
    f.COMPortComboBoxEx->setCurrentIndex(4);
    f.BaudRateComboBox->setCurrentIndex(br115200);
    f.DataBitsComboBox->setCurrentIndex(db7);
    f.ParityComboBox->setCurrentIndex(paEven);
    f.StopBitsComboBox->setCurrentIndex(sb2);
  };
  ExecuteWith(d, [&](TDVXCOMDlgFrm& f) {
    change(f);
    f.CancelButton->click();
  });
  EXPECT_EQ(d.GetPort(), 3);
  EXPECT_EQ(d.GetBaudRate(), br9600);
  EXPECT_EQ(d.GetDataBits(), db8);
  EXPECT_EQ(d.GetParity(), paNone);
  EXPECT_EQ(d.GetStopBits(), sb1);
  ExecuteWith(d, [&](TDVXCOMDlgFrm& f) { change(f); });  // closed without a button
  EXPECT_EQ(d.GetPort(), 3);
  EXPECT_EQ(d.GetBaudRate(), br9600);
  ExecuteWith(d, [&](TDVXCOMDlgFrm& f) {
    change(f);
    f.OKButton->click();
  });
  EXPECT_EQ(d.GetPort(), 5);
  EXPECT_EQ(d.GetBaudRate(), br115200);
  EXPECT_EQ(d.GetDataBits(), db7);
  EXPECT_EQ(d.GetParity(), paEven);
  EXPECT_EQ(d.GetStopBits(), sb2);
}

TEST(COMDlgWindow, DefaultsShowsTheOpeningValuesAgainWithoutClosing) {
  TDVXCOMDlg d;
  d.SetPort(2);
  d.SetBaudRate(br57600);
  d.SetParity(paOdd);
  ExecuteWith(d, [&](TDVXCOMDlgFrm& f) {
    f.COMPortComboBoxEx->setCurrentIndex(9);
    f.BaudRateComboBox->setCurrentIndex(0);
    f.ParityComboBox->setCurrentIndex(4);
    f.StopBitsComboBox->setCurrentIndex(2);
    f.DataBitsComboBox->setCurrentIndex(0);
    f.DefaultsButton->click();
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), 1);
    EXPECT_EQ(f.BaudRateComboBox->currentIndex(), br57600);
    EXPECT_EQ(f.ParityComboBox->currentIndex(), paOdd);
    EXPECT_EQ(f.StopBitsComboBox->currentIndex(), sb1);
    EXPECT_EQ(f.DataBitsComboBox->currentIndex(), db8);
    f.OKButton->click();
  });
  EXPECT_EQ(d.GetPort(), 2);
  EXPECT_EQ(d.GetBaudRate(), br57600);
}

TEST(COMDlgWindow, ReadOnlyAttributesDisableOnlyTheirBoxes) {
  TDVXCOMDlg d;
  d.SetReadOnlyAttribs(RoBit(roPort) | RoBit(roBaudRate));
  ExecuteWith(d, [&](TDVXCOMDlgFrm& f) {
    EXPECT_FALSE(f.COMPortComboBoxEx->isEnabled());
    EXPECT_FALSE(f.BaudRateComboBox->isEnabled());
    EXPECT_TRUE(f.DataBitsComboBox->isEnabled());
    EXPECT_TRUE(f.ParityComboBox->isEnabled());
    EXPECT_TRUE(f.StopBitsComboBox->isEnabled());
  });
}

TEST(COMDlgWindow, PortMarksAreRefreshedOnEveryDropDown) {
  TDVXCOMDlg d;
  std::set<int> present = {1, 3};
  ExecuteWith(
      d,
      [&](TDVXCOMDlgFrm& f) {
        auto image = [&](int n) {
          return f.COMPortComboBoxEx->itemData(n - 1, TDVXCOMDlgFrm::kImageIndexRole).toInt();
        };
        EXPECT_EQ(image(1), 0);
        EXPECT_EQ(image(2), 1);
        EXPECT_EQ(image(3), 0);
        EXPECT_EQ(image(32), 1);
        EXPECT_TRUE(f.COMPortComboBoxEx->itemData(2, Qt::ToolTipRole).toString().contains("/dev/fake3"));
        EXPECT_TRUE(f.DeviceLabel->text().contains("/dev/fake1"));
        present.insert(5);  // an adapter is plugged in
        f.COMPortComboBoxEx->showPopup();
        EXPECT_EQ(image(5), 0);
        f.COMPortComboBoxEx->hidePopup();
        present.erase(1);
        f.COMPortComboBoxExDropDown();
        EXPECT_EQ(image(1), 1);
      },
      [&](int n) { return present.count(n) != 0; });
}

// Minimising and restoring the window is the window system's doing: the
// restore must not put the opening values or position back over the user's
// choices (OK would then write the old settings).
TEST(COMDlgWindow, RestoringAfterMinimiseKeepsTheUsersChoicesAndPlace) {
  TDVXCOMDlg d;
  d.SetPort(2);
  d.SetBaudRate(br57600);
  QPoint placed;
  ExecuteWith(d, [&](TDVXCOMDlgFrm& f) {
    f.COMPortComboBoxEx->setCurrentIndex(4);
    f.BaudRateComboBox->setCurrentIndex(br1200);
    f.DataBitsComboBox->setCurrentIndex(db7);
    f.ParityComboBox->setCurrentIndex(paEven);
    f.StopBitsComboBox->setCurrentIndex(sb2);
    f.move(f.pos() + QPoint(37, 23));
    placed = f.pos();
    f.setWindowState(Qt::WindowMinimized);
    QApplication::processEvents();
    f.setWindowState(Qt::WindowNoState);  // restored: a show event from the window system
    QApplication::processEvents();
    EXPECT_EQ(f.pos(), placed);
    f.OKButton->click();
  });
  EXPECT_EQ(d.GetPort(), 5);
  EXPECT_EQ(d.GetBaudRate(), br1200);
  EXPECT_EQ(d.GetDataBits(), db7);
  EXPECT_EQ(d.GetParity(), paEven);
  EXPECT_EQ(d.GetStopBits(), sb2);
}

TEST(COMDlgWindow, OutOfRangeOpeningValuesAreBroughtIntoRange) {
  int port = 40;
  auto baud = static_cast<TBaudRate>(11);
  auto dataBits = static_cast<TDataBits>(4);
  auto parity = static_cast<TParity>(5);
  auto stopBits = static_cast<TStopBits>(3);
  TDVXCOMDlgFrm f(nullptr, 0, 0, "t", 0, 0, port, baud, dataBits, parity, stopBits);
  f.PortPresent = [](int) { return false; };
  EXPECT_EQ(f.NumPorts(), 32);
  f.FormShow();
  EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), 0);
  EXPECT_EQ(f.BaudRateComboBox->currentIndex(), br9600);
  EXPECT_EQ(f.DataBitsComboBox->currentIndex(), db8);
  EXPECT_EQ(f.ParityComboBox->currentIndex(), paNone);
  EXPECT_EQ(f.StopBitsComboBox->currentIndex(), sb1);
  EXPECT_EQ(port, 40);  // nothing written before OK
  f.OKButtonClick();
  EXPECT_EQ(port, 1);
  EXPECT_EQ(baud, br9600);
}

}  // namespace

namespace {

TEST(PortCOMDlg, OnlyOkAppliesAndThePortsOwnRulesStillHold) {
  mv::GuiCallQueue queue;
  TDVXCOMPort port(queue);
  MeasureCOMDlgInto(port);
  EXPECT_GT(port.GetCOMDlgWidth(), 100);
  EXPECT_GT(port.GetCOMDlgHeight(), 80);
  port.SetPort1(2);
  port.SetBaudRate(br57600);
  auto pick = [](bool ok) {
    return [ok](TDVXCOMDlgFrm& f) {
      f.PortPresent = [](int) { return false; };
      QTimer::singleShot(0, &f, [&f, ok] {
        EXPECT_EQ(f.windowTitle(), "COM Port Settings");
        EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), 1);
        EXPECT_TRUE(f.COMPortComboBoxEx->isEnabled());
        f.COMPortComboBoxEx->setCurrentIndex(5);
        f.BaudRateComboBox->setCurrentIndex(br1200);
        f.StopBitsComboBox->setCurrentIndex(sb2);
        (ok ? f.OKButton : f.CancelButton)->click();
      });
    };
  };
  COMDlg(port, 0, 0, nullptr, pick(false));
  EXPECT_EQ(port.GetPort(), 2);
  EXPECT_EQ(port.GetBaudRate(), br57600);
  EXPECT_EQ(port.GetStopBits(), sb1);
  COMDlg(port, 0, 0, nullptr, pick(true));
  EXPECT_EQ(port.GetPort(), 6);
  EXPECT_EQ(port.GetBaudRate(), br1200);
  EXPECT_EQ(port.GetStopBits(), sb2);
}

// By keyboard and screen reader: each port is heard present or absent, the
// device line follows the arrow keys with the presence as it is now, the
// window keeps its width whatever the path, and the list shows 8 rows.
TEST(COMDlgWindow, PortListHeardFollowedByArrowsAndOfFixedWidth) {
  const std::string longPath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BIxyz0123456789-if00-port0";
  std::set<int> present = {2};
  TDVXCOMDlg d;
  d.OnBeforeExecute = [&](TDVXCOMDlgFrm& f) {
    f.PortPresent = [&](int n) { return present.count(n) != 0; };
    f.PortPath = [&](int n) { return n == 3 ? longPath : "/dev/ttyS" + std::to_string(n); };
    f.AdapterOf = [](const std::string&) { return std::string(); };
    QTimer::singleShot(0, &f, [&] {
      ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
      const int width = f.width();
      QAccessibleInterface* list = QAccessible::queryAccessibleInterface(f.COMPortComboBoxEx)->child(0);
      ASSERT_NE(list, nullptr);
      for (int n : {1, 2}) {
        QAccessibleInterface* item = list->child(n - 1);
        ASSERT_NE(item, nullptr);
        const QString heard = item->text(QAccessible::Name) + ' ' + item->text(QAccessible::Description);
        EXPECT_TRUE(heard.contains(n == 2 ? "present" : "absent")) << n << " is heard as " << heard.toStdString();
      }

      present.insert(3);  // plugged in while the window is open
      f.COMPortComboBoxEx->setFocus();
      for (int n : {2, 3}) {
        mvtest::Press(Qt::Key_Down);
        EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), n - 1);
        EXPECT_TRUE(f.DeviceLabel->text().startsWith(QStringLiteral("COM%1: ").arg(n)))
            << f.DeviceLabel->text().toStdString();
        EXPECT_TRUE(f.DeviceLabel->text().endsWith("(present)")) << f.DeviceLabel->text().toStdString();
      }
      QTest::qWait(50);  // the layout's turn
      EXPECT_EQ(f.width(), width) << "the window widened for the path";
      EXPECT_TRUE(f.DeviceLabel->toolTip().contains(QString::fromStdString(longPath)));
      EXPECT_TRUE(mvtest::AccessibleDescription(f.DeviceLabel).find(longPath) != std::string::npos);

      f.COMPortComboBoxEx->showPopup();
      QAbstractItemView* view = f.COMPortComboBoxEx->view();
      ASSERT_TRUE(QTest::qWaitFor([&] { return view->isVisible(); }));
      int rows = 0;
      for (int i = 0; i < f.COMPortComboBoxEx->count(); ++i)
        rows += view->viewport()->rect().intersects(view->visualRect(view->model()->index(i, 0)));
      EXPECT_EQ(rows, 8) << "rows shown in the dropped-down list";
      f.COMPortComboBoxEx->hidePopup();
      f.reject();
    });
  };
  d.Execute(10, 20);
}

TEST(COMDlgWindow, ScreenReaderHearsCaptionsAndLabelledBoxes) {
  int port = 3;
  TBaudRate baud = br9600;
  TDataBits dataBits = db8;
  TParity parity = paNone;
  TStopBits stopBits = sb1;
  TDVXCOMDlgFrm f(nullptr, 0, 0, "COM Port Settings", 0, 32, port, baud, dataBits, parity, stopBits);
  f.PortPresent = [](int) { return false; };
  f.PortPath = [](int n) { return "/dev/fake" + std::to_string(n); };
  f.show();
  EXPECT_EQ(mvtest::AccessibilityFaults(&f), "");
  // The device line is read as shown.
  EXPECT_EQ(mvtest::AccessibleName(f.DeviceLabel), f.DeviceLabel->text().toStdString());
  EXPECT_FALSE(f.DeviceLabel->text().isEmpty());
}

}  // namespace
