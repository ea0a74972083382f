// The compare window on the real request tables and engine (fake port and
// timer): the drive side is read into a scratch copy, the file side through
// the open dialog, differences are marked, and every "use" button goes
// through the main window's own paths.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <cstdlib>

#include "app/ui/TProfileCompareForm.h"
#include "link/main_requests.h"
#include "profiles/profile_file.h"
#include "support/accessibility_check.h"
#include "support/link_fakes.h"
#include "support/qt_find.h"
#include "support/scripted_prompts.h"
#include "support/test_support.h"

namespace {

using mv::ui::TProfileCompareForm;
using Form = TProfileCompareForm;

class ScriptedPrompts : public mv::Prompts {
 public:
  std::vector<std::string> messages;
  std::vector<std::string> titles;
  std::string nextPath;                 // "" = the user cancels
  std::vector<mv::PromptOwner> owners;  // the raising window of each message and dialog
  void ShowMessage(mv::PromptOwner owner, const std::string& text) override {
    owners.push_back(owner);
    messages.push_back(text);
  }
  mv::PromptAnswer AskYesNoWarning(mv::PromptOwner, const std::string&) override { return mv::PromptAnswer::No; }
  bool OpenFile(mv::PromptOwner owner, const mv::FileDialogOptions& options, std::string& path) override {
    owners.push_back(owner);
    titles.push_back(options.title);
    path = nextPath;
    return !path.empty();
  }
  bool SaveFile(mv::PromptOwner, const mv::FileDialogOptions&, std::string&) override { return false; }
  bool ChooseFolder(mv::PromptOwner, const std::string&, const std::string&, std::string&) override { return false; }
};

// The main window's part: six records, the request tables on an engine.
class FakeMain {
 public:
  std::array<mv::MotorProfile, mv::kSlotCount> records;
  std::vector<int> slotWrites;                 // setProfileSlot calls
  std::vector<int> saveIniClicks;              // "Save INI" clicks
  std::vector<mv::PromptOwner> saveIniOwners;  // the window each "Save INI" was raised by
  std::vector<std::string> messages;
  std::string saveIniPath;  // where "Save INI" writes ("" = cancelled)
  linktest::Rig rig;
  mv::MainRequests requests{rig.engine.Sender()};
  ScriptedPrompts prompts;

  FakeMain() {
    for (int i = 0; i < mv::kSlotCount; ++i) records[static_cast<std::size_t>(i)] = mv::MotorProfileDefaults(i);
    requests.SetResultSink(mv::MainResultSink::Bind<&FakeMain::Ended>(this));
  }
  // As the main window renders a result: the slots it brought, its boxes.
  void Ended(const mv::MainResult& r) {
    for (int i = 0; i < mv::kSlotCount; ++i) {
      if (r.slotOutcome[static_cast<std::size_t>(i)] == mv::SlotOutcome::Received)
        SetProfileSlot(i, r.profiles[static_cast<std::size_t>(i)]);
      char text[96];
      if (mv::SlotMessage(r, i, text, sizeof text)) messages.emplace_back(text);
    }
  }
  void SetProfileSlot(int i, const mv::MotorProfile& p) {
    slotWrites.push_back(i);
    if (i >= 0 && i < mv::kSlotCount) records[static_cast<std::size_t>(i)] = p;
  }

  mv::ui::ProfileCompareHooks Hooks() {
    mv::ui::ProfileCompareHooks h;
    h.Slot = [this](int i) -> const mv::MotorProfile& { return records[static_cast<std::size_t>(i)]; };
    h.SetProfileSlot = [this](int i, const mv::MotorProfile& p) { SetProfileSlot(i, p); };
    h.SaveCont = [this](int i) { requests.SaveProfile(i, records[static_cast<std::size_t>(i)]); };
    h.SaveINI = [this](int i, mv::PromptOwner raisedBy) {
      saveIniClicks.push_back(i);
      saveIniOwners.push_back(raisedBy);
      std::string message;
      if (!saveIniPath.empty()) mv::writeMotorProfileFile(saveIniPath, records[static_cast<std::size_t>(i)], message);
    };
    h.ReadDrive = [this](int i) { return requests.GetProfileToScratch(i) == mv::RequestOutcome::Pending; };
    h.DriveResult = [this]() -> const mv::ScratchProfile& { return requests.Scratch(); };
    h.LinkBusy = [this] { return requests.LinkBusy(); };
    h.prompts = &prompts;
    return h;
  }

