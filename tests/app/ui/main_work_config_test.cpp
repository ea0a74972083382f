// The main window's configuration file commands and the exit question.
#include <sys/stat.h>

#include "app/ui/main_work_support.h"
#include "session/config_file.h"

namespace mainwork {
namespace {

using mv::PromptAnswer;

class ConfigTest : public MainWorkTest {
 protected:
  void SetUp() override {
    // Closing the window several times in one test must not end the application's loop.
    QApplication::setQuitOnLastWindowClosed(false);
    MainWorkTest::SetUp();
  }
  // Lines of a written file without their CR LF ends.
  std::vector<std::string> Lines(const std::string& path) const {
    std::vector<std::string> out;
    const std::string text = mvtest::ReadFile(path);
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find("\r\n", at);
      if (end == std::string::npos) break;
      out.push_back(text.substr(at, end - at));
      at = end + 2;
    }
    return out;
  }
  // Saves through "&Save Config" with the dialog answering `path`.
  void SaveAs(const std::string& path) {
    prompts.paths.push_back(path);
    form->SaveConfig1Click();
    ASSERT_TRUE(prompts.messages.empty()) << prompts.LastMessage();
    ASSERT_EQ(form->Session().ConfigFileName(), path);
  }
  // Closes the window as the user does; true when it closed.
  bool CloseWindow() {
    form->show();
    return form->close();
  }
};

TEST_F(ConfigTest, SavedConfigurationLoadsBackAndReopensThePort) {
  StartDrive(5);
  form->Close1Click();
  // A pseudo-terminal keeps 8 data bits without parity only.
  form->DVXCOMPort.SetBaudRate(PLKDVX::br57600);
  form->DVXCOMPort.SetStopBits(PLKDVX::sb2);
  form->Session().Builder().hex_file = "/firmware/drive v2.hex";
  form->Session().Builder().app_start_address = 0x3000;
  form->Session().Builder().motor_profile_start_address = 0x5800;
  form->Session().Builder().spl_file_dir = "/images";
  const std::string path = dir.File("app.ini");
  SaveAs(path);

  // The save dialog as the user meets it.
  ASSERT_EQ(prompts.fileDialogs.size(), 1u);
  EXPECT_EQ(prompts.fileDialogs[0].filter, "INI Files|*.ini");
  EXPECT_EQ(prompts.fileDialogs[0].initialDir, ".");
  EXPECT_EQ(prompts.fileDialogs[0].defaultExt, "ini");
  EXPECT_FALSE(prompts.fileDialogs[0].confirmOverwrite);
  const auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[5], "com_port: 5");
  EXPECT_EQ(lines[6], "baud_rate: 57600");
  EXPECT_EQ(lines[11], "hex_file: /firmware/drive v2.hex");
  EXPECT_EQ(lines[12], "app_start_address: 0x03000");
  EXPECT_EQ(lines[13], "motor_profile_start_address: 0x05800");
  EXPECT_FALSE(form->ConfigChanged());

  // Everything changes in memory; the load puts it all back and reopens the port.
  form->DVXCOMPort.SetPort1(2);
  form->DVXCOMPort.SetBaudRate(PLKDVX::br9600);
  form->DVXCOMPort.SetDataBits(PLKDVX::db7);
  form->DVXCOMPort.SetParity(PLKDVX::paOdd);
  form->DVXCOMPort.SetStopBits(PLKDVX::sb1);
  form->Session().Builder().hex_file.clear();
  form->Session().Builder().app_start_address = 0x2000;
  form->Session().Builder().spl_file_dir = "/elsewhere";
  prompts.paths.push_back(path);
  form->LoadConfig1Click();
  EXPECT_TRUE(prompts.messages.empty()) << prompts.LastMessage() << "\n" << LogText();
  ASSERT_EQ(prompts.fileDialogs.size(), 2u);
  EXPECT_TRUE(prompts.fileDialogs[1].mustExist);
  EXPECT_EQ(prompts.fileDialogs[1].filter, "INI Files|*.ini");
  EXPECT_EQ(prompts.fileDialogs[1].initialDir, ".");
  EXPECT_TRUE(form->DVXCOMPort.GetOpened());
  EXPECT_EQ(form->PanelText(0), "COM5: 57600 8 none 2");
  EXPECT_EQ(form->Session().Builder().hex_file, "/firmware/drive v2.hex");
  EXPECT_EQ(form->Session().Builder().app_start_address, 0x3000u);
  EXPECT_EQ(form->Session().Builder().motor_profile_start_address, 0x5800u);
  EXPECT_EQ(form->Session().Builder().spl_file_dir, "/images");
  EXPECT_EQ(form->Session().ConfigFileName(), path);
  EXPECT_FALSE(form->ConfigChanged());

  // With a name known, the next save writes without a dialog.
  form->Session().Builder().spl_file_dir = "/images2";
  EXPECT_TRUE(form->SaveConfig());
  EXPECT_EQ(prompts.fileDialogs.size(), 2u);
  EXPECT_EQ(Lines(path)[14], "spl_file_dir: /images2");
}

