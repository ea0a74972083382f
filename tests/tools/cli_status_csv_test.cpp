// morvane-cli drive status --csv against morvane-sim: one log line per poll,
// a second run continues the same log, refusals leave files untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/sim_process.h"
#include "support/test_support.h"

namespace {

std::size_t CountLines(const std::string& s) { return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')); }

mvtest::RunResult Drive(const std::string& device, std::vector<std::string> args) {
  args.insert(args.begin(), {mvtest::CliPath(), "drive", "--device", device});
  return mvtest::Run(args);
}

}  // namespace

TEST(CliStatusCsv, OneLinePerPollASecondRunContinuesAndRefusalsTouchNothing) {
  mvtest::SimProcess sim;
  ASSERT_FALSE(sim.Path().empty());
  mvtest::TempDir dir;
  const std::string log = dir.File("status.csv");

  ASSERT_EQ(Drive(sim.Path(), {"start"}).exitCode, 0);
  const auto first = Drive(sim.Path(), {"status", "--every", "200", "--count", "3", "--csv", log});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  std::string text = mvtest::ReadFile(log);
  ASSERT_EQ(CountLines(text), 4u) << text;
  EXPECT_EQ(text.rfind("Time,Phase Current (A),Speed (RPM),", 0), 0u);
  // The printed speed and the logged one are the same text.
  const std::string lastLine = text.substr(text.rfind('\n', text.size() - 2) + 1);
  const std::size_t at = first.out.rfind("Speed (RPM): ");
  ASSERT_NE(at, std::string::npos);
  const std::string speed = first.out.substr(at + 13, first.out.find('\n', at) - at - 13);
  EXPECT_NE(lastLine.find("," + speed + ","), std::string::npos) << lastLine << " / " << speed;

  ASSERT_EQ(Drive(sim.Path(), {"status", "--csv", log}).exitCode, 0);
  text = mvtest::ReadFile(log);
  EXPECT_EQ(CountLines(text), 5u) << text;
  EXPECT_EQ(text.find("Time,", 1), std::string::npos) << "one header only";

  const std::string other = dir.File("notes.txt");
  mvtest::WriteFile(other, "my notes\n");
  const auto refused = Drive(sim.Path(), {"status", "--csv", other});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("is not a status log"), std::string::npos) << refused.err;
  EXPECT_EQ(mvtest::ReadFile(other), "my notes\n");
  EXPECT_EQ(Drive(sim.Path(), {"status", "--csv"}).exitCode, 2);
  // A port that cannot be opened leaves no log behind.
  EXPECT_EQ(Drive(dir.File("no-such-tty"), {"status", "--csv", dir.File("new.csv")}).exitCode, 1);
  EXPECT_FALSE(mvtest::FileExists(dir.File("new.csv")));
}