  void AnswerProfile(std::uint8_t slot, const mv::MotorProfile& p) {
    std::vector<std::uint8_t> b(mv::kSlotBlockSize);
    b[0] = slot;
    std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + 1);
    rig.Answer(0x53, b);
  }
};

mv::MotorProfile Changed(int slot, std::uint16_t pwm) {
  mv::MotorProfile p = mv::MotorProfileDefaults(slot);
  p.SetU16(mv::off::cont_pwm_freq, pwm);
  mv::UpdateChecksum(p);
  return p;
}

int RowOf(const char* key) { return static_cast<int>(mv::FindCompareField(key) - mv::CompareFields().data()); }

class CompareFormTest : public ::testing::Test {
 protected:
  void Open(int slot = 2) {
    form = std::make_unique<Form>(nullptr, main.Hooks(), slot);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }
  QString Cell(const char* key, int column) const { return form->CompareTable->item(RowOf(key), column)->text(); }
  bool Marked(const char* key) const { return Cell(key, Form::DiffColumn) == QStringLiteral("*"); }
  // Lets the window's timers run until pred holds (at most two seconds).
  static bool WaitFor(const std::function<bool()>& pred) {
    for (int i = 0; i < 400 && !pred(); ++i) QTest::qWait(5);
    return pred();
  }
  void Click(QPushButton* b) {
    ASSERT_TRUE(b->isEnabled()) << b->objectName().toStdString();
    QTest::mouseClick(b, Qt::LeftButton);
  }

  FakeMain main;
  std::unique_ptr<Form> form;
};

TEST_F(CompareFormTest, OpensWithTheSlotAloneEveryFieldOnceAndAccessibleControls) {
  main.records[2] = Changed(2, 100);
  Open(2);
  QTableWidget* t = form->CompareTable;
  ASSERT_EQ(t->rowCount(), static_cast<int>(mv::CompareFields().size()));
  EXPECT_EQ(t->horizontalHeaderItem(Form::SlotColumn)->text(), "Slot P03");
  EXPECT_EQ(t->horizontalHeaderItem(Form::DriveColumn)->text(), "Drive P03");
  EXPECT_EQ(Cell("name", Form::SlotColumn), "P03");
  EXPECT_EQ(Cell("cont_pwm_freq", Form::SlotColumn), "100");
  EXPECT_EQ(Cell("cont_pwm_freq", Form::FieldColumn), "PWM Frequency (KHz)");
  EXPECT_EQ(Cell("cont_under_voltage_trip", Form::SlotColumn), "35.0");
  EXPECT_EQ(Cell("motor_speed_max", Form::SlotColumn), "75000");
  EXPECT_EQ(Cell("cont_pwm_freq", Form::DriveColumn), "");
  for (int row = 0; row < t->rowCount(); ++row) EXPECT_EQ(t->item(row, Form::DiffColumn)->text(), "") << row;
  EXPECT_FALSE(form->UseDriveButton->isEnabled());
  EXPECT_FALSE(form->UseFileButton->isEnabled());
  EXPECT_EQ(form->SlotComboBox->currentText(), "P03");
  // Names, buddies and plain-text labels.
  for (QWidget* w : std::initializer_list<QWidget*>{form->SlotComboBox, form->ReadDriveButton, form->OpenFileButton,
                                                    form->DifferencesOnlyCheckBox, form->CompareTable,
                                                    form->UseDriveButton, form->UseFileButton, form->SaveToDriveButton,
                                                    form->SaveToFileButton, form->CloseButton}) {
    EXPECT_FALSE(w->objectName().isEmpty());
    EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
  }
  EXPECT_EQ(form->SlotLabel->buddy(), form->SlotComboBox);
  EXPECT_EQ(mvtest::Find<QLabel>(form.get(), "CompareTableLabel")->buddy(), form->CompareTable);
  EXPECT_EQ(form->StatusLabel->textFormat(), Qt::PlainText);
  EXPECT_EQ(form->FileLabel->textFormat(), Qt::PlainText);
}