// The port open now gives way to the file's: the drive that answers is the
// one on the file's port, at the file's settings.
TEST_F(ConfigTest, LoadWhileThePortIsOpenMovesToTheFilesPort) {
  StartDrive(5, {"--serial", "5"});
  mvtest::SimProcess six({"--com", "6", "--serial", "6"});
  ASSERT_TRUE(six.Ok());
  mv::AppConfig file;
  file.com_port = 6;
  file.baud_rate = PLKDVX::br57600;
  std::string message;
  ASSERT_TRUE(mv::WriteConfigFile(dir.File("six.ini"), file, message)) << message;
  prompts.paths.push_back(dir.File("six.ini"));
  form->LoadConfig1Click();
  EXPECT_TRUE(prompts.messages.empty()) << prompts.LastMessage();
  EXPECT_EQ(form->PanelText(0).toStdString(), "COM6: 57600 8 none 1");
  form->GetDriveDataButton->click();
  ASSERT_TRUE(Idle());
  EXPECT_EQ(form->SerialNoLabeledEdit->text().toStdString(), "6");
}

TEST_F(ConfigTest, RefusedFilesChangeNothing) {
  // A file with an extra empty line at the end.
  const std::string path = dir.File("app.ini");
  SaveAs(path);
  mvtest::WriteFile(dir.File("long.ini"), mvtest::ReadFile(path) + "\r\n");
  form->Session().SetConfigFileName("");
  form->DVXCOMPort.SetPort1(4);
  form->DVXCOMPort.SetParity(PLKDVX::paOdd);
  form->Session().Builder().hex_file = "/kept.hex";
  form->SetPanelText(0, "marker");
  prompts.paths.push_back(dir.File("long.ini"));
  form->LoadConfig1Click();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0], "ERROR: - invalid confguration file size, got 17 lines, expected 16");
  EXPECT_TRUE(form->Session().ConfigFileName().empty());
  EXPECT_EQ(form->DVXCOMPort.GetPort(), 4);
  EXPECT_EQ(form->DVXCOMPort.GetParity(), PLKDVX::paOdd);
  EXPECT_EQ(form->Session().Builder().hex_file, "/kept.hex");
  EXPECT_EQ(form->Session().Saved().hex_file, "");
  EXPECT_EQ(form->PanelText(0), "marker");

  // Mark parity is written as it stands, and that file is then refused.
  prompts.messages.clear();
  form->DVXCOMPort.SetParity(PLKDVX::paMark);
  SaveAs(dir.File("mark.ini"));
  EXPECT_EQ(Lines(dir.File("mark.ini"))[8], "parity: mark");
  form->DVXCOMPort.SetParity(PLKDVX::paEven);
  prompts.paths.push_back(dir.File("mark.ini"));
  form->LoadConfig1Click();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0], "ERROR: - invalid parity: field");
  EXPECT_EQ(form->DVXCOMPort.GetParity(), PLKDVX::paEven);
  EXPECT_EQ(form->Session().Saved().parity, PLKDVX::paMark);
  EXPECT_FALSE(form->DVXCOMPort.GetOpened());

  // A file that cannot be read, and a cancelled dialog.
  prompts.paths.push_back(dir.File("gone.ini"));
  form->LoadConfig1Click();
  ASSERT_EQ(prompts.messages.size(), 2u);
  EXPECT_EQ(prompts.messages[1].rfind("ERROR: - unable to read configuration file ", 0), 0u) << prompts.messages[1];
  form->LoadConfig1Click();  // no path queued: cancelled
  EXPECT_EQ(prompts.messages.size(), 2u);
  EXPECT_EQ(form->Session().ConfigFileName(), dir.File("mark.ini"));
}

TEST_F(ConfigTest, LoadedFileWhosePortCannotOpenKeepsItsSettings) {
  ASSERT_EQ(symlink(map.File("no-such-device").c_str(), map.File("COM7").c_str()), 0);
  form->DVXCOMPort.SetPort1(7);
  form->DVXCOMPort.SetDataBits(PLKDVX::db7);
  form->DVXCOMPort.SetParity(PLKDVX::paEven);
  form->Session().Builder().app_start_address = 0x4800;
  SaveAs(dir.File("seven.ini"));
  form->DVXCOMPort.SetPort1(1);
  form->DVXCOMPort.SetDataBits(PLKDVX::db8);
  form->DVXCOMPort.SetParity(PLKDVX::paNone);
  form->Session().Builder().app_start_address = 0x2000;
  form->Session().SetConfigFileName("");
  prompts.paths.push_back(dir.File("seven.ini"));
  form->LoadConfig1Click();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0], "ERROR: - unable to open COM7");
  EXPECT_EQ(form->PanelText(0), "COM Closed");
  EXPECT_EQ(form->DVXCOMPort.GetPort(), 7);
  EXPECT_EQ(form->DVXCOMPort.GetDataBits(), PLKDVX::db7);
  EXPECT_EQ(form->DVXCOMPort.GetParity(), PLKDVX::paEven);
  EXPECT_EQ(form->Session().Saved().parity, PLKDVX::paEven);
  EXPECT_FALSE(form->ConfigChanged());
  EXPECT_EQ(form->Session().Builder().app_start_address, 0x4800u);
  EXPECT_EQ(form->Session().ConfigFileName(), dir.File("seven.ini"));
}

