// morvane-cli drive against a simulated drive that keeps a real line's pace
// or stops reading for a while, and against devices that cannot be had.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "profiles/motor_profile.h"
#include "profiles/profile_file.h"
#include "support/sim_process.h"
#include "support/test_support.h"

using mvtest::RunResult;
using mvtest::TempDir;

namespace {

using mvtest::Contains;
using mvtest::Count;

RunResult Drive(const std::string& device, const std::vector<std::string>& args) {
  std::vector<std::string> argv{mvtest::CliPath(), "drive", "--device", device, "--counters"};
  argv.insert(argv.end(), args.begin(), args.end());
  return mvtest::Run(argv);
}

}  // namespace

// At 9600 bit/s a profile frame takes about 233 ms on the line before the
// drive can answer; the first-byte timeout leaves room for it.
TEST(CliDriveLine, ProfilesTravelAt9600Baud) {
  TempDir dir;
  mvtest::TracedSim sim({"--baud", "9600"});
  ASSERT_TRUE(sim.Ok());
  mv::MotorProfile p = mv::MotorProfileDefaults(3);
  p.SetName("Slow line");
  mv::UpdateChecksum(p);
  std::string msg;
  ASSERT_TRUE(mv::writeMotorProfileFile(dir.File("in.ini"), p, msg)) << msg;
  RunResult r = Drive(sim.Path(), {"--baud", "9600", "save-profile", "4", dir.File("in.ini")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "Tx=1 Rx=1 TO=0")) << r.err;
  r = Drive(sim.Path(), {"--baud", "9600", "get-profile", "4", dir.File("out.ini")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  mv::MotorProfile back;
  ASSERT_TRUE(mv::readMotorProfileFile(dir.File("out.ini"), back, msg)) << msg;
  EXPECT_EQ(back, p);
}

// A drive that stops reading: the request ends in its timeout, and the frame
// that waited in the line is withdrawn when the failure is reported, so the
// drive never acts on it later. The identity fields that did arrive are
// still printed.
TEST(CliDriveLine, StalledDriveEndsInATimeoutAndNeverGetsTheFailedFrame) {
  mvtest::TracedSim sim({"--stall", "400@2"});
  ASSERT_TRUE(sim.Ok());
  RunResult r = Drive(sim.Path(), {"info"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Name: Morvane SIM-1\n");
  EXPECT_TRUE(Contains(r.err, "info: request abandoned at step 2: no answer from the drive (timeout)")) << r.err;
  EXPECT_TRUE(Contains(r.err, "Tx=2 Rx=1 TO=1 Errs=0 Busy=0")) << r.err;
  usleep(600 * 1000);  // the stall ends
  const std::string trace = sim.Trace();
  EXPECT_TRUE(Contains(trace, "stalled for 400 ms before frame 2")) << trace;
  EXPECT_TRUE(Contains(trace, "the host withdrew 1 bytes")) << trace;
  EXPECT_EQ(Count(trace, "rx 77\n"), 1) << trace;
  EXPECT_EQ(Count(trace, "morvane-sim: rx"), 1) << trace;
}

// A device another program holds, or one that is not there, is said in the
// window's words.
TEST(CliDriveLine, BusyOrMissingDeviceIsSaidInWords) {
  mvtest::SimProcess sim;
  ASSERT_TRUE(sim.Ok());
  const int holder = ::open(sim.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  RunResult r = Drive(sim.Path(), {"info"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(
      Contains(r.err, "morvane-cli: cannot open " + sim.Path() + ": " + sim.Path() + " is in use by another program"))
      << r.err;
  EXPECT_FALSE(Contains(r.err, "CreateFile")) << r.err;
  ::close(holder);

  TempDir dir;
  r = Drive(dir.File("ttyUSB9"), {"info"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "There is no device at " + dir.File("ttyUSB9"))) << r.err;
  EXPECT_FALSE(Contains(r.err, "CreateFile")) << r.err;
}

// After a stalled drive's request failed, no later poll may take an answer
// that was another request's: every poll shown holds the drive's own values
// (a stopped drive on 48 V), none of them one field late.
TEST(CliDriveLine, PollsAfterAStallShowOnlyTheirOwnAnswers) {
  mvtest::TracedSim sim({"--stall", "400@5"});
  ASSERT_TRUE(sim.Ok());
  const RunResult r = Drive(sim.Path(), {"status", "--every", "200", "--count", "6"});
  EXPECT_EQ(r.exitCode, 1);  // the stalled polls are said
  EXPECT_TRUE(Contains(r.err, "of 6 polls abandoned, first: no answer from the drive (timeout)")) << r.err;
  const int shown = Count(r.out, "Bus Voltage (V): ");
  EXPECT_GE(shown, 3) << r.out;
  EXPECT_EQ(Count(r.out, "Bus Voltage (V): 48.0\n"), shown) << r.out;
  EXPECT_EQ(Count(r.out, "Phase Current (A): 0.0\n"), shown) << r.out;
  EXPECT_EQ(Count(r.out, "Status: 0044\n"), shown) << r.out;
}

// Ctrl-C while the tool polls ends it cleanly: the step in flight ends, the
// port is closed, a word on stderr and exit code 130.
TEST(CliDriveLine, CtrlCEndsAPollCleanly) {
  mvtest::TracedSim sim;
  ASSERT_TRUE(sim.Ok());
  const RunResult r =
      mvtest::Run({mvtest::CliPath(), "drive", "--device", sim.Path(), "status", "--every", "200", "--count", "1000"},
                  "", SIGINT, 700);
  EXPECT_EQ(r.exitCode, 130);
  EXPECT_TRUE(Contains(r.err, "morvane-cli: status: interrupted; the port is closed\n")) << r.err;
  EXPECT_TRUE(Contains(r.out, "Bus Voltage (V): 48.0\n")) << r.out;
  EXPECT_FALSE(Contains(sim.Trace(), "dropped partial frame")) << sim.Trace();
}
