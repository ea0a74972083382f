#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>

#include "app/ui/about_form.h"
#include "app/ui/log_window.h"
#include "app/ui/main_form.h"
#include "app/ui/main_form_fixture.h"
#include "support/scripted_prompts.h"
#include "support/sim_process.h"
#include "support/test_support.h"

using namespace mv::ui;  // the windows

namespace {

using mainform::WaitFor;

// A pseudo-terminal whose terminal end is mapped as COMn; nothing answers.
class MappedPty {
 public:
  MappedPty(const std::string& mapDir, int n) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      const char* name = ptsname(master_);
      if (name) {
        path_ = name;
        link_ = mapDir + "/COM" + std::to_string(n);
        if (symlink(path_.c_str(), link_.c_str()) != 0) path_.clear();
      }
    }
  }
  ~MappedPty() {
    if (!link_.empty()) unlink(link_.c_str());
    if (master_ >= 0) close(master_);
  }
  bool Ok() const { return !path_.empty(); }
  int master() const { return master_; }

 private:
  int master_ = -1;
  std::string path_;
  std::string link_;
};

class MainFormTest : public mainform::MainFormFixture {
 protected:
  QStringList Panels() const {
    QStringList out;
    for (int i = 0; i < TMainForm::kPanelCount; ++i) out << form->PanelText(i);
    return out;
  }
  // Opens COM n through the menu, on a pty mapped as COMn.
  void OpenMapped(MappedPty& pty, int n) {
    ASSERT_TRUE(pty.Ok());
    form->DVXCOMPort.SetPort1(n);
    form->Open1Click();
    ASSERT_TRUE(form->DVXCOMPort.GetOpened()) << prompts.LastMessage();
  }
};

TEST_F(MainFormTest, StartsClosedWithDefaultsAndZeroCounters) {
  EXPECT_EQ(Panels(), QStringList({"COM Closed", "Tx", "0", "Rx", "0", "TO", "0", "Errs", "0", "Busy", "0"}));
  for (const auto& s : form->Slots) EXPECT_EQ(s.NameLabel->text(), "<undefined>");
  EXPECT_TRUE(form->NameLabeledEdit->text().isEmpty());
  EXPECT_TRUE(form->VersionLabeledEdit->text().isEmpty());
  EXPECT_TRUE(form->SerialNoLabeledEdit->text().isEmpty());
  EXPECT_TRUE(form->HardwareIdentifierLabeledEdit->text().isEmpty());
  EXPECT_TRUE(form->NameLabeledEdit->isReadOnly());
  EXPECT_FALSE(form->DVXCOMPort.GetOpened());
  EXPECT_EQ(form->DVXCOMPort.GetBaudRate(), PLKDVX::br115200);
  EXPECT_EQ(form->DVXCOMDlg->GetTitle(), "COM Port Settings");
  EXPECT_FALSE(form->Engine().Busy());
  EXPECT_FALSE(form->RxICTOTimer.Enabled());
  for (int i = 0; i < mv::kSlotCount; ++i) {
    EXPECT_EQ(form->profileSlots[i], mv::MotorProfileDefaults(i));
    EXPECT_TRUE(mv::ProfileChecksumValid(form->profileSlots[i]));
  }
  EXPECT_EQ(form->Session().Builder().app_start_address, 0x2000u);
  EXPECT_EQ(form->Session().Builder().motor_profile_start_address, 0x4000u);
  EXPECT_EQ(form->Session().Saved().app_start_address, 0x2000u);
  EXPECT_EQ(form->Session().Saved().motor_profile_start_address, 0x4000u);
  EXPECT_TRUE(form->Session().Builder().hex_file.empty() && form->Session().Builder().spl_file_dir.empty() &&
              form->Session().ConfigFileName().empty());
  EXPECT_EQ(form->Session().Saved().com_port, form->DVXCOMPort.GetPort());
  EXPECT_EQ(form->Session().Saved().baud_rate, PLKDVX::br115200);
  EXPECT_EQ(form->Session().Saved().parity, PLKDVX::paNone);
  // The caption is set when the window is shown.
  form->show();
  EXPECT_EQ(form->windowTitle(), "Morvane Controller Host V1.3A");
}

