// morvane-cli drive against morvane-sim on a pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "profiles/motor_profile.h"
#include "profiles/profile_file.h"
#include "serial/port_map.h"
#include "support/sim_process.h"
#include "support/test_support.h"

using mvtest::RunResult;
using mvtest::TempDir;

namespace {

// The simulator with its frame trace, and morvane-cli drive aimed at it.
class Sim : public mvtest::TracedSim {
 public:
  using TracedSim::TracedSim;

  // morvane-cli drive --device <terminal> --counters ARGS...
  RunResult Drive(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{mvtest::CliPath(), "drive", "--device", Path(), "--counters"};
    argv.insert(argv.end(), args.begin(), args.end());
    return mvtest::Run(argv);
  }
};

using mvtest::Contains;
using mvtest::Count;

mv::MotorProfile Custom(int slot, const char* name, std::uint16_t maxSpeed) {
  mv::MotorProfile p = mv::MotorProfileDefaults(slot);
  p.SetName(name);
  p.SetU16(mv::off::motor_speed_max, maxSpeed);
  mv::UpdateChecksum(p);
  return p;
}

void WriteProfile(const std::string& path, const mv::MotorProfile& p) {
  std::string msg;
  ASSERT_TRUE(mv::writeMotorProfileFile(path, p, msg)) << msg;
}

mv::MotorProfile ReadProfile(const std::string& path) {
  mv::MotorProfile p;
  std::string msg;
  EXPECT_TRUE(mv::readMotorProfileFile(path, p, msg)) << msg;
  return p;
}

}  // namespace

