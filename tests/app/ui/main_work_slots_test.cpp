// The six profile slots on the main window: files, the editor, and the
// windows the menus open (control/status, SPL).
#include <sys/stat.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>

#include "app/ui/main_work_support.h"
#include "control/ui/TControlStatusForm.h"
#include "firmware/ui/TCreateSPLFileForm.h"
#include "profiles/profile_file.h"
#include "profiles/ui/TMotorProfileEditForm.h"
#include "support/qt_find.h"

using namespace mv::ui;  // the windows

namespace mainwork {
namespace {

class SlotsTest : public MainWorkTest {
 protected:
  // A valid profile different from the defaults.
  static mv::MotorProfile Edited(int slot, const std::string& name, const std::string& comment) {
    mv::MotorProfile p = mv::MotorProfileDefaults(slot);
    p.SetName(name);
    p.SetComment(comment);
    p.SetU16(mv::off::motor_speed_max, 4321);
    mv::UpdateChecksum(p);
    return p;
  }
  std::string WriteProfile(const std::string& file, const mv::MotorProfile& p) {
    std::string message;
    EXPECT_TRUE(mv::writeMotorProfileFile(dir.File(file), p, message)) << message;
    return dir.File(file);
  }
  // Runs `edit` on the editor once it is shown by the slot's "Edit".
  void EditSlot(int slot, const std::function<void(QDialog&)>& edit) {
    bool seen = false;
    QTimer::singleShot(0, form.get(), [&] {
      auto* editor = qobject_cast<mv::ui::TMotorProfileEditForm*>(QApplication::activeModalWidget());
      ASSERT_NE(editor, nullptr);
      seen = true;
      edit(*editor);
    });
    form->Slots[slot].EditButton->click();
    EXPECT_TRUE(seen);
  }
  static void Press(QDialog& d, const char* button) {
    auto* b = d.findChild<QPushButton*>(button);
    ASSERT_NE(b, nullptr) << button;
    b->click();
  }
};

TEST_F(SlotsTest, SaveIniRightAfterStartUpWritesTheDefaultRecord) {
  prompts.paths = {dir.File("p03.ini")};
  form->Slots[2].SaveToINIButton->click();
  ASSERT_EQ(prompts.fileDialogs.size(), 1u);
  const mv::FileDialogOptions& d = prompts.fileDialogs[0];
  EXPECT_EQ(d.title, "Save Motor Profile P03");
  EXPECT_EQ(d.defaultExt, "ini");
  EXPECT_TRUE(d.confirmOverwrite);
  EXPECT_TRUE(d.filter.empty());
  EXPECT_TRUE(d.initialDir.empty());
  const std::string text = mvtest::ReadFile(dir.File("p03.ini"));
  EXPECT_NE(text.find("\r\nname: P03\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\ncomment: Default\r\n"), std::string::npos);
  mv::MotorProfile back;
  std::string message;
  ASSERT_TRUE(mv::readMotorProfileFile(dir.File("p03.ini"), back, message)) << message;
  EXPECT_EQ(back, mv::MotorProfileDefaults(2));
  EXPECT_EQ(form->Slots[2].NameLabel->text(), "<undefined>");
  EXPECT_TRUE(prompts.messages.empty());

  // A write that fails says why and leaves nothing behind.
  prompts.paths = {dir.File("missing/p03.ini")};
  form->Slots[2].SaveToINIButton->click();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].rfind("ERROR: - unable to write motor profile file ", 0), 0u) << prompts.messages[0];
  EXPECT_FALSE(mvtest::FileExists(dir.File("missing")));
}

// An ordinary user's read-only profile file is not replaced: the box gives
// the system's reason. (Root may write any file: the nonroot group runs this
// as an ordinary user.)
TEST_F(SlotsTest, SaveIniKeepsAReadOnlyFileAndSaysWhy) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root may write any file; the nonroot group runs this as an ordinary user";
  }
  const std::string path = WriteProfile("p01.ini", Edited(0, "Keep", "read-only"));
  const std::string before = mvtest::ReadFile(path);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  prompts.paths = {path};
  form->Slots[0].SaveToINIButton->click();
  EXPECT_EQ(prompts.messages,
            std::vector<std::string>{"ERROR: - unable to write motor profile file " + path + ": Permission denied"});
  EXPECT_EQ(mvtest::ReadFile(path), before);
}