TEST_F(MainFormTest, WindowIsFixedWithMenusPanelsAndNamedAccessibleControls) {
  EXPECT_FALSE(form->StatusBar->isSizeGripEnabled());
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
  const int widths[] = {140, 20, 50, 20, 50, 22, 50, 27, 50, 33, 50};
  for (int i = 0; i < TMainForm::kPanelCount; ++i) {
    EXPECT_GE(form->StatusPanels[i]->width(), widths[i]) << i;
    EXPECT_EQ(form->StatusPanels[i]->textFormat(), Qt::PlainText);
  }
  auto texts = [](QMenu* m) {
    QStringList out;
    for (QAction* a : m->actions()) out << a->text();
    return out;
  };
  EXPECT_EQ(form->File1->title(), "&File");
  EXPECT_EQ(texts(form->File1), QStringList({"&Load Config", "&Save Config", "&Create SPL File", "E&xit"}));
  EXPECT_EQ(form->COM1->title(), "&COM");
  EXPECT_EQ(texts(form->COM1), QStringList({"&Settings", "&Open", "&Close"}));
  EXPECT_EQ(form->View1->title(), "&View");
  EXPECT_EQ(texts(form->View1), QStringList({"Control/Status", "&Log"}));
  EXPECT_EQ(form->Help1->title(), "&Help");
  EXPECT_EQ(texts(form->Help1), QStringList({"&About"}));

  for (const char* name : {"DriveInfoGroupBox",
                           "NameLabeledEdit",
                           "VersionLabeledEdit",
                           "SerialNoLabeledEdit",
                           "HardwareIdentifierLabeledEdit",
                           "GetDriveDataButton",
                           "P01GroupBox",
                           "P06GroupBox",
                           "P01LoadFromINIButton",
                           "P02SaveToINIButton",
                           "P03EditButton",
                           "P04LoadContButton",
                           "P05SaveContButton",
                           "P06ActivedRadioButton",
                           "P06NameLabel",
                           "P01P06GroupBox",
                           "GetP01P06ContButton",
                           "SetP01P06ContButton",
                           "DeactivateAllButton",
                           "StatusBar"})
    EXPECT_NE(form->findChild<QWidget*>(name), nullptr) << name;
  EXPECT_EQ(form->Slots[2].GroupBox->title(), "Motor Profile P03");
  EXPECT_EQ(form->GetP01P06ContButton->text(), "Get all from Controller");
  EXPECT_EQ(form->SetP01P06ContButton->text(), "Save all to Controller");
  EXPECT_EQ(form->DeactivateAllButton->text(), "Deactive All");
  for (QAbstractButton* b : form->findChildren<QAbstractButton*>()) {
    if (b->objectName().startsWith("qt_")) continue;  // Qt's own helpers
    EXPECT_FALSE(b->accessibleName().isEmpty()) << b->objectName().toStdString();
  }
  for (QLineEdit* e : form->findChildren<QLineEdit*>()) {
    EXPECT_FALSE(e->accessibleName().isEmpty()) << e->objectName().toStdString();
    bool hasBuddy = false;
    for (QLabel* l : form->findChildren<QLabel*>()) hasBuddy |= l->buddy() == e;
    EXPECT_TRUE(hasBuddy) << e->objectName().toStdString();
  }
  // Nothing is squeezed below what it needs.
  form->show();
  for (QWidget* w : form->findChildren<QWidget*>()) {
    if (!w->isVisible() || qobject_cast<QLabel*>(w) == nullptr) continue;
    EXPECT_GE(w->width(), std::min(w->minimumSizeHint().width(), w->sizeHint().width()))
        << w->objectName().toStdString();
  }
}

