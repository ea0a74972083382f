// morvane-cli profile diff, end to end: files against files and against the
// simulated drive; "field: A -> B" in display units; exit 0 equal, 1 different,
// 2 usage or a side that cannot be read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "profiles/motor_profile.h"
#include "profiles/profile_file.h"
#include "support/sim_process.h"
#include "support/test_support.h"

namespace {

using mvtest::CliPath;
using mvtest::RunResult;
using mvtest::TempDir;
using mvtest::TracedSim;

using mvtest::Contains;

RunResult Diff(std::vector<std::string> args) {
  args.insert(args.begin(), {CliPath(), "profile", "diff"});
  return mvtest::Run(args);
}

std::string Write(const TempDir& dir, const std::string& name, const mv::MotorProfile& p) {
  const std::string path = dir.File(name);
  std::string message;
  EXPECT_TRUE(mv::writeMotorProfileFile(path, p, message)) << message;
  return path;
}

// Slot P01's defaults with four fields changed, one of each kind of display.
mv::MotorProfile Edited() {
  mv::MotorProfile p = mv::MotorProfileDefaults(0);
  p.SetComment("Bench");
  p.SetU16(mv::off::cont_under_voltage_trip, 360);
  p.SetU16(mv::off::motor_speed_max, 7000);
  p.SetVf(mv::off::motor_ac_vf_data_voltage_no_load, 2, 65);
  mv::UpdateChecksum(p);
  return p;
}

std::string EditedLines(const std::string& arrow) {
  const std::string sum = std::to_string(Edited().Checksum());
  auto line = [&](const std::string& key, const std::string& a, const std::string& b) {
    return key + ": " + (arrow == "->" ? a + " -> " + b : b + " -> " + a) + "\n";
  };
  return line("comment", "\"Default\"", "\"Bench\"") + line("cont_under_voltage_trip", "35.0 V", "36.0 V") +
         line("motor_speed_max", "75000 RPM", "70000 RPM") +
         line("motor_ac_vf_data_voltage_no_load[2]", "6.0 Volts", "6.5 Volts") + line("checksum", "54716", sum);
}

TEST(CliProfileDiff, FilesPrintTheDifferingFieldsInDisplayUnits) {
  TempDir dir;
  const std::string a = Write(dir, "a.ini", mv::MotorProfileDefaults(0));
  const std::string b = Write(dir, "b.ini", Edited());

  RunResult r = Diff({a, b});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out, EditedLines("->"));
  EXPECT_EQ(r.err, "");
  r = Diff({b, a});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, EditedLines("<-"));

  r = Diff({a, Write(dir, "same.ini", mv::MotorProfileDefaults(0))});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
}

TEST(CliProfileDiff, BadArgumentsAndUnreadableSidesAreTroubleNotDifferences) {
  TempDir dir;
  const std::string a = Write(dir, "a.ini", mv::MotorProfileDefaults(0));
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {a},
                                             {a, a, a},
                                             {a, "drive:7"},
                                             {a, "drive:"},
                                             {a, "drive:1"},         // no port
                                             {a, a, "--port", "1"},  // port without a drive side
                                             {a, "drive:1", "--port", "1", "--device", "/dev/null"},
                                             {a, "drive:1", "--port", "33"},
                                             {a, "drive:1", "--device"},
                                             {a, "drive:1", "--device", "/dev/null", "--baud", "1234"}}) {
    const RunResult r = Diff(args);
    EXPECT_EQ(r.exitCode, 2) << ::testing::PrintToString(args);
    EXPECT_TRUE(Contains(r.err, "usage")) << r.err;
    EXPECT_EQ(r.out, "");
  }

  RunResult r = Diff({a, dir.File("missing.ini")});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, "ERROR: - unable to read motor profile file")) << r.err;

  std::string text = mvtest::ReadFile(a);
  text.replace(text.find("cont_pwm_freq: 90"), 17, "cont_pwm_freq: 91");
  mvtest::WriteFile(dir.File("stale.ini"), text);
  r = Diff({dir.File("stale.ini"), a});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, "ERROR: - Invalid checksum got 54716")) << r.err;

  // A bad file is found before the drive is asked: the port is never opened.
  r = Diff({dir.File("missing.ini"), "drive:1", "--device", dir.File("no-tty")});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_FALSE(Contains(r.err, "cannot open")) << r.err;

  r = Diff({a, "drive:1", "--device", dir.File("no-tty")});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(Contains(r.err, "cannot open " + dir.File("no-tty"))) << r.err;
  EXPECT_TRUE(Contains(r.err, "unplugged")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(CliProfileDiff, DriveSidesAreReadWithGetProfileOnly) {
  TempDir dir;
  TracedSim sim;
  ASSERT_FALSE(sim.Path().empty());
  const std::string p01 = Write(dir, "p01.ini", mv::MotorProfileDefaults(0));
  const std::string edited = Write(dir, "edited.ini", Edited());

  RunResult r = Diff({p01, "drive:1", "--device", sim.Path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");

  r = Diff({"--device", sim.Path(), "drive:1", edited});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out, EditedLines("->"));

  r = Diff({"drive:2", "drive:1", "--device", sim.Path(), "--baud", "115200"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out, "name: \"P02\" -> \"P01\"\nchecksum: 54715 -> 54716\n");

  // Only reads went to the drive: 0x35 with the slot index, nothing saved.
  const std::string trace = sim.Trace();
  EXPECT_FALSE(Contains(trace, " 34 ")) << trace;
  EXPECT_TRUE(Contains(trace, " 35 00")) << trace;
  EXPECT_TRUE(Contains(trace, " 35 01")) << trace;
}

TEST(CliProfileDiff, DriveFaultsAreToldAndABadChecksumIsShownNotHidden) {
  TempDir dir;
  const std::string p01 = Write(dir, "p01.ini", mv::MotorProfileDefaults(0));
  {
    TracedSim sim({"--fault", "badsum:0x35"});
    const RunResult r = Diff({p01, "drive:1", "--device", sim.Path()});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "drive:1: Motor profile 1: Invalid Checksum")) << r.err;
    EXPECT_TRUE(Contains(r.out, "cont_under_voltage_trip: 35.0 V -> ")) << r.out;
  }
  {
    TracedSim sim({"--fault", "none:0x35"});
    const RunResult r = Diff({p01, "drive:1", "--device", sim.Path()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "drive:1: no answer from the drive (timeout)")) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