TEST_F(SlotsTest, LoadIniFillsTheSlotAndLabelEditOkAlwaysShowsTheColon) {
  const mv::MotorProfile p = Edited(4, "Grinder", "");
  prompts.paths = {WriteProfile("grinder.ini", p)};
  form->Slots[4].LoadFromINIButton->click();
  ASSERT_EQ(prompts.fileDialogs.size(), 1u);
  const mv::FileDialogOptions& d = prompts.fileDialogs[0];
  EXPECT_EQ(d.title, "Load Motor Profile P05");
  EXPECT_EQ(d.filter, "INI Files|*.ini");
  EXPECT_EQ(d.defaultExt, "ini");
  EXPECT_EQ(d.initialDir, ".");
  EXPECT_TRUE(d.mustExist);
  EXPECT_EQ(form->profileSlots[4], p);
  EXPECT_EQ(form->Slots[4].NameLabel->text(), "Grinder");
  for (int i = 0; i < mv::kSlotCount; ++i) {
    if (i == 4) continue;
    EXPECT_EQ(form->profileSlots[i], mv::MotorProfileDefaults(i)) << i;
  }

  // OK without a change: same bytes, the label now ends in ": ".
  EditSlot(4, [](QDialog& e) { Press(e, "OKBitBtn"); });
  EXPECT_EQ(form->profileSlots[4], p);
  EXPECT_EQ(form->Slots[4].NameLabel->text(), "Grinder: ");

  // A change made in the editor reaches the slot with a good checksum.
  EditSlot(4, [](QDialog& e) {
    mvtest::Find<QLineEdit>(&e, "MotorProfileNameLabeledEdit")->setText("Mill");
    mvtest::Find<QLineEdit>(&e, "MotorProfileCommentLabeledEdit")->setText("night shift");
    Press(e, "OKBitBtn");
  });
  EXPECT_EQ(form->profileSlots[4].Name(), "Mill");
  EXPECT_EQ(form->profileSlots[4].Comment(), "night shift");
  EXPECT_EQ(form->profileSlots[4].U16(mv::off::motor_speed_max), 4321);
  EXPECT_TRUE(mv::ProfileChecksumValid(form->profileSlots[4]));
  EXPECT_EQ(form->Slots[4].NameLabel->text(), "Mill: night shift");

  // Cancel after changes leaves every byte, checksum included.
  const mv::MotorProfile before = form->profileSlots[4];
  EditSlot(4, [](QDialog& e) {
    mvtest::Find<QLineEdit>(&e, "MotorProfileNameLabeledEdit")->setText("Other");
    Press(e, "CancelBitBtn");
  });
  EXPECT_EQ(form->profileSlots[4], before);
  EXPECT_EQ(form->Slots[4].NameLabel->text(), "Mill: night shift");
  EXPECT_TRUE(prompts.messages.empty()) << prompts.LastMessage();
}