TEST(CliDrive, InfoShowsTheDriveIdentity) {
  Sim sim({"--serial", "65535"});
  ASSERT_FALSE(sim.Path().empty());
  RunResult r = sim.Drive({"info"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Name: Morvane SIM-1\nVersion: S0001-03, H0002-01\nSerial No: 65535\nHardware ID: 0xC1 0x12 0xAB\n");
  EXPECT_TRUE(Contains(r.err, "Tx=4 Rx=4 TO=0 Errs=0 Busy=0")) << r.err;
  EXPECT_TRUE(Contains(sim.Trace(), "rx 77\nmorvane-sim: rx 0D\nmorvane-sim: rx 78\nmorvane-sim: rx 10 00 00\n"))
      << sim.Trace();
}

TEST(CliDrive, ProfilesTravelBothWaysUnchanged) {
  TempDir dir;
  Sim sim;
  const mv::MotorProfile p3 = Custom(2, "Spindle3", 9000);
  WriteProfile(dir.File("in3.ini"), p3);
  RunResult r = sim.Drive({"save-profile", "3", dir.File("in3.ini")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string trace = sim.Trace();
  ASSERT_TRUE(Contains(trace, "rx 34 02 53 70 69")) << trace;  // slot index 2, then the name
  // One frame of 224 bytes: command, slot, 222 record bytes.
  const std::size_t line = trace.find("rx 34");
  EXPECT_EQ(Count(trace.substr(line, trace.find('\n', line) - line), " "), 224);

  r = sim.Drive({"get-profile", "3", dir.File("out3.ini")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadProfile(dir.File("out3.ini")), p3);
  EXPECT_TRUE(Contains(sim.Trace(), "rx 35 02\n"));

  // All six, written into the folder as P01.ini .. P06.ini.
  std::vector<std::string> saveAll{"save-all"};
  for (int i = 0; i < 6; ++i) {
    const std::string f = dir.File("all" + std::to_string(i) + ".ini");
    WriteProfile(f, Custom(i, ("All" + std::to_string(i)).c_str(), static_cast<std::uint16_t>(5000 + i)));
    saveAll.push_back(f);
  }
  r = sim.Drive(saveAll);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "Tx=6 Rx=6"));
  mkdir(dir.File("got").c_str(), 0755);
  r = sim.Drive({"get-all", dir.File("got")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(ReadProfile(dir.File("got/P0" + std::to_string(i + 1) + ".ini")),
              Custom(i, ("All" + std::to_string(i)).c_str(), static_cast<std::uint16_t>(5000 + i)));
}

TEST(CliDrive, RefusedSavesAndBadChecksumsAreReportedAndWriteNothingWrong) {
  TempDir dir;
  Sim sim({"--fault", "refuse", "--fault", "badsum:0x35:2"});
  WriteProfile(dir.File("p.ini"), Custom(1, "Refused", 6000));
  RunResult r = sim.Drive({"save-profile", "3", dir.File("p.ini")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "ERROR: Motor profile 3 not changed\n")) << r.err;
  // Every save of a batch the drive refused is said, none passed as done.
  r = sim.Drive({"save-all", dir.File("p.ini"), dir.File("p.ini"), dir.File("p.ini"), dir.File("p.ini"),
                 dir.File("p.ini"), dir.File("p.ini")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Count(r.err, " not changed\n"), 6) << r.err;

  // First get: fine. Second get: a corrupted block.
  r = sim.Drive({"get-profile", "4", dir.File("first.ini")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = sim.Drive({"get-profile", "4", dir.File("second.ini")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "Motor profile 4: Invalid Checksum")) << r.err;
  EXPECT_FALSE(mvtest::FileExists(dir.File("second.ini")));
  EXPECT_EQ(ReadProfile(dir.File("first.ini")), mv::MotorProfileDefaults(3));  // the refused save changed nothing
}

TEST(CliDrive, GetAllWritesTheGoodProfilesBeforeReportingABadOne) {
  TempDir dir;
  Sim sim({"--fault", "badsum:0x35:4"});
  RunResult r = sim.Drive({"get-all", dir.Path()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "Motor profile 4: Invalid Checksum")) << r.err;
  EXPECT_TRUE(Contains(r.err, "Tx=6 Rx=6 TO=0 Errs=0"));
  EXPECT_TRUE(Contains(r.err, "get-all: not written: " + dir.File("P04.ini") + "\n")) << r.err;
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(mvtest::FileExists(dir.File("P0" + std::to_string(i) + ".ini")), i != 4) << i;
}

TEST(CliDrive, BadArgumentsAndFilesAreRefusedBeforeAnythingIsSent) {
  TempDir dir;
  Sim sim;
  mvtest::WriteFile(dir.File("broken.ini"), "Motor Profile Configuration File\r\n");
  RunResult r = sim.Drive({"save-profile", "2", dir.File("broken.ini")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "ERROR: - ")) << r.err;
  WriteProfile(dir.File("ok.ini"), mv::MotorProfileDefaults(0));
  r = sim.Drive({"save-all", dir.File("ok.ini"), dir.File("ok.ini"), dir.File("ok.ini"), dir.File("ok.ini"),
                 dir.File("ok.ini"), dir.File("missing.ini")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(sim.Drive({"get-profile", "7", dir.File("x.ini")}).exitCode, 2);
  EXPECT_EQ(sim.Drive({"activate", "0"}).exitCode, 2);
  EXPECT_EQ(sim.Drive({"speed", "fast"}).exitCode, 2);
  EXPECT_EQ(sim.Drive({"status", "--every"}).exitCode, 2);
  EXPECT_EQ(sim.Drive({"launch"}).exitCode, 2);
  EXPECT_EQ(sim.Drive({"get-all", dir.File("no-such-folder")}).exitCode, 1);
  EXPECT_EQ(mvtest::Run({mvtest::CliPath(), "drive", "info"}).exitCode, 2);  // no port given
  EXPECT_EQ(mvtest::Run({mvtest::CliPath(), "drive", "--port", "1", "--device", sim.Path(), "info"}).exitCode, 2);
  EXPECT_EQ(mvtest::Run({mvtest::CliPath(), "drive", "--device", sim.Path(), "--baud", "1234", "info"}).exitCode, 2);
  EXPECT_FALSE(Contains(sim.Trace(), "rx ")) << sim.Trace();

  r = mvtest::Run({mvtest::CliPath(), "drive", "--device", dir.File("no-such-tty"), "info"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "cannot open")) << r.err;
}

TEST(CliDrive, ControlCommandsDriveTheMotorAndStatusShowsIt) {
  Sim sim;
  ASSERT_EQ(sim.Drive({"activate", "2"}).exitCode, 0);
  ASSERT_EQ(sim.Drive({"activate", "none"}).exitCode, 0);
  ASSERT_EQ(sim.Drive({"activate", "1"}).exitCode, 0);
  RunResult r = sim.Drive({"speed", "120000"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "taken as 100000 RPM"));
  ASSERT_EQ(sim.Drive({"speed", "6000"}).exitCode, 0);
  ASSERT_EQ(sim.Drive({"start"}).exitCode, 0);

  r = sim.Drive({"status", "--every", "50", "--count", "3"});  // 50 ms is taken as 200
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Count(r.out, "Phase Current (A): "), 3);
  EXPECT_EQ(Count(r.out, "Bus Voltage (V): "), 3);
  EXPECT_TRUE(Contains(r.out, "Status Bits: Start/Stop, Motor Connect"));
  EXPECT_TRUE(Contains(r.out, "Internal Status Bits: (none lit)"));
  EXPECT_TRUE(Contains(r.err, "Tx=27 Rx=27 TO=0 Errs=0")) << r.err;

  ASSERT_EQ(sim.Drive({"stop"}).exitCode, 0);
  ASSERT_EQ(sim.Drive({"reset"}).exitCode, 0);
  const std::string trace = sim.Trace();
  for (const char* frame : {"rx 90 01\n", "rx 90 06\n", "rx 90 00\n", "rx 01 10 27\n", "rx 01 58 02\n", "rx 24\n",
                            "rx F1 00 00\n", "rx 25\n", "rx 39 07 77\n"})
    EXPECT_TRUE(Contains(trace, frame)) << frame;
}

TEST(CliDrive, UnderVoltageLightsItsLampsUntilTheSupplyRecovers) {
  Sim sim({"--supply", "300"});
  RunResult r = sim.Drive({"status"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Status: 00C4\n")) << r.out;  // motor connect, stopped, under voltage
  EXPECT_TRUE(Contains(r.out, "Status Bits: Motor Connect, Stopped, Under Voltage\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Internal Status Bits: Under Voltage\n")) << r.out;
  ASSERT_EQ(sim.Drive({"start"}).exitCode, 0);  // refused by the drive, not by the link
}

TEST(CliDrive, EachLineFaultAbandonsTheRequestWithAReason) {
  struct Case {
    const char* fault;
    const char* counter;
  };
  for (const Case& c : {Case{"none", "TO=1"}, Case{"late", "TO=1"}, Case{"gap", "TO=1"}, Case{"badcode", "Errs=1"},
                        Case{"garbage", "Errs="}}) {
    SCOPED_TRACE(c.fault);
    Sim sim({"--fault", std::string(c.fault) + ":0x0D", "--seed", "7"});
    RunResult r = sim.Drive({"info"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "request abandoned at step 2")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Tx=2 Rx=1")) << r.err;
    EXPECT_TRUE(Contains(r.err, c.counter)) << r.err;
    EXPECT_EQ(r.out, "Name: Morvane SIM-1\n");  // what arrived before the failed step
    // The drive still answers the next request, and an answer that came
    // after the host had gone is not waiting for it.
    usleep(500000);
    EXPECT_EQ(sim.Drive({"start"}).exitCode, 0);
  }
}

TEST(CliDrive, PortNumberThroughThePortMapAndTheLinkIsRemovedAtTheEnd) {
  TempDir dir;
  const std::string map = dir.File("ports");
  setenv("MORVANE_PORT_MAP", map.c_str(), 1);
  {
    Sim sim({"--com", "7"});
    ASSERT_FALSE(sim.Path().empty());
    struct stat st {};
    ASSERT_EQ(lstat((map + "/COM7").c_str(), &st), 0);
    RunResult r = mvtest::Run({mvtest::CliPath(), "drive", "--port", "7", "info"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // A second simulator does not take over a live link.
    Sim second({"--com", "7"});
    EXPECT_EQ(second.Stop(), 1);
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(lstat((map + "/COM7").c_str(), &st), 0);
  }
  unsetenv("MORVANE_PORT_MAP");
}

// A simulator killed with SIGKILL cannot remove its link. The terminal's
// number may then be another program's: the link is not followed there, and
// the next simulator for the port takes it over without help.
TEST(CliDrive, KilledSimulatorsLinkLeadsNowhereAndTheNextOneTakesThePort) {
  TempDir dir;
  const std::string map = dir.File("ports");
  setenv("MORVANE_PORT_MAP", map.c_str(), 1);
  mvtest::SimProcess dead({"--com", "7"});
  ASSERT_TRUE(dead.Ok());
  const std::string terminal = dead.Path();
  kill(dead.pid(), SIGKILL);
  dead.Stop();
  // Terminals are numbered lowest free first: holding every lower one gets
  // the dead simulator's number unless another program took it meanwhile.
  std::vector<int> held;
  int other = -1;
  for (int i = 0; i < 256 && other < 0; ++i) {
    const int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) break;
    if (terminal == ptsname(m))
      other = m;
    else
      held.push_back(m);
  }

  EXPECT_EQ(mv::PortDevicePath(7), "");
  EXPECT_NE(mvtest::Run({mvtest::CliPath(), "drive", "--port", "7", "info"}).exitCode, 0);
  char byte;
  if (other >= 0) {
    EXPECT_EQ(read(other, &byte, 1), -1) << "the drive's bytes went to another program's terminal";
  }

  Sim next({"--com", "7"});
  ASSERT_TRUE(next.Ok());
  EXPECT_EQ(mv::PortDevicePath(7), next.Path());
  RunResult r = mvtest::Run({mvtest::CliPath(), "drive", "--port", "7", "info"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(next.Stop(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(map));
  for (int m : held) close(m);
  if (other >= 0) close(other);
  unsetenv("MORVANE_PORT_MAP");
}