TEST_F(MainFormTest, OpenTwiceAndCloseTwiceDoNothingTheSecondTime) {
  MappedPty pty(map.Path(), 3);
  OpenMapped(pty, 3);
  EXPECT_EQ(form->PanelText(0), "COM3: 115200 8 none 1");
  form->SetPanelText(0, "marker");
  form->Open1Click();  // already open: nothing
  EXPECT_TRUE(form->DVXCOMPort.GetOpened());
  EXPECT_EQ(form->PanelText(0), "marker");
  EXPECT_TRUE(prompts.messages.empty());
  form->Close1Click();
  EXPECT_FALSE(form->DVXCOMPort.GetOpened());
  EXPECT_EQ(form->PanelText(0), "COM closed");
  form->SetPanelText(0, "marker");
  form->Close1Click();  // already closed: nothing
  EXPECT_EQ(form->PanelText(0), "marker");
  EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(MainFormTest, OpeningAMissingPortSaysSoAndLogsThePortsReport) {
  ASSERT_EQ(symlink((map.Path() + "/no-such-device").c_str(), (map.Path() + "/COM7").c_str()), 0);
  form->DVXCOMPort.SetPort1(7);
  form->Open1Click();
  EXPECT_FALSE(form->DVXCOMPort.GetOpened());
  EXPECT_EQ(form->PanelText(0), "COM Closed");
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0], "ERROR: - unable to open COM7");
  // The port's own report went to the log as a report line.
  // It ends with the system's reason in words.
  bool found = false;
  for (const QString& l : form->LogWindow->Lines())
    found |= l.contains("COM7: ERROR: OpenCOMPort(): ") && l.endsWith(".: no such file or directory");
  EXPECT_TRUE(found) << LogText();
  form->LogWindow->FlushFile();
  EXPECT_NE(mvtest::ReadFile(logs.File("host.log")).find("COM7: ERROR: OpenCOMPort(): "), std::string::npos);
}

TEST_F(MainFormTest, SettingsCancelKeepsAllFiveAndOkAppliesThem) {
  form->DVXCOMPort.SetPort1(9);
  form->DVXCOMPort.SetBaudRate(PLKDVX::br19200);
  form->DVXCOMPort.SetDataBits(PLKDVX::db7);
  form->DVXCOMPort.SetParity(PLKDVX::paOdd);
  form->DVXCOMPort.SetStopBits(PLKDVX::sb2);
  auto change = [](PLKDVX::TDVXCOMDlgFrm& f) {
    f.COMPortComboBoxEx->setCurrentIndex(1);
    f.BaudRateComboBox->setCurrentIndex(PLKDVX::br300);
    f.DataBitsComboBox->setCurrentIndex(PLKDVX::db5);
    f.ParityComboBox->setCurrentIndex(PLKDVX::paSpace);
    f.StopBitsComboBox->setCurrentIndex(PLKDVX::sb1);
  };
  bool cancel = true;
  QSize seen;
  form->DVXCOMDlg->OnBeforeExecute = [&](PLKDVX::TDVXCOMDlgFrm& f) {
    QTimer::singleShot(0, &f, [&] {
      // The window opens with the port's values.
      EXPECT_EQ(f.COMPortComboBoxEx->currentIndex(), 8);
      EXPECT_EQ(f.BaudRateComboBox->currentIndex(), PLKDVX::br19200);
      EXPECT_EQ(f.ParityComboBox->currentIndex(), PLKDVX::paOdd);
      seen = f.size();
      change(f);
      (cancel ? f.CancelButton : f.OKButton)->click();
    });
  };
  form->Settings1Click();
  EXPECT_EQ(form->DVXCOMPort.GetPort(), 9);
  EXPECT_EQ(form->DVXCOMPort.GetBaudRate(), PLKDVX::br19200);
  EXPECT_EQ(form->DVXCOMPort.GetDataBits(), PLKDVX::db7);
  EXPECT_EQ(form->DVXCOMPort.GetParity(), PLKDVX::paOdd);
  EXPECT_EQ(form->DVXCOMPort.GetStopBits(), PLKDVX::sb2);
  EXPECT_TRUE(seen.isValid());
  cancel = false;
  form->Settings1Click();
  EXPECT_EQ(form->DVXCOMPort.GetPort(), 2);
  EXPECT_EQ(form->DVXCOMPort.GetBaudRate(), PLKDVX::br300);
  EXPECT_EQ(form->DVXCOMPort.GetDataBits(), PLKDVX::db5);
  EXPECT_EQ(form->DVXCOMPort.GetParity(), PLKDVX::paSpace);
  EXPECT_EQ(form->DVXCOMPort.GetStopBits(), PLKDVX::sb1);
}

TEST_F(MainFormTest, SettingsWindowIsCentredOverTheMainWindow) {
  form->show();
  QPoint at;
  QRect frame;
  form->DVXCOMDlg->OnBeforeExecute = [&](PLKDVX::TDVXCOMDlgFrm& f) {
    QTimer::singleShot(0, &f, [&] {
      at = f.pos();
      frame = form->frameGeometry();
      f.CancelButton->click();
    });
  };
  form->Settings1Click();
  EXPECT_EQ(at.x(), frame.left() + frame.width() / 2 - form->DVXCOMPort.GetCOMDlgWidth() / 2);
  EXPECT_EQ(at.y(), frame.top() + frame.height() / 2 - form->DVXCOMPort.GetCOMDlgHeight() / 2);
}