TEST_F(SlotsTest, RefusedOrCancelledFileLeavesSlotAndLabel) {
  const mv::MotorProfile good = Edited(0, "Spindle", "12k");
  prompts.paths = {WriteProfile("good.ini", good)};
  form->Slots[0].LoadFromINIButton->click();
  ASSERT_EQ(form->Slots[0].NameLabel->text(), "Spindle: 12k");

  // One line short, a broken field, a file that is gone: the reader's message, nothing else.
  std::string text = mvtest::ReadFile(dir.File("good.ini"));
  mvtest::WriteFile(dir.File("short.ini"), text.substr(0, text.rfind("\r\n", text.size() - 3) + 2));
  std::string broken = text;
  broken.replace(broken.find("motor_type: "), 13, "motor_type: 9");
  mvtest::WriteFile(dir.File("broken.ini"), broken);
  std::string badSum = text;
  const auto sumAt = badSum.find("checksum: ");
  badSum.replace(sumAt, badSum.find("\r\n", sumAt) - sumAt, "checksum: 1");
  mvtest::WriteFile(dir.File("badsum.ini"), badSum);
  prompts.paths = {dir.File("short.ini"), dir.File("broken.ini"), dir.File("gone.ini"), dir.File("badsum.ini")};
  for (int i = 0; i < 4; ++i) form->Slots[0].LoadFromINIButton->click();
  ASSERT_EQ(prompts.messages.size(), 4u);
  // Each box names the file it refused.
  EXPECT_EQ(
      prompts.messages[0],
      "ERROR: - invalid motor profile file size, got 54 lines, expected 55\n\nRefused file: " + dir.File("short.ini"));
  EXPECT_EQ(prompts.messages[1], "ERROR: - motor_type: field\n\nRefused file: " + dir.File("broken.ini"));
  EXPECT_EQ(prompts.messages[2],
            "ERROR: - unable to read motor profile file " + dir.File("gone.ini") + ": No such file or directory");
  EXPECT_EQ(prompts.messages[3].rfind("ERROR: - Invalid checksum got 1", 0), 0u) << prompts.messages[3];
  EXPECT_NE(prompts.messages[3].find("\n\nRefused file: " + dir.File("badsum.ini")), std::string::npos);
  EXPECT_EQ(form->profileSlots[0], good);
  EXPECT_EQ(form->Slots[0].NameLabel->text(), "Spindle: 12k");

  // Cancelled dialogs: nothing read, nothing written, no message.
  form->Slots[0].LoadFromINIButton->click();
  form->Slots[0].SaveToINIButton->click();
  EXPECT_EQ(prompts.messages.size(), 4u);
  EXPECT_EQ(form->profileSlots[0], good);
}

TEST_F(SlotsTest, ControlStatusWindowIsMadeOnceAndSendsThroughTheMainEngine) {
  form->CreateControlStatusForm();
  TControlStatusForm* made = form->ControlStatusForm;
  ASSERT_NE(made, nullptr);
  EXPECT_FALSE(made->isVisible());
  for (int round = 0; round < 2; ++round) {
    QWidget* shown = nullptr;
    QTimer::singleShot(0, form.get(), [&] {
      shown = QApplication::activeModalWidget();
      // A command from the window goes through the main window's engine.
      made->StartButtonClick();
      made->close();
    });
    form->ControlStatus1Click();
    EXPECT_EQ(shown, made);
    EXPECT_FALSE(made->isVisible());
  }
  EXPECT_EQ(form->ControlStatusForm, made);
  EXPECT_EQ(form->PanelText(0), "COM port not opened");
}

TEST_F(SlotsTest, SplWindowWorksOnTheImageBuilderSettingsAndTheSlots) {
  form->Session().Builder().hex_file = "/fw/drive.hex";
  form->Session().Builder().app_start_address = 0x2800;
  form->Session().Builder().motor_profile_start_address = 0x5000;
  form->Session().Builder().spl_file_dir = dir.Path();
  std::string hex, splDir;
  std::uint32_t app = 0, prof = 0;
  QTimer::singleShot(0, form.get(), [&] {
    auto* spl = qobject_cast<TCreateSPLFileForm*>(QApplication::activeModalWidget());
    ASSERT_NE(spl, nullptr);
    hex = spl->HexFilePath();
    app = spl->AppStartAddress();
    prof = spl->MotorProfileStartAddress();
    splDir = spl->SplFileDir();
    spl->reject();
  });
  form->CreateSPLFile1Click();
  EXPECT_EQ(hex, "/fw/drive.hex");
  EXPECT_EQ(app, 0x2800u);
  EXPECT_EQ(prof, 0x5000u);
  EXPECT_EQ(splDir, dir.Path());
}

}  // namespace
}  // namespace mainwork
