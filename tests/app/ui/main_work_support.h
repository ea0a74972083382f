// Shared pieces of the main window's work tests: the main window fixture
// with a simulated drive started with options and mapped as COMn.
#pragma once

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "app/ui/main_form_fixture.h"
#include "support/sim_process.h"
#include "support/test_support.h"

namespace mainwork {

using mv::ui::TMainForm;

using mainform::WaitFor;

class MainWorkTest : public mainform::MainFormFixture {
 protected:
  void TearDown() override {
    form.reset();
    drive.reset();
    MainFormFixture::TearDown();
  }

  // Starts the simulated drive as COM n and opens the port on it; its stderr
  // (the frame trace with --trace) goes to sim.trace.
  void StartDrive(int n, const std::vector<std::string>& options = {}) {
    std::vector<std::string> args{"--com", std::to_string(n)};
    args.insert(args.end(), options.begin(), options.end());
    drive = std::make_unique<mvtest::SimProcess>(args, dir.File("sim.trace"));
    ASSERT_TRUE(drive->Ok());
    ASSERT_TRUE(WaitFor([&] { return mvtest::FileExists(map.File("COM" + std::to_string(n))); }));
    form->DVXCOMPort.SetPort1(n);
    form->Open1Click();
    ASSERT_TRUE(form->DVXCOMPort.GetOpened()) << prompts.LastMessage();
  }
  // Waits until the running request has ended.
  bool Idle() {
    return WaitFor([&] { return !form->Engine().Busy(); });
  }
  // Frames the drive received, as "rx 77" style lines (needs --trace).
  std::vector<std::string> ReceivedFrames() const {
    std::vector<std::string> out;
    const std::string text = mvtest::ReadFile(dir.File("sim.trace"));
    std::size_t at = 0;
    const std::string tag = "morvane-sim: rx";
    while ((at = text.find(tag, at)) != std::string::npos) {
      const std::size_t end = text.find('\n', at);
      out.push_back(text.substr(at + tag.size(), end - at - tag.size()));
      at = end;
    }
    return out;
  }

  mvtest::TempDir dir;
  std::unique_ptr<mvtest::SimProcess> drive;
};

}  // namespace mainwork