TEST_F(CompareFormTest, DriveSideIsReadIntoAScratchCopyAndUsedOnlyThroughSetProfileSlot) {
  Open(2);
  Click(form->ReadDriveButton);
  ASSERT_EQ(main.rig.port.frames.back(), (std::vector<std::uint8_t>{0x35, 0x02}));
  EXPECT_FALSE(form->ReadDriveButton->isEnabled());  // one read at a time
  const mv::MotorProfile drive = Changed(2, 110);
  main.AnswerProfile(2, drive);
  ASSERT_TRUE(WaitFor([&] { return !Cell("cont_pwm_freq", Form::DriveColumn).isEmpty(); }));
  EXPECT_TRUE(main.slotWrites.empty());  // reading never touches the slot
  EXPECT_EQ(Cell("cont_pwm_freq", Form::DriveColumn), "110");
  EXPECT_TRUE(Marked("cont_pwm_freq"));
  EXPECT_TRUE(Marked("checksum"));
  EXPECT_FALSE(Marked("name"));
  // Fixed colours on every cell of a differing row.
  QTableWidgetItem* item = form->CompareTable->item(RowOf("cont_pwm_freq"), Form::SlotColumn);
  EXPECT_EQ(item->background().color(), Form::DifferenceBackground());
  EXPECT_EQ(item->foreground().color(), Form::DifferenceText());

  form->DifferencesOnlyCheckBox->setChecked(true);
  int shown = 0;
  for (int row = 0; row < form->CompareTable->rowCount(); ++row) shown += form->CompareTable->isRowHidden(row) ? 0 : 1;
  EXPECT_EQ(shown, 2);
  EXPECT_TRUE(form->DifferencesOnlyCheckBox->text().contains("(2)"));

  Click(form->UseDriveButton);
  EXPECT_EQ(main.slotWrites, std::vector<int>{2});
  EXPECT_EQ(main.records[2], drive);
  EXPECT_FALSE(Marked("cont_pwm_freq"));
  EXPECT_TRUE(form->CompareTable->isRowHidden(RowOf("cont_pwm_freq")));  // no longer a difference
}

TEST_F(CompareFormTest, BadChecksumStrayAnswersAndSilenceCannotReachTheSlot) {
  Open(0);
  mv::MotorProfile bad = Changed(0, 100);
  bad.SetChecksum(1234);
  Click(form->ReadDriveButton);
  main.AnswerProfile(0, bad);
  ASSERT_TRUE(WaitFor([&] { return form->ReadDriveButton->isEnabled(); }));
  EXPECT_TRUE(Cell("checksum", Form::DriveColumn).startsWith("1234 (invalid, expected "));
  EXPECT_TRUE(form->StatusLabel->text().contains("Invalid Checksum"));
  EXPECT_FALSE(form->UseDriveButton->isEnabled());

  Click(form->ReadDriveButton);
  main.AnswerProfile(4, Changed(4, 100));  // the drive answers for another slot
  ASSERT_TRUE(WaitFor([&] { return form->ReadDriveButton->isEnabled(); }));
  EXPECT_TRUE(form->StatusLabel->text().contains("slot 5"));
  EXPECT_FALSE(form->UseDriveButton->isEnabled());

  Click(form->ReadDriveButton);
  main.rig.timer.Expire();  // no answer
  ASSERT_TRUE(WaitFor([&] { return form->ReadDriveButton->isEnabled(); }));
  EXPECT_TRUE(form->StatusLabel->text().startsWith("No answer from the drive"));
  EXPECT_EQ(Cell("name", Form::DriveColumn), "");
  EXPECT_FALSE(form->UseDriveButton->isEnabled());

  main.rig.port.opened = false;
  Click(form->ReadDriveButton);
  EXPECT_TRUE(form->StatusLabel->text().contains("not open"));
  EXPECT_TRUE(form->ReadDriveButton->isEnabled());
  EXPECT_TRUE(main.slotWrites.empty());
}

