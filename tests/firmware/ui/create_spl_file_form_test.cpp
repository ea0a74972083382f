// The SPL file window with scripted dialogs: what each edit turns typed text
// into, which dialogs it opens, and what a build shows, writes and hands back
// to the caller's settings.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest/QTest>
#include <filesystem>
#include <functional>
#include <string>

#include "firmware/ui/TCreateSPLFileForm.h"
#include "support/accessibility_check.h"
#include "support/hex_gen.h"
#include "support/qt_find.h"
#include "support/scripted_prompts.h"
#include "support/test_support.h"

using namespace mv::ui;  // the windows

namespace {

// Records the start folder the window asks the folder chooser for.
class Prompts : public mvtest::ScriptedPrompts {
 public:
  std::vector<std::string> folderStarts;
  bool ChooseFolder(mv::PromptOwner owner, const std::string& title, const std::string& startDir,
                    std::string& path) override {
    folderStarts.push_back(startDir);
    return ScriptedPrompts::ChooseFolder(owner, title, startDir, path);
  }
};

// A dsPIC33EP256 firmware: application in pages 4..7 and 9..40 (page 40 used
// up to byte 1500), the motor profile page 8 blank, data in the last page 85.
std::string Firmware256(bool dataInProfilePage = false) {
  hexgen::Image img;
  img.FillWords(4 * 4096, 4 * 4096);
  img.FillWords(9 * 4096, 31 * 4096 + 1500);
  img.FillWords(85 * 4096, 16);
  if (dataInProfilePage) img.FillWords(8 * 4096 + 64, 4);
  return img.ToHex();
}

class CreateSPLFileFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < mv::kSlotCount; ++i) profiles[static_cast<std::size_t>(i)] = mv::MotorProfileDefaults(i);
    mvtest::WriteFile(dir.File("fw.hex"), Firmware256());
    std::filesystem::create_directory(dir.File("out"));
  }

  // Opens the window as the main window does and keeps it for the test.
  TCreateSPLFileForm& Open() {
    form = std::make_unique<TCreateSPLFileForm>(nullptr, settings, profiles, prompts);
    form->show();
    QApplication::processEvents();
    return *form;
  }

  template <class T>
  T* Child(const char* name) {
    return mvtest::Find<T>(form.get(), name);
  }
  QLineEdit* EditNamed(const char* name) { return Child<QLineEdit>(name); }
  QString Text(const char* name) { return EditNamed(name)->text(); }
  QString LabelText(const char* name) { return Child<QLabel>(name)->text(); }
  void Type(const char* name, const char* text) {
    QLineEdit* e = EditNamed(name);
    e->setText(QString::fromLatin1(text));
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(e, &out);
  }
  void Click(const char* name) { Child<QPushButton>(name)->click(); }

  // Chooses the hex file, the output folder and a name through the window.
  void Prepare(const std::string& folder, const char* name) {
    prompts.paths = {dir.File("fw.hex"), folder};
    Click("SelectHexFileButton");
    Click("SelectSPLFileButton");
    Type("SPLFileNameEdit", name);
  }

  mvtest::TempDir dir;
  Prompts prompts;
  mv::ImageBuilderSettings settings;
  std::array<mv::MotorProfile, mv::kSlotCount> profiles{};
  std::unique_ptr<TCreateSPLFileForm> form;
};

TEST_F(CreateSPLFileFormTest, OpensWithTheCallersSettings) {
  settings.hex_file = "/some/where/app.hex";
  settings.app_start_address = 0x2800;
  settings.spl_file_dir = "/tmp/spl";
  Open();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Create SPL File"));
  EXPECT_EQ(Text("HexFileEdit"), QStringLiteral("app.hex"));
  EXPECT_EQ(Text("AppStartAddressLabeledEdit"), QStringLiteral("0x02800"));
  EXPECT_EQ(Text("MotorProfileStartAddressLabeledEdit"), QStringLiteral("0x04000"));
  EXPECT_EQ(Text("SPLFileDirEdit"), QStringLiteral("/tmp/spl"));
  EXPECT_EQ(Text("FirmwareVersionEdit"), QStringLiteral("0"));
  EXPECT_EQ(Text("SPLFileNameEdit"), QString());
  EXPECT_EQ(LabelText("LSRStartAddrLabel"), QStringLiteral("Start Address: 0x00000"));
  EXPECT_EQ(LabelText("LSRSizeLabel"), QStringLiteral("Size: 0 bytes"));
  EXPECT_EQ(LabelText("DeviceTypeLabel"), QStringLiteral("Device Type:"));
  EXPECT_TRUE(EditNamed("HexFileEdit")->isReadOnly());
  EXPECT_TRUE(EditNamed("SPLFileDirEdit")->isReadOnly());
  for (QLineEdit* e : form->findChildren<QLineEdit*>()) EXPECT_FALSE(e->accessibleName().isEmpty());
  int buddies = 0;
  for (QLabel* l : form->findChildren<QLabel*>())
    if (l->buddy()) ++buddies;
  EXPECT_EQ(buddies, 6);
}

