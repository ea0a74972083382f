// The configuration file reader on arbitrary bytes, in memory and from a file
// path. Both ways agree; a refused file changes nothing and says why; an
// accepted one is written back and read again to the same settings.
#include <cstdint>
#include <string>
#include <vector>

#include "core/text_file.h"
#include "fuzz_util.h"
#include "session/config_file.h"

namespace {

mv::AppConfig Sentinel() {
  mv::AppConfig c;
  c.com_port = 31;
  c.baud_rate = PLKDVX::br2400;
  c.data_bits = PLKDVX::db7;
  c.parity = PLKDVX::paOdd;
  c.stop_bits = PLKDVX::sb2;
  c.hex_file = "sentinel.hex";
  c.app_start_address = 0x2800;
  c.motor_profile_start_address = 0x4800;
  c.spl_file_dir = "sentinel";
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mv::AppConfig fromLines;
  std::string message;
  if (!fuzzutil::ReadBothWays(data, size, Sentinel(), mv::ParseConfigLines, mv::ReadConfigFile, fromLines, message))
    return 0;
  FUZZ_CHECK(fromLines.com_port >= 1 && fromLines.com_port <= 32);
  FUZZ_CHECK(fromLines.app_start_address % 2048 == 0);
  FUZZ_CHECK(fromLines.motor_profile_start_address % 2048 == 0);
  FUZZ_CHECK(fromLines.hex_file.size() <= 250 && fromLines.spl_file_dir.size() <= 250);

  const std::vector<std::string> written = mv::ConfigFileLines(fromLines);
  mv::AppConfig again = Sentinel();
  std::string againMessage;
  FUZZ_CHECK(mv::ParseConfigLines(written, again, againMessage));
  FUZZ_CHECK(again == fromLines);
  return 0;
}