TEST_F(CompareFormTest, FileSideComesFromTheOpenDialogAndABadFileChangesNothing) {
  mvtest::TempDir dir;
  const mv::MotorProfile fileProfile = Changed(2, 50);
  std::string message;
  ASSERT_TRUE(mv::writeMotorProfileFile(dir.File("p.ini"), fileProfile, message));
  Open(2);

  main.prompts.nextPath = "";  // cancelled
  Click(form->OpenFileButton);
  EXPECT_EQ(main.prompts.titles.back(), "Compare Motor Profile P03 with File");
  EXPECT_FALSE(form->UseFileButton->isEnabled());

  main.prompts.nextPath = dir.File("p.ini");
  Click(form->OpenFileButton);
  EXPECT_EQ(Cell("cont_pwm_freq", Form::FileColumn), "50");
  EXPECT_TRUE(Marked("cont_pwm_freq"));
  EXPECT_EQ(form->FileLabel->text().toStdString(), dir.File("p.ini"));

  mvtest::WriteFile(dir.File("bad.ini"), "not a profile\r\n");
  main.prompts.nextPath = dir.File("bad.ini");
  Click(form->OpenFileButton);
  ASSERT_EQ(main.prompts.messages.size(), 1u);
  EXPECT_EQ(
      main.prompts.messages[0],
      "ERROR: - invalid motor profile file size, got 1 lines, expected 55\n\nRefused file: " + dir.File("bad.ini"));
  EXPECT_EQ(Cell("cont_pwm_freq", Form::FileColumn), "50");  // the earlier file stays
  EXPECT_EQ(form->FilePath(), dir.File("p.ini"));

  Click(form->UseFileButton);
  EXPECT_EQ(main.slotWrites, std::vector<int>{2});
  EXPECT_EQ(main.records[2], fileProfile);
  EXPECT_FALSE(Marked("cont_pwm_freq"));

  // Slot -> File goes through "Save INI"; the file shown is read again.
  main.records[2] = Changed(2, 60);
  main.saveIniPath = dir.File("p.ini");
  Click(form->SaveToFileButton);
  EXPECT_EQ(main.saveIniClicks, std::vector<int>{2});
  EXPECT_EQ(Cell("cont_pwm_freq", Form::FileColumn), "60");
  EXPECT_EQ(Cell("cont_pwm_freq", Form::SlotColumn), "60");

  // Every dialog and message of this window, "Save INI"'s included, is its own.
  const mv::PromptOwner self = mv::OwnerOf(form.get());
  EXPECT_EQ(main.prompts.owners, std::vector<mv::PromptOwner>(4, self));
  EXPECT_EQ(main.saveIniOwners, std::vector<mv::PromptOwner>{self});
}