TEST_F(MainFormTest, RequestsOnAClosedPortOnlyShowThePanelText) {
  form->GetDriveDataButton->click();
  EXPECT_EQ(form->PanelText(0), "COM port not opened");
  form->Slots[3].LoadContButton->click();
  form->GetP01P06ContButton->click();
  form->SetP01P06ContButton->click();
  EXPECT_EQ(Counters(), "Tx 0 Rx 0 TO 0 Errs 0 Busy 0");
  EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(MainFormTest, CountersMoveOnTimeoutAndBusyAndDoubleClickResetsThem) {
  MappedPty pty(map.Path(), 4);
  OpenMapped(pty, 4);
  form->GetDriveDataButton->click();
  EXPECT_EQ(form->PanelText(2), "1");
  form->GetDriveDataButton->click();  // refused while the first waits
  EXPECT_EQ(form->PanelText(10), "1");
  ASSERT_TRUE(WaitFor([&] { return form->PanelText(6) == "1"; }));  // nothing answers
  EXPECT_FALSE(form->Engine().Busy());
  // The frame reached the line: the name command first.
  char byte = 0;
  EXPECT_EQ(read(pty.master(), &byte, 1), 1);
  EXPECT_EQ(static_cast<std::uint8_t>(byte), mv::CmdGetName);
  const QPoint inside = form->StatusPanels[4]->rect().center();
  QTest::mouseDClick(form->StatusPanels[4], Qt::LeftButton, {}, inside);
  EXPECT_EQ(Counters(), "Tx 0 Rx 0 TO 0 Errs 0 Busy 0");
  EXPECT_EQ(form->PanelText(0), "COM4: 115200 8 none 1");  // not touched
}

TEST_F(MainFormTest, ActivateLeavesOnlyTheClickedRadioCheckedDeactivateClearsAll) {
  form->Slots[1].ActivedRadioButton->click();
  form->Slots[4].ActivedRadioButton->click();
  for (int i = 0; i < mv::kSlotCount; ++i) EXPECT_EQ(form->Slots[i].ActivedRadioButton->isChecked(), i == 4) << i;
  EXPECT_EQ(form->PanelText(0), "COM port not opened");
  form->DeactivateAllButton->click();
  for (const auto& s : form->Slots) EXPECT_FALSE(s.ActivedRadioButton->isChecked());
}

TEST_F(MainFormTest, SlotLabelShowsNameAndCommentOnlyWhenThereIsOne) {
  mv::MotorProfile p = mv::MotorProfileDefaults(2);
  p.SetName("Spindle<b>");
  p.SetComment("fast & hot");
  form->setProfileSlot(2, p);
  EXPECT_EQ(form->Slots[2].NameLabel->text(), "Spindle<b>: fast & hot");
  EXPECT_EQ(form->Slots[2].NameLabel->textFormat(), Qt::PlainText);
  EXPECT_EQ(form->profileSlots[2], p);
  p.SetComment("");
  form->setProfileSlot(5, p);
  EXPECT_EQ(form->Slots[5].NameLabel->text(), "Spindle<b>");
  const auto before = form->profileSlots;
  form->setProfileSlot(6, mv::MotorProfileDefaults(0));
  form->setProfileSlot(-1, mv::MotorProfileDefaults(0));
  EXPECT_EQ(form->profileSlots, before);
}

// The longest name and comment of any printable character show whole in the
// font in use (the window grows to hold them).
TEST_F(MainFormTest, SlotLabelShowsTheWidestLegalNameAndCommentWhole) {
  form->show();
  QLabel* label = form->Slots[0].NameLabel;
  for (int c = 0x20; c <= 0xFF; ++c) {
    if (c > 0x7E && c < 0xA0) continue;
    mv::MotorProfile p = mv::MotorProfileDefaults(0);
    p.SetName(std::string(mv::kNameMaxChars, static_cast<char>(c)));
    p.SetComment(std::string(mv::kCommentMaxChars, static_cast<char>(c)));
    form->setProfileSlot(0, p);
    QApplication::processEvents();
    const int needed = label->fontMetrics().horizontalAdvance(label->text());
    EXPECT_GE(label->contentsRect().width(), needed)
        << "character 0x" << std::hex << c << ": " << label->text().toStdString() << " is cut";
  }
  mv::MotorProfile p = mv::MotorProfileDefaults(0);
  p.SetName("SPINDLE 60K");
  p.SetComment("CUSTOMER BENCH AB");
  form->setProfileSlot(0, p);
  EXPECT_GE(label->contentsRect().width(), label->fontMetrics().horizontalAdvance("SPINDLE 60K: CUSTOMER BENCH AB"));
  EXPECT_TRUE(form->rect().contains(label->mapTo(form.get(), label->rect().bottomRight())));
}

TEST_F(MainFormTest, AboutShowsTheProgramsTextsAndClosesOnEscape) {
  QString identity, version, caption;
  QTimer::singleShot(0, form.get(), [&] {
    auto* about = qobject_cast<TAboutForm*>(QApplication::activeModalWidget());
    ASSERT_NE(about, nullptr);
    identity = about->IdentityLabel->text();
    version = about->VersionLabel->text();
    caption = about->windowTitle();
    QTest::keyClick(about, Qt::Key_Escape);
  });
  form->About1Click();
  EXPECT_EQ(identity, "Identity: QRX410Host");
  EXPECT_EQ(version, "Version: V1.3A");
  EXPECT_EQ(caption, "About Morvane Controller Host");
}

TEST_F(MainFormTest, ExitClosesTheWindowAndThePort) {
  MappedPty pty(map.Path(), 2);
  OpenMapped(pty, 2);
  form->show();
  form->Exit1Click();
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->DVXCOMPort.GetOpened());
}

