// A field problem at a desk: morvane-cli drive --trace records a run against
// a misbehaving drive, morvane-sim --replay plays the drive's side of it, and
// the same command gives the same output, exit code and files again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/sim_process.h"
#include "support/test_support.h"

using mvtest::RunResult;
using mvtest::TempDir;

namespace {

RunResult Drive(const std::string& device, const std::vector<std::string>& args) {
  std::vector<std::string> argv{mvtest::CliPath(), "drive", "--device", device, "--counters"};
  argv.insert(argv.end(), args.begin(), args.end());
  return mvtest::Run(argv);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
    text.replace(p, from.size(), to);
  return text;
}

// The files of a folder and their contents.
std::vector<std::pair<std::string, std::string>> Files(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& f : std::filesystem::directory_iterator(folder))
    out.emplace_back(f.path().filename().string(), mvtest::ReadFile(f.path().string()));
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(TraceReplay, AFaultyRunReplaysToTheSameOutputExitCodeAndFiles) {
  const struct {
    const char* fault;
    std::vector<std::string> command;  // "DIR" is the output folder
  } cases[] = {
      {"badsum:0x35:3", {"get-all", "DIR"}},  // a profile with a wrong checksum
      {"gap:0x35:2", {"get-all", "DIR"}},     // a pause inside an answer
      // An answer after the timeout, while the next poll waits for a quiet line.
      {"late:0x42:1", {"status", "--every", "200", "--count", "3"}},
      {"none:0x78", {"info"}},  // no answer
      {"badcode:0x42", {"status"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::filesystem::create_directory(dir.File("field"));
    std::filesystem::create_directory(dir.File("desk"));
    auto args = [&](const std::string& folder, const std::string& trace) {
      std::vector<std::string> a{"--trace", trace};
      for (const std::string& w : c.command) a.push_back(w == "DIR" ? dir.File(folder) : w);
      return a;
    };
    RunResult field, desk;
    {
      mvtest::SimProcess drive({"--fault", c.fault});
      ASSERT_TRUE(drive.Ok()) << c.fault;
      field = Drive(drive.Path(), args("field", dir.File("field.trace")));
    }
    mvtest::SimProcess replay({"--replay", dir.File("field.trace")}, dir.File("replay.err"));
    ASSERT_TRUE(replay.Ok()) << c.fault;
    desk = Drive(replay.Path(), args("desk", dir.File("desk.trace")));
    EXPECT_NE(field.exitCode, 0) << c.fault << ": " << field.err;
    EXPECT_EQ(desk.exitCode, field.exitCode) << c.fault << ": " << desk.err;
    EXPECT_EQ(desk.out, field.out) << c.fault;
    EXPECT_EQ(Replace(desk.err, dir.File("desk"), "DIR"), Replace(field.err, dir.File("field"), "DIR")) << c.fault;
    EXPECT_EQ(Files(dir.File("desk")), Files(dir.File("field"))) << c.fault;
    EXPECT_EQ(replay.Stop(), 0) << c.fault << ": " << replay.Trace();
  }
}

TEST(TraceReplay, AFrameTheTraceDoesNotHoldIsSaidAndNothingIsAnsweredAnyMore) {
  TempDir dir;
  {
    mvtest::SimProcess drive;
    ASSERT_EQ(Drive(drive.Path(), {"--trace", dir.File("one.trace"), "get-profile", "1", dir.File("p1.ini")}).exitCode,
              0);
  }
  const std::string trace = mvtest::ReadFile(dir.File("one.trace"));
  EXPECT_NE(trace.find("port opened: "), std::string::npos) << trace;
  EXPECT_NE(trace.find("port closed"), std::string::npos) << trace;

  mvtest::SimProcess replay({"--replay", dir.File("one.trace")}, dir.File("replay.err"));
  const RunResult other = Drive(replay.Path(), {"get-profile", "2", dir.File("p2.ini")});
  EXPECT_NE(other.exitCode, 0);
  EXPECT_NE(other.err.find("no answer from the drive (timeout)"), std::string::npos) << other.err;
  EXPECT_EQ(Drive(replay.Path(), {"get-profile", "1", dir.File("p1.ini")}).exitCode, 1);  // nothing any more
  EXPECT_EQ(replay.Stop(), 3);
  EXPECT_NE(replay.Trace().find("frame 1 is not the trace's (line "), std::string::npos) << replay.Trace();
  EXPECT_NE(replay.Trace().find("the host sent 35 01, the trace holds 35 00; no more answers"), std::string::npos)
      << replay.Trace();

  // A file that is no trace, and options a replay has no use for, are refused at once.
  mvtest::WriteFile(dir.File("no.trace"), "hello\n");
  RunResult bad = mvtest::Run({mvtest::SimPath(), "--replay", dir.File("no.trace")});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("no.trace: line 1: not a link trace"), std::string::npos) << bad.err;
  bad = mvtest::Run({mvtest::SimPath(), "--replay", dir.File("one.trace"), "--fault", "late"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("it takes no --fault"), std::string::npos) << bad.err;
  // The trace's folder is checked before the port is opened.
  bad = Drive("/dev/null", {"--trace", dir.File("missing/t.trace"), "info"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("missing/ is not a folder"), std::string::npos) << bad.err;
}