// "&Create"/"&Close" and the two "&Select" buttons share their letters: the
// first of each in the window's order gets the key, and pressing it presses
// that button (a shared letter would only move the focus between them).
TEST_F(CreateSPLFileFormTest, AccessKeysPressCreateAndTheHexFilesSelect) {
  Open();
  QApplication::setActiveWindow(form.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  // A button pressed by its key is clicked a moment later, as on screen.
  auto settle = [](const std::function<bool()>& done) {
    for (int i = 0; i < 100 && !done(); ++i) QTest::qWait(10);
  };
  QTest::keyClick(form.get(), Qt::Key_C, Qt::AltModifier);
  settle([&] { return !prompts.messages.empty(); });
  EXPECT_EQ(prompts.messages, std::vector<std::string>{"ERROR: - Hex file not selected."});
  EXPECT_TRUE(form->isVisible()) << "Alt+C closed the window";
  QTest::keyClick(form.get(), Qt::Key_S, Qt::AltModifier);
  settle([&] { return !prompts.fileDialogs.empty() || !prompts.folderTitles.empty(); });
  ASSERT_EQ(prompts.fileDialogs.size(), 1u);
  EXPECT_EQ(prompts.fileDialogs[0].title, "Select Intel Hex File");
  EXPECT_TRUE(prompts.folderTitles.empty());
  // The captions keep their letters.
  EXPECT_EQ(Child<QPushButton>("CloseButton")->text(), "&Close");
  EXPECT_EQ(Child<QPushButton>("SelectSPLFileButton")->text(), "&Select");
}

TEST_F(CreateSPLFileFormTest, EditsNormaliseWhatIsTyped) {
  Open();
  const std::pair<const char*, const char*> names[] = {
      {"fw", "fw.spl"}, {"fw.SPL", "fw.spl"}, {"fw.bin", "fw.spl"}, {"fw.spl", "fw.spl"}, {"", ""}};
  for (const auto& [typed, shown] : names) {
    Type("SPLFileNameEdit", typed);
    EXPECT_EQ(Text("SPLFileNameEdit"), QString::fromLatin1(shown)) << typed;
  }

  Type("FirmwareVersionEdit", "300");
  EXPECT_EQ(Text("FirmwareVersionEdit"), QStringLiteral("255"));
  Type("FirmwareVersionEdit", "7");
  Type("FirmwareVersionEdit", "-1");
  EXPECT_EQ(Text("FirmwareVersionEdit"), QStringLiteral("255"));
  Type("FirmwareVersionEdit", "9");
  Type("FirmwareVersionEdit", "abc");
  EXPECT_EQ(Text("FirmwareVersionEdit"), QStringLiteral("9"));
  EXPECT_EQ(form->FirmwareVersion(), 9u);
  // Enter does nothing in the version edit.
  EditNamed("FirmwareVersionEdit")->setText(QStringLiteral("300"));
  QTest::keyClick(EditNamed("FirmwareVersionEdit"), Qt::Key_Return);
  EXPECT_EQ(Text("FirmwareVersionEdit"), QStringLiteral("300"));
  EXPECT_TRUE(form->isVisible());

  Type("AppStartAddressLabeledEdit", "0x2800");
  EXPECT_EQ(Text("AppStartAddressLabeledEdit"), QStringLiteral("0x02800"));
  Type("AppStartAddressLabeledEdit", "0x2900");
  EXPECT_EQ(Text("AppStartAddressLabeledEdit"), QStringLiteral("0x02800"));
  Type("AppStartAddressLabeledEdit", "0x800");
  EXPECT_EQ(Text("AppStartAddressLabeledEdit"), QStringLiteral("0x00800")) << "only the step binds typed values";
  EXPECT_EQ(form->AppStartAddress(), 0x800u);
  Type("AppStartAddressLabeledEdit", "start");
  EXPECT_EQ(Text("AppStartAddressLabeledEdit"), QStringLiteral("0x01800")) << "fallback brought into range";
  Type("AppStartAddressLabeledEdit", "12288");
  EXPECT_EQ(Text("AppStartAddressLabeledEdit"), QStringLiteral("0x03000"));

  EditNamed("MotorProfileStartAddressLabeledEdit")->setText(QStringLiteral("0x4800"));
  QTest::keyClick(EditNamed("MotorProfileStartAddressLabeledEdit"), Qt::Key_Enter);
  EXPECT_EQ(Text("MotorProfileStartAddressLabeledEdit"), QStringLiteral("0x04800"));
  Type("MotorProfileStartAddressLabeledEdit", "0x4801");
  EXPECT_EQ(Text("MotorProfileStartAddressLabeledEdit"), QStringLiteral("0x04800"));
  EXPECT_TRUE(form->isVisible()) << "Enter in an address edit must not close the window";

  // Nothing typed reaches the caller before a build.
  EXPECT_EQ(settings.app_start_address, 0x2000u);
  EXPECT_EQ(settings.motor_profile_start_address, 0x4000u);
}

TEST_F(CreateSPLFileFormTest, ChoosersUseTheirTitlesAndStartFolders) {
  Open();
  prompts.paths = {""};  // cancelled
  Click("SelectHexFileButton");
  ASSERT_EQ(prompts.fileDialogs.size(), 1u);
  EXPECT_EQ(prompts.fileDialogs[0].title, "Select Intel Hex File");
  EXPECT_EQ(prompts.fileDialogs[0].filter, "Intel Hex Files|*.hex;*.h86");
  EXPECT_EQ(prompts.fileDialogs[0].initialDir, ".");
  EXPECT_TRUE(prompts.fileDialogs[0].mustExist);
  EXPECT_EQ(Text("HexFileEdit"), QString());
  EXPECT_EQ(form->HexFilePath(), "");

  prompts.paths = {dir.File("fw.hex")};
  Click("SelectHexFileButton");
  EXPECT_EQ(Text("HexFileEdit"), QStringLiteral("fw.hex"));
  EXPECT_EQ(form->HexFilePath(), dir.File("fw.hex"));
  prompts.paths = {""};
  Click("SelectHexFileButton");
  EXPECT_EQ(prompts.fileDialogs.back().initialDir, dir.Path()) << "starts in the chosen file's folder";
  EXPECT_EQ(form->HexFilePath(), dir.File("fw.hex")) << "cancel keeps the file";

  prompts.paths = {""};
  Click("SelectSPLFileButton");
  ASSERT_EQ(prompts.folderTitles.size(), 1u);
  EXPECT_EQ(prompts.folderTitles[0], "Select SPL File Directory");
  EXPECT_EQ(prompts.folderStarts[0], std::filesystem::current_path().string());
  EXPECT_EQ(Text("SPLFileDirEdit"), QString());

  prompts.paths = {dir.File("out")};
  Click("SelectSPLFileButton");
  EXPECT_EQ(Text("SPLFileDirEdit"), QString::fromStdString(dir.File("out")));
  EXPECT_EQ(form->SplFileDir(), dir.File("out"));
  prompts.paths = {""};
  Click("SelectSPLFileButton");
  EXPECT_EQ(prompts.folderStarts.back(), dir.Path() + "/") << "the chosen folder's parent, with its separator";
  EXPECT_EQ(form->SplFileDir(), dir.File("out"));
}

TEST_F(CreateSPLFileFormTest, BuildWritesTheSameFileAsTheCommandLineAndHandsBackSettings) {
  Open();
  Prepare(dir.File("out"), "fw");
  Type("FirmwareVersionEdit", "3");
  Click("CreateLSRFileButton");

  ASSERT_EQ(prompts.messages.size(), 1u) << prompts.LastMessage();
  EXPECT_EQ(prompts.messages[0],
            "Bootloader flash pages = 0 to 3.\n"
            "Motor profile flash page = 8.\n"
            "App. start address (in hex file) = 0x04000.\n"
            "Motor profile start address (in hex file) = 0x08000.\n"
            "Device flash pages = 86.\n"
            "App. flash pages used = 4 to 40 (37).\n"
            "App. last flash page usage = 1500 bytes.\n"
            "App. flash size = 148956 bytes.\n"
            "App. padding = 4 bytes.\n"
            "SPL Image size = 148960 bytes.\n\n"
            "SPL file written: " +
                dir.File("out/fw.spl"));
  EXPECT_EQ(LabelText("DeviceTypeLabel"), QStringLiteral("Device Type: dsPIC33EP256"));
  EXPECT_EQ(LabelText("LSRStartAddrLabel"), QStringLiteral("Start Address: 0x02000"));
  EXPECT_EQ(LabelText("LSRSizeLabel"), QStringLiteral("Size: 148956 bytes"));

  const std::string ours = mvtest::ReadFile(dir.File("out/fw.spl"));
  ASSERT_EQ(ours.size(), 148960u);
  EXPECT_EQ(static_cast<std::uint8_t>(ours[0x4FFC]), 3);
  std::filesystem::create_directory(dir.File("cli"));
  const auto r = mvtest::Run({mvtest::CliPath(), "spl", "build", "--hex", dir.File("fw.hex"), "--out",
                              dir.File("cli/fw.spl"), "--fw-version", "3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ours == mvtest::ReadFile(dir.File("cli/fw.spl"))) << "window and command line lay out the same bytes";

  EXPECT_EQ(settings.hex_file, dir.File("fw.hex"));
  EXPECT_EQ(settings.spl_file_dir, dir.File("out"));
  EXPECT_EQ(settings.app_start_address, 0x2000u);
  EXPECT_EQ(settings.motor_profile_start_address, 0x4000u);
}

TEST_F(CreateSPLFileFormTest, BuildPlacesTheSlotsAndTheShownVersion) {
  profiles[2].SetName("Spindle");
  mv::UpdateChecksum(profiles[2]);
  Open();
  Prepare(dir.File("out"), "fw");
  Type("AppStartAddressLabeledEdit", "0x2000");
  // Typed but not left (Create reached by its access key): what is shown is used.
  EditNamed("FirmwareVersionEdit")->setText(QStringLiteral("12"));
  Click("CreateLSRFileButton");
  EXPECT_EQ(Text("FirmwareVersionEdit"), QStringLiteral("12"));
  const std::string spl = mvtest::ReadFile(dir.File("out/fw.spl"));
  ASSERT_EQ(spl.size(), 148960u) << prompts.LastMessage();
  // Slot P03 starts at profile byte 444, word 222 of the motor profile page.
  const std::size_t p = 0x4000, p03 = p + 4 * 222;
  EXPECT_EQ(spl.substr(p03, 8), std::string("Sp\0\0in\0\0", 8));
  EXPECT_EQ(static_cast<std::uint8_t>(spl[p + 4 * 665 + 1]), profiles[5].bytes[221]) << "last checksum byte";
  EXPECT_EQ(spl.substr(p + 4088, 8), std::string("\x55\xAA\x00\x00\x0C\x00\x00\x00", 8));
}

TEST_F(CreateSPLFileFormTest, RefusedBuildsChangeNothing) {
  settings.hex_file = "/keep/old.hex";
  Open();
  Click("CreateLSRFileButton");
  EXPECT_EQ(prompts.LastMessage(), "ERROR: - SPL file directory not selected.");

  settings.hex_file.clear();
  Open();
  Click("CreateLSRFileButton");
  EXPECT_EQ(prompts.LastMessage(), "ERROR: - Hex file not selected.");
  Prepare(dir.File("out"), "");
  Click("CreateLSRFileButton");
  EXPECT_EQ(prompts.LastMessage(), "ERROR: - SPL file name not selected.");

  // An existing file is never replaced, and nothing is handed back.
  mvtest::WriteFile(dir.File("out/keep.spl"), "precious");
  Type("SPLFileNameEdit", "keep");
  Type("AppStartAddressLabeledEdit", "0x2800");
  Click("CreateLSRFileButton");
  EXPECT_EQ(prompts.LastMessage(), "ERROR: - SPL file name already exists.");
  EXPECT_EQ(mvtest::ReadFile(dir.File("out/keep.spl")), "precious");
  EXPECT_EQ(LabelText("DeviceTypeLabel"), QStringLiteral("Device Type:"));

  // A firmware with data in the motor profile page.
  mvtest::WriteFile(dir.File("bad.hex"), Firmware256(true));
  prompts.paths = {dir.File("bad.hex")};
  Click("SelectHexFileButton");
  Type("AppStartAddressLabeledEdit", "0x2000");
  Type("SPLFileNameEdit", "new");
  const std::size_t shown = prompts.messages.size();
  Click("CreateLSRFileButton");
  ASSERT_EQ(prompts.messages.size(), shown + 1);
  EXPECT_EQ(prompts.LastMessage(), "ERROR: - Motor profile flash page 8 must be blank.");
  EXPECT_FALSE(mvtest::FileExists(dir.File("out/new.spl")));
  EXPECT_EQ(LabelText("LSRSizeLabel"), QStringLiteral("Size: 0 bytes"));

  EXPECT_EQ(settings.hex_file, "");
  EXPECT_EQ(settings.spl_file_dir, "");
  EXPECT_EQ(settings.app_start_address, 0x2000u);
}

TEST_F(CreateSPLFileFormTest, UnwritableFileShowsErrorThenSummaryAndStillHandsBack) {
  Open();
  Prepare(dir.File("no/such/folder"), "fw");
  Click("CreateLSRFileButton");
  ASSERT_EQ(prompts.messages.size(), 2u);
  EXPECT_EQ(prompts.messages[0], "ERROR: - Unable to create SPL file.");
  EXPECT_EQ(prompts.messages[1].rfind("Bootloader flash pages = 0 to 3.\n", 0), 0u);
  EXPECT_FALSE(mvtest::FileExists(dir.File("no")));
  EXPECT_EQ(settings.spl_file_dir, dir.File("no/such/folder"));
  EXPECT_EQ(settings.hex_file, dir.File("fw.hex"));
}

TEST_F(CreateSPLFileFormTest, DefaultsTakeTheCallersSettingsAgain) {
  settings.hex_file = dir.File("fw.hex");
  settings.spl_file_dir = dir.File("out");
  Open();
  prompts.paths = {dir.File("other.hex"), dir.Path()};
  Click("SelectHexFileButton");
  Click("SelectSPLFileButton");
  Type("AppStartAddressLabeledEdit", "0x3000");
  Type("MotorProfileStartAddressLabeledEdit", "0x5000");
  Type("SPLFileNameEdit", "keep");
  Type("FirmwareVersionEdit", "42");
  Click("DefaultsButton");
  EXPECT_EQ(Text("HexFileEdit"), QStringLiteral("fw.hex"));
  EXPECT_EQ(Text("SPLFileDirEdit"), QString::fromStdString(dir.File("out")));
  EXPECT_EQ(Text("AppStartAddressLabeledEdit"), QStringLiteral("0x02000"));
  EXPECT_EQ(Text("MotorProfileStartAddressLabeledEdit"), QStringLiteral("0x04000"));
  EXPECT_EQ(form->HexFilePath(), dir.File("fw.hex"));
  EXPECT_EQ(form->MotorProfileStartAddress(), 0x4000u);
  EXPECT_EQ(Text("SPLFileNameEdit"), QStringLiteral("keep.spl"));
  EXPECT_EQ(Text("FirmwareVersionEdit"), QStringLiteral("42"));

  Click("CloseButton");
  EXPECT_FALSE(form->isVisible());
}

TEST_F(CreateSPLFileFormTest, ScreenReaderHearsCaptionsAndTheImageLines) {
  Open();
  EXPECT_EQ(mvtest::AccessibilityFaults(form.get()), "");
  EXPECT_EQ(mvtest::AccessibleName(Child<QLabel>("LSRSizeLabel")), "Size: 0 bytes");
  EXPECT_EQ(mvtest::AccessibleName(Child<QPushButton>("CreateLSRFileButton")), "Create");
}

}  // namespace
