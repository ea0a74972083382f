// morvane-sim running in the background for a test: started with the given
// options, its terminal's path read from the first line it prints, and ended
// with SIGTERM by Stop() or when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace mvtest {

// Where the simulator's stderr (its frame trace with --trace) goes.
enum class SimStderr {
  Discard,  // /dev/null
  Capture,  // a file of the object's own, read back with Trace()
  Inherit,  // the test program's own stderr
};

class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& options = {}, SimStderr err = SimStderr::Discard) {
    if (err == SimStderr::Capture) {
      dir_ = std::make_unique<TempDir>();
      traceFile_ = dir_->File("sim.trace");
    }
    Start(options, err);
  }
  // stderr into `traceFile` (created or emptied; "" = discarded), which the
  // test may also read itself.
  SimProcess(const std::vector<std::string>& options, const std::string& traceFile) : traceFile_(traceFile) {
    Start(options, SimStderr::Discard);
  }
  ~SimProcess() { Stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Ends the simulator as a user would (SIGTERM) and returns its exit code:
  // -1 when it did not exit by itself or never started. Later calls return
  // the same code.
  int Stop() {
    if (pid_ <= 0) return exitCode_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exitCode_;
  }
  // Started and told its terminal.
  bool Ok() const { return pid_ > 0 && !path_.empty(); }
  const std::string& Path() const { return path_; }
  pid_t pid() const { return pid_; }
  // What it wrote to stderr so far ("" unless captured into a file).
  std::string Trace() const { return traceFile_.empty() ? std::string() : ReadFile(traceFile_); }

 private:
  void Start(const std::vector<std::string>& options, SimStderr err) {
    std::vector<std::string> args{SimPath()};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Close-on-exec, so that no other program started meanwhile holds the
    // write end open and the read below always ends.
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (!traceFile_.empty())
      posix_spawn_file_actions_addopen(&fa, 2, traceFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    else if (err == SimStderr::Discard)
      posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    // The first line is the terminal's path; a simulator that ends without
    // one leaves it empty.
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (pid_ > 0 && poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') path_ += c;
    close(out[0]);
  }

  std::unique_ptr<TempDir> dir_;
  std::string traceFile_;
  std::string path_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

// morvane-sim --trace with further options; the frame trace is captured for
// Trace().
class TracedSim : public SimProcess {
 public:
  explicit TracedSim(const std::vector<std::string>& options = {})
      : SimProcess(WithTrace(options), SimStderr::Capture) {}

 private:
  static std::vector<std::string> WithTrace(std::vector<std::string> options) {
    options.insert(options.begin(), "--trace");
    return options;
  }
};

}  // namespace mvtest