// The whole road of a request against the simulated drive, mapped as COMn.
class SimulatedDrive : public mvtest::SimProcess {
 public:
  explicit SimulatedDrive(int com) : SimProcess({"--com", std::to_string(com)}, mvtest::SimStderr::Inherit) {}
};

TEST_F(MainFormTest, GetFromTheSimulatedDriveFillsTheFieldsAndCounts) {
  SimulatedDrive sim(1);
  ASSERT_TRUE(sim.Ok());
  ASSERT_TRUE(WaitFor([&] { return mvtest::FileExists(map.File("COM1")); }));
  form->DVXCOMPort.SetPort1(1);
  form->Open1Click();
  ASSERT_TRUE(form->DVXCOMPort.GetOpened()) << prompts.LastMessage();
  EXPECT_EQ(form->PanelText(0), "COM1: 115200 8 none 1");
  form->GetDriveDataButton->click();
  ASSERT_TRUE(WaitFor([&] { return !form->Engine().Busy(); }));
  EXPECT_EQ(Counters(), "Tx 4 Rx 4 TO 0 Errs 0 Busy 0") << LogText();
  EXPECT_FALSE(form->NameLabeledEdit->text().isEmpty());
  EXPECT_TRUE(form->VersionLabeledEdit->text().startsWith("S"));
  EXPECT_FALSE(form->SerialNoLabeledEdit->text().isEmpty());
  EXPECT_TRUE(form->HardwareIdentifierLabeledEdit->text().startsWith("0x"));

  // A profile fetched from the drive lands in its slot with its label.
  form->Slots[1].LoadContButton->click();
  ASSERT_TRUE(WaitFor([&] { return !form->Engine().Busy(); }));
  EXPECT_EQ(form->PanelText(4), "5");
  EXPECT_NE(form->Slots[1].NameLabel->text(), "<undefined>");
  EXPECT_TRUE(prompts.messages.empty()) << prompts.LastMessage();

  // Six-step requests back to back: every step is sent and answered.
  form->StatusBarDblClick();
  for (int round = 0; round < 5; ++round) {
    form->GetP01P06ContButton->click();
    ASSERT_TRUE(WaitFor([&] { return !form->Engine().Busy(); }));
    form->SetP01P06ContButton->click();
    ASSERT_TRUE(WaitFor([&] { return !form->Engine().Busy(); }));
  }
  EXPECT_EQ(Counters(), "Tx 60 Rx 60 TO 0 Errs 0 Busy 0") << LogText();
  for (const auto& s : form->Slots) EXPECT_NE(s.NameLabel->text(), "<undefined>");
  EXPECT_TRUE(prompts.messages.empty()) << prompts.LastMessage();
  form->Close1Click();
  EXPECT_EQ(form->PanelText(0), "COM closed");
}

}  // namespace
