// Main window additions: the explanation of a failed open, the notice when
// the open port's adapter is pulled out, and the Compare window from the
// Tools menu.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "app/ui/TProfileCompareForm.h"
#include "app/ui/main_form.h"
#include "app/ui/main_form_fixture.h"
#include "control/ui/TControlStatusForm.h"
#include "firmware/ui/TCreateSPLFileForm.h"
#include "support/platform_fake.h"
#include "support/scripted_prompts.h"
#include "support/test_support.h"

using namespace mv::ui;  // the windows

namespace {

using mainform::WaitFor;

// The window on fake serial devices.
class MainFormExtras : public mainform::MainFormFixture {
 protected:
  void SetUp() override {
    fake = std::make_shared<mv::FakeSerialPlatform>();
    platform = fake;
    MainFormFixture::SetUp();
  }

  std::shared_ptr<mv::FakeSerialPlatform> fake;
};

TEST_F(MainFormExtras, FailedOpenKeepsItsFirstLineAndSaysWhyUnderIt) {
  fake->FailCall("CreateFile", EACCES);
  form->Open1Click();
  ASSERT_EQ(prompts.messages.size(), 1u);
  const std::string& text = prompts.messages[0];
  const std::string first = "ERROR: - unable to open COM" + std::to_string(form->DVXCOMPort.GetPort());
  EXPECT_EQ(text.substr(0, text.find('\n')), first);
  EXPECT_NE(text.find(form->DVXCOMPort.DevicePath()), std::string::npos) << text;
  EXPECT_NE(text.find("dialout"), std::string::npos) << text;
  EXPECT_EQ(form->PanelText(0), "COM Closed");
  EXPECT_NE(form->StatusPanels[0]->toolTip().indexOf("dialout"), -1);

  // A failure past the device open itself: the box as it always was.
  fake->FailCall("SetCommState", EINVAL);
  form->Open1Click();
  ASSERT_EQ(prompts.messages.size(), 2u);
  EXPECT_EQ(prompts.messages[1], first);

  fake->FailCall("CreateFile", EBUSY);
  form->Open1Click();
  ASSERT_EQ(prompts.messages.size(), 3u);
  EXPECT_NE(prompts.messages[2].find("in use by another program"), std::string::npos) << prompts.messages[2];

  // A port whose device is not there: the one-line box of a port that does
  // not exist; the path tried and the likely cause on panel 0's tooltip.
  fake->FailCall("CreateFile", ENOENT);
  form->Open1Click();
  ASSERT_EQ(prompts.messages.size(), 4u);
  EXPECT_EQ(prompts.messages[3], first);
  const QString tip = form->StatusPanels[0]->toolTip();
  EXPECT_NE(tip.indexOf(QString::fromStdString(form->DVXCOMPort.DevicePath())), -1) << tip.toStdString();
  EXPECT_NE(tip.indexOf("unplugged"), -1) << tip.toStdString();
  // A successful open clears it.
  form->Open1Click();
  EXPECT_TRUE(form->DVXCOMPort.GetOpened());
  EXPECT_EQ(form->StatusPanels[0]->toolTip(), "");
}

TEST_F(MainFormExtras, UnpluggedAdapterIsToldOnPanelZeroAndTheUserCanReopen) {
  form->Open1Click();
  ASSERT_TRUE(form->DVXCOMPort.GetOpened());
  const QString opened = form->PanelText(0);
  fake->InjectReadFailure(ENXIO);
  ASSERT_TRUE(WaitFor([&] { return form->PanelText(0) != opened; }));
  EXPECT_EQ(form->PanelText(0), QStringLiteral("COM%1: device removed").arg(form->DVXCOMPort.GetPort()));
  EXPECT_TRUE(form->DVXCOMPort.GetOpened());  // the port stays open until the user closes it
  form->Close1Click();
  EXPECT_EQ(form->PanelText(0), "COM closed");
  form->Open1Click();
  EXPECT_TRUE(form->DVXCOMPort.GetOpened());
  EXPECT_EQ(form->PanelText(0), opened);
  EXPECT_TRUE(prompts.messages.empty());
}

// A frame held by a stalled transmitter must not hide what the port reports
// meanwhile: the adapter pulled out is still told and logged.
TEST_F(MainFormExtras, ReportsStillArriveWhileTheLineIsStalled) {
  form->Open1Click();
  ASSERT_TRUE(form->DVXCOMPort.GetOpened());
  fake->HoldWrites(true);
  form->GetDriveDataButtonClick();  // its frame stays in the transmitter
  ASSERT_TRUE(WaitFor([&] { return !form->Engine().Busy(); }));
  fake->InjectReadFailure(ENXIO);
  // The receiver's report waits in the hand-off queue for the GUI thread...
  for (int i = 0; i < 5000 && !form->GuiQueue.HasPending(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(form->GuiQueue.HasPending());
  // ...while the next request is sent.
  form->GetDriveDataButtonClick();
  ASSERT_TRUE(WaitFor([&] { return form->PanelText(0).endsWith("device removed"); }));
  EXPECT_NE(LogText().find("ReadFile"), std::string::npos) << LogText();
  fake->HoldWrites(false);
}

TEST_F(MainFormExtras, CompareOpensFromTheToolsMenuOnTheSlots) {
  ASSERT_NE(form->Compare1, nullptr);
  EXPECT_EQ(form->Compare1->objectName(), "Compare1");
  EXPECT_EQ(form->Tools1->title(), "&Tools");
  EXPECT_TRUE(form->Tools1->actions().contains(form->Compare1));
  mv::MotorProfile p = mv::MotorProfileDefaults(0);
  p.SetU16(mv::off::cont_pwm_freq, 100);
  mv::UpdateChecksum(p);
  form->setProfileSlot(0, p);
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* w = qobject_cast<mv::ui::TProfileCompareForm*>(QApplication::activeModalWidget());
    ASSERT_NE(w, nullptr);
    seen = true;
    EXPECT_EQ(w->SlotIndex(), 0);
    const int row = static_cast<int>(mv::FindCompareField("cont_pwm_freq") - mv::CompareFields().data());
    EXPECT_EQ(w->CompareTable->item(row, mv::ui::TProfileCompareForm::SlotColumn)->text(), "100");
    // The port is closed: reading the drive is refused and says so.
    w->ReadDriveButtonClick();
    EXPECT_NE(w->StatusLabel->text().indexOf("not open"), -1);
    w->reject();
  });
  form->Compare1->trigger();
  EXPECT_TRUE(seen);
  EXPECT_EQ(form->ProfileSlot(0), p);
}

// Each window's dialogs and message boxes belong to that window, not to the
// main window that opened it: a window manager keeps a box above the window it
// belongs to, and the SPL and control/status windows stay on top.
TEST_F(MainFormExtras, EveryPromptBelongsToTheWindowThatRaisesIt) {
  form->show();
  std::vector<mv::PromptOwner> expected;
  auto clickIn = [&](QWidget* window, const char* name) {
    auto* b = window->findChild<QAbstractButton*>(QString::fromLatin1(name));
    ASSERT_NE(b, nullptr) << name;
    b->click();
  };

  // The SPL window: "Create" with nothing chosen, both "Select" buttons.
  QTimer::singleShot(0, [&] {
    auto* spl = qobject_cast<TCreateSPLFileForm*>(QApplication::activeModalWidget());
    ASSERT_NE(spl, nullptr);
    clickIn(spl, "CreateLSRFileButton");
    clickIn(spl, "SelectHexFileButton");
    clickIn(spl, "SelectSPLFileButton");
    expected.insert(expected.end(), 3, mv::OwnerOf(spl));
    spl->reject();
  });
  form->CreateSPLFile1->trigger();
  ASSERT_EQ(prompts.messages, std::vector<std::string>{"ERROR: - Hex file not selected."});

  // The control/status window: "Record" asks for its file.
  QTimer::singleShot(0, [&] {
    auto* control = qobject_cast<TControlStatusForm*>(QApplication::activeModalWidget());
    ASSERT_NE(control, nullptr);
    clickIn(control, "RecordCheckBox");
    expected.push_back(mv::OwnerOf(control));
    control->close();
  });
  form->ControlStatus1->trigger();

  // The compare window: its open dialog and "Slot -> File..." (the slot's
  // "Save INI" run for it).
  QTimer::singleShot(0, [&] {
    auto* compare = qobject_cast<mv::ui::TProfileCompareForm*>(QApplication::activeModalWidget());
    ASSERT_NE(compare, nullptr);
    compare->OpenFileButtonClick();
    compare->SaveToFileButtonClick();
    expected.insert(expected.end(), 2, mv::OwnerOf(compare));
    compare->reject();
  });
  form->Compare1->trigger();

  // The main window's own.
  form->LoadConfig1->trigger();
  form->P02SaveToINIButtonClick();
  expected.insert(expected.end(), 2, mv::OwnerOf(form.get()));
  EXPECT_EQ(prompts.owners, expected);
}

}  // namespace
