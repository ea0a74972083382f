// morvane-cli drive status --csv against morvane-sim: one log line per poll,
// a second run continues the same log, refusals leave files untouched.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace {

class SimDrive {
 public:
  SimDrive() {
    std::string sim = mvtest::SimPath();
    char* argv[] = {sim.data(), nullptr};
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (pid_ > 0 && poll(&p, 1, 5000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') path_ += c;
    close(out[0]);
  }
  ~SimDrive() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  SimDrive(const SimDrive&) = delete;
  SimDrive& operator=(const SimDrive&) = delete;

  mvtest::RunResult Drive(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{mvtest::CliPath(), "drive", "--device", path_};
    argv.insert(argv.end(), args.begin(), args.end());
    return mvtest::Run(argv);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

std::size_t CountLines(const std::string& s) { return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')); }

}  // namespace

TEST(CliStatusCsv, OneLinePerPollAndASecondRunContinuesTheLog) {
  SimDrive sim;
  ASSERT_FALSE(sim.path().empty());
  mvtest::TempDir dir;
  const std::string log = dir.file("status.csv");

  ASSERT_EQ(sim.Drive({"start"}).exitCode, 0);
  const auto first = sim.Drive({"status", "--every", "200", "--count", "3", "--csv", log});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  std::string text = mvtest::ReadFile(log);
  ASSERT_EQ(CountLines(text), 4u) << text;
  EXPECT_EQ(text.rfind("Time,Phase Current (A),Speed (RPM),", 0), 0u);
  // The printed fields and the logged line carry the same texts.
  const std::string lastLine = text.substr(text.rfind('\n', text.size() - 2) + 1);
  const std::size_t at = first.out.rfind("Speed (RPM): ");
  ASSERT_NE(at, std::string::npos);
  const std::string speed = first.out.substr(at + 13, first.out.find('\n', at) - at - 13);
  EXPECT_NE(lastLine.find("," + speed + ","), std::string::npos) << lastLine << " / " << speed;
  EXPECT_NE(lastLine.find(",0x"), std::string::npos) << lastLine;

  const auto second = sim.Drive({"status", "--csv", log});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  text = mvtest::ReadFile(log);
  EXPECT_EQ(CountLines(text), 5u) << text;
  EXPECT_EQ(text.find("Time,", 1), std::string::npos) << "one header only";
}

TEST(CliStatusCsv, RefusalsLeaveFilesAsTheyWere) {
  SimDrive sim;
  ASSERT_FALSE(sim.path().empty());
  mvtest::TempDir dir;
  const std::string other = dir.file("notes.txt");
  mvtest::WriteFile(other, "my notes\n");
  const auto r = sim.Drive({"status", "--csv", other});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("is not a status log"), std::string::npos) << r.err;
  EXPECT_EQ(mvtest::ReadFile(other), "my notes\n");

  EXPECT_EQ(sim.Drive({"status", "--csv"}).exitCode, 2);
  // A port that cannot be opened leaves no log behind.
  const std::string log = dir.file("status.csv");
  const auto closed = mvtest::Run({mvtest::CliPath(), "drive", "--device", dir.file("no-such-tty"), "status", "--csv", log});
  EXPECT_EQ(closed.exitCode, 1);
  EXPECT_FALSE(mvtest::FileExists(log));
}
