// Shared pieces of the main window's work tests: an event-loop wait, a
// simulated drive started with options and mapped as COMn, and a fixture
// whose main window uses scripted prompts and a temporary port map.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "app/ui/log_window.h"
#include "app/ui/main_form.h"
#include "support/scripted_prompts.h"
#include "support/test_support.h"

extern char** environ;

namespace mainwork {

// Runs the event loop, as the application does, until done() or the time is up.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  if (done()) return true;
  QEventLoop loop;
  QTimer tick;
  QTimer deadline;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  deadline.setSingleShot(true);
  tick.start(5);
  deadline.start(ms);
  loop.exec();
  return done();
}

// morvane-sim with `--com N` and extra options; its terminal is linked into
// the port map of the environment. stderr (the frame trace with --trace)
// goes to a file. Ended with SIGTERM when the object goes.
class Drive {
 public:
  Drive(int com, const std::vector<std::string>& options, const std::string& traceFile) {
    std::vector<std::string> args = {mvtest::SimPath(), "--com", std::to_string(com)};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, traceFile.empty() ? "/dev/null" : traceFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (pid_ > 0 && poll(&p, 1, 5000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') path_ += c;
    close(out[0]);
  }
  ~Drive() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;
  bool Ok() const { return pid_ > 0 && !path_.empty(); }

 private:
  pid_t pid_ = -1;
  std::string path_;
};

class MainWorkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("MORVANE_PORT_MAP", map.path().c_str(), 1);
    form = std::make_unique<TMainForm>(&prompts, nullptr, QString::fromStdString(logs.file("host.log")));
  }
  void TearDown() override {
    form.reset();
    drive.reset();
    unsetenv("MORVANE_PORT_MAP");
  }

  // Starts the simulated drive as COM n and opens the port on it.
  void StartDrive(int n, const std::vector<std::string>& options = {}) {
    drive = std::make_unique<Drive>(n, options, dir.file("sim.trace"));
    ASSERT_TRUE(drive->Ok());
    ASSERT_TRUE(WaitFor([&] { return mvtest::FileExists(map.file("COM" + std::to_string(n))); }));
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
    const std::string text = mvtest::ReadFile(dir.file("sim.trace"));
    std::size_t at = 0;
    const std::string tag = "morvane-sim: rx";
    while ((at = text.find(tag, at)) != std::string::npos) {
      const std::size_t end = text.find('\n', at);
      out.push_back(text.substr(at + tag.size(), end - at - tag.size()));
      at = end;
    }
    return out;
  }
  std::string LogText() const {
    std::string out;
    for (const QString& l : form->LogWindow->Lines()) out += l.toStdString() + "\n";
    return out;
  }
  // Panels 1..10 as one line.
  std::string Counters() const {
    std::string out;
    for (int i = 1; i < TMainForm::kPanelCount; ++i) out += (i > 1 ? " " : "") + form->PanelText(i).toStdString();
    return out;
  }

  mvtest::TempDir map;
  mvtest::TempDir logs;
  mvtest::TempDir dir;
  mvtest::ScriptedPrompts prompts;
  std::unique_ptr<Drive> drive;
  std::unique_ptr<TMainForm> form;
};

}  // namespace mainwork
