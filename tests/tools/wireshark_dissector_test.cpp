// A link trace in Wireshark: text2pcap converts it as the README says and
// tshark reads it with the shipped dissector (packaging/morvane.lua), naming
// the commands, the answers and the profile block's fields. Skipped, saying
// why, where Debian's tshark is not installed.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/sim_process.h"
#include "support/test_support.h"

namespace {

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return std::string();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(WiresharkDissector, NamesCommandsAnswersAndProfileFields) {
  const std::string text2pcap = FindProgram("text2pcap"), tshark = FindProgram("tshark");
  if (text2pcap.empty() || tshark.empty())
    GTEST_SKIP()
        << "tshark or text2pcap is not installed (Debian: apt-get install tshark): the dissector is not checked";
  mvtest::TempDir dir;
  {
    mvtest::SimProcess drive({"--fault", "badsum:0x35:3"});
    ASSERT_TRUE(drive.Ok());
    // save-profile sends the file get-all wrote.
    const std::vector<std::vector<std::string>> runs = {
        {"info"}, {"get-all", dir.Path()}, {"status"}, {"speed", "6000"}, {"save-profile", "2", dir.File("P02.ini")}};
    int n = 0;
    for (const std::vector<std::string>& run : runs) {
      std::vector<std::string> argv{mvtest::CliPath(), "drive",   "--device",
                                    drive.Path(),      "--trace", dir.File("run" + std::to_string(n++) + ".trace")};
      argv.insert(argv.end(), run.begin(), run.end());
      mvtest::Run(argv);
    }
  }
  std::string info, tree;
  for (int i = 0; i < 5; ++i) {
    const std::string trace = dir.File("run" + std::to_string(i) + ".trace");
    const std::string capture = trace + ".pcapng";
    // The options the trace file's header and the README give.
    const mvtest::RunResult c =
        mvtest::Run({text2pcap, "-q", "-D", "-t", "%Y-%m-%d %H:%M:%S.%f", "-l", "147", trace, capture});
    ASSERT_EQ(c.exitCode, 0) << c.err;
    // A home of its own: no personal settings or plugins of whoever runs the test.
    const std::vector<std::string> read{"/usr/bin/env",
                                        "HOME=" + dir.Path(),
                                        "XDG_CONFIG_HOME=" + dir.Path(),
                                        tshark,
                                        "-X",
                                        std::string("lua_script:") + MV_DISSECTOR_PATH,
                                        "-r",
                                        capture};
    std::vector<std::string> columns = read;
    columns.insert(columns.end(), {"-T", "fields", "-e", "_ws.col.Info"});
    const mvtest::RunResult r = mvtest::Run(columns);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(Contains(r.err, "Lua: Error")) << r.err;
    info += r.out;
    std::vector<std::string> verbose = read;
    verbose.push_back("-V");
    tree += mvtest::Run(verbose).out;
  }
  for (const char* shown :
       {"→ CmdGetName", "← 0x77 name \"Morvane SIM-1\"", "→ CmdGetVersion", "← 0xDD version S0001-03, H0002-01",
        "→ CmdGetSerialNo", "← 0x07 serial no 4242", "→ CmdGetHardwareId", "hardware id 0xC1 0x12 0xAB",
        "→ CmdGetProfile P01", "← 0x53 profile P01 (checksum valid)", "← 0x53 profile P03 (INVALID CHECKSUM)",
        "→ Status: Phase Current (A)", "← 0x07 Phase Current (A) 0.0", "← 0x72 Bus Voltage (V) 48.0",
        "→ CmdSetSpeed 6000 RPM", "→ CmdSaveProfile P02", "← 0x07 saved"})
    EXPECT_TRUE(Contains(info, shown)) << shown << "\n" << info;
  for (const char* field :
       {"Answer to: CmdGetProfile (0x35)", "Motor profile P03 \"P03\"", "comment: Default",
        "cont_under_voltage_trip: 260", "motor_speed_max: 7500", "[11] motor_ac_vf_data_speed: 10000",
        "checksum valid: False", "Invalid checksum (0x", "Payload length: 223"})
    EXPECT_TRUE(Contains(tree, field)) << field;
}