TEST_F(CompareFormTest, SlotToDriveGoesThroughSaveContAndTheDriveIsReadAgain) {
  main.records[1] = Changed(1, 70);
  Open(1);
  Click(form->SaveToDriveButton);
  ASSERT_EQ(main.rig.port.frames.size(), 1u);
  std::vector<std::uint8_t> expect{0x34, 0x01};
  expect.insert(expect.end(), main.records[1].bytes.begin(), main.records[1].bytes.end());
  EXPECT_EQ(main.rig.port.frames[0], expect);
  main.rig.Answer(0x07, {2, 1});
  ASSERT_TRUE(WaitFor([&] { return main.rig.port.frames.size() == 2; }));
  EXPECT_EQ(main.rig.port.frames[1], (std::vector<std::uint8_t>{0x35, 0x01}));
  main.AnswerProfile(1, main.records[1]);
  ASSERT_TRUE(WaitFor([&] { return form->ReadDriveButton->isEnabled(); }));
  EXPECT_EQ(Cell("cont_pwm_freq", Form::DriveColumn), "70");
  EXPECT_FALSE(Marked("cont_pwm_freq"));
  EXPECT_TRUE(main.slotWrites.empty());

  // Refused (port closed): said so, nothing waits.
  main.rig.port.opened = false;
  Click(form->SaveToDriveButton);
  EXPECT_TRUE(form->StatusLabel->text().contains("not sent"));
  EXPECT_TRUE(form->ReadDriveButton->isEnabled());
}

TEST_F(CompareFormTest, ChoosingAnotherSlotDropsTheDriveSideAndKeepsTheFile) {
  Open(0);
  Click(form->ReadDriveButton);
  main.AnswerProfile(0, Changed(0, 100));
  ASSERT_TRUE(WaitFor([&] { return form->ReadDriveButton->isEnabled(); }));
  EXPECT_EQ(Cell("cont_pwm_freq", Form::DriveColumn), "100");
  form->SlotComboBox->setCurrentIndex(4);
  EXPECT_EQ(form->SlotIndex(), 4);
  EXPECT_EQ(Cell("name", Form::SlotColumn), "P05");
  EXPECT_EQ(Cell("cont_pwm_freq", Form::DriveColumn), "");
  EXPECT_FALSE(form->UseDriveButton->isEnabled());
  EXPECT_EQ(form->CompareTable->horizontalHeaderItem(Form::SlotColumn)->text(), "Slot P05");
  // A slot that changes behind the window's back is shown again.
  main.records[4] = Changed(4, 33);
  form->RefreshSlot();
  EXPECT_EQ(Cell("cont_pwm_freq", Form::SlotColumn), "33");
}

// MV_SCREENSHOT_DIR=/some/folder writes compare_window.png with all three sides.
TEST_F(CompareFormTest, Screenshot) {
  const char* dirEnv = std::getenv("MV_SCREENSHOT_DIR");
  if (dirEnv == nullptr || *dirEnv == '\0') GTEST_SKIP() << "MV_SCREENSHOT_DIR not set";
  mvtest::TempDir dir;
  mv::MotorProfile fileProfile = Changed(0, 95);
  fileProfile.SetComment("Spindle A");
  mv::UpdateChecksum(fileProfile);
  std::string message;
  ASSERT_TRUE(mv::writeMotorProfileFile(dir.File("spindle_a.ini"), fileProfile, message));
  Open(0);
  Click(form->ReadDriveButton);
  mv::MotorProfile drive = Changed(0, 100);
  drive.SetU16(mv::off::motor_speed_max, 6000);
  mv::UpdateChecksum(drive);
  main.AnswerProfile(0, drive);
  ASSERT_TRUE(WaitFor([&] { return form->ReadDriveButton->isEnabled(); }));
  main.prompts.nextPath = dir.File("spindle_a.ini");
  Click(form->OpenFileButton);
  form->FileLabel->setText("spindle_a.ini");
  QTest::qWait(50);
  ASSERT_TRUE(form->grab().save(QDir(dirEnv).filePath("compare_window.png")));
}

TEST_F(CompareFormTest, ScreenReaderHearsCaptionsValuesAndTheLabelledTable) {
  Open(2);
  EXPECT_EQ(mvtest::AccessibilityFaults(form.get()), "");
  EXPECT_EQ(mvtest::AccessibleName(form->FileLabel), "No file");
  EXPECT_EQ(mvtest::AccessibleName(form->ReadDriveButton).rfind("Read Drive", 0), 0u);
}

}  // namespace