TEST_F(ConfigTest, WithoutAFileNameEveryExitOffersToCreateOne) {
  // No: closes without a dialog.
  EXPECT_TRUE(CloseWindow());
  ASSERT_EQ(prompts.questions.size(), 1u);
  EXPECT_EQ(prompts.questions[0], "Create a configuration file?");
  EXPECT_TRUE(prompts.fileDialogs.empty());

  // Yes, then the dialog is cancelled: still closes, nothing written.
  prompts.answers = {PromptAnswer::Yes};
  EXPECT_TRUE(CloseWindow());
  EXPECT_EQ(prompts.questions.size(), 2u);
  EXPECT_EQ(prompts.fileDialogs.size(), 1u);
  EXPECT_TRUE(form->Session().ConfigFileName().empty());

  // Yes with a file chosen: the file is written.
  prompts.answers = {PromptAnswer::Yes};
  prompts.paths = {dir.File("exit.ini")};
  EXPECT_TRUE(CloseWindow());
  EXPECT_EQ(Lines(dir.File("exit.ini")).size(), 16u);
  EXPECT_EQ(form->Session().ConfigFileName(), dir.File("exit.ini"));
  EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ConfigTest, ExitAsksToUpdateOnlyWhenAComparedSettingChanged) {
  SaveAs(dir.File("bench.ini"));
  // Data bits and stop bits are not compared.
  form->DVXCOMPort.SetDataBits(PLKDVX::db7);
  form->DVXCOMPort.SetStopBits(PLKDVX::sb2);
  EXPECT_TRUE(CloseWindow());
  EXPECT_TRUE(prompts.questions.empty());

  // Each compared setting on its own brings the question, named without its folder.
  const std::vector<std::function<void()>> changes = {
      [&] { form->DVXCOMPort.SetPort1(3); },
      [&] { form->DVXCOMPort.SetBaudRate(PLKDVX::br38400); },
      [&] { form->DVXCOMPort.SetParity(PLKDVX::paOdd); },
      [&] { form->Session().Builder().hex_file = "/fw.hex"; },
      [&] { form->Session().Builder().app_start_address = 0x2800; },
      [&] { form->Session().Builder().motor_profile_start_address = 0x4800; },
      [&] { form->Session().Builder().spl_file_dir = "/spl"; },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    prompts.questions.clear();
    changes[i]();
    EXPECT_TRUE(CloseWindow());
    ASSERT_EQ(prompts.questions.size(), 1u) << i;
    EXPECT_EQ(prompts.questions[0], "Update configuration file bench.ini?") << i;
    // Yes saves to the same file without a dialog; the next exit asks nothing.
    prompts.answers = {PromptAnswer::Yes};
    EXPECT_TRUE(CloseWindow());
    EXPECT_EQ(prompts.questions.size(), 2u) << i;
    prompts.questions.clear();
    EXPECT_TRUE(CloseWindow());
    EXPECT_TRUE(prompts.questions.empty()) << i;
  }
  EXPECT_EQ(prompts.fileDialogs.size(), 1u);
  EXPECT_EQ(Lines(dir.File("bench.ini"))[14], "spl_file_dir: /spl");
  EXPECT_TRUE(prompts.messages.empty()) << prompts.LastMessage();
}

TEST_F(ConfigTest, FailedSaveSaysWhyKeepsTheOldStateAndStillCloses) {
  // The file's place became a folder: the write is refused.
  const std::string path = dir.File("app.ini");
  SaveAs(path);
  form->Session().Builder().hex_file = "/new.hex";
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  prompts.answers = {PromptAnswer::Yes};
  EXPECT_TRUE(CloseWindow());
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].rfind("ERROR: - unable to write configuration file " + path + ": ", 0), 0u)
      << prompts.messages[0];
  EXPECT_EQ(form->Session().Saved().hex_file, "");
  EXPECT_TRUE(form->ConfigChanged());

  // A new file in a folder that does not exist: the name is not taken over.
  form->Session().SetConfigFileName("");
  prompts.paths = {dir.File("missing/app.ini")};
  EXPECT_FALSE(form->SaveConfig());
  EXPECT_EQ(prompts.messages.size(), 2u);
  EXPECT_TRUE(form->Session().ConfigFileName().empty());
  EXPECT_FALSE(mvtest::FileExists(dir.File("missing")));
}

}  // namespace
}  // namespace mainwork
