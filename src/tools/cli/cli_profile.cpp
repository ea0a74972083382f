#include <cstdio>
#include <cstring>
#include <string>

#include "profiles/motor_profile.h"
#include "profiles/profile_file.h"
#include "tools/cli/cli.h"

namespace mv::cli {

namespace {

constexpr const char* kProfileUsage =
    "profile default SLOT OUT | profile check FILE | profile dump FILE | profile from-bytes HEX444 OUT";

int Refused(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

// Slot numbers are 1..6, written as one plain digit.
bool ParseSlot(const char* text, int& slot) {
  if (std::strlen(text) != 1 || text[0] < '1' || text[0] > '0' + kSlotCount) return false;
  slot = text[0] - '0';
  return true;
}

}  // namespace

int Profile(int argc, char** argv) {
  if (argc < 1) return Usage(kProfileUsage);
  const std::string cmd = argv[0];
  std::string message;
  if (cmd == "default") {
    int slot = 0;
    if (argc != 3) return Usage("profile default SLOT OUT");
    if (!ParseSlot(argv[1], slot)) return Usage("profile default SLOT OUT (SLOT is 1 to 6)");
    if (!writeMotorProfileFile(argv[2], MotorProfileDefaults(slot - 1), message)) return Refused(message);
    return 0;
  }
  if (cmd == "check" || cmd == "dump") {
    if (argc != 2) return Usage(cmd == "check" ? "profile check FILE" : "profile dump FILE");
    MotorProfile p;
    if (!readMotorProfileFile(argv[1], p, message)) return Refused(message);
    if (cmd == "dump") std::printf("%s\n", profileToHex(p).c_str());
    return 0;
  }
  if (cmd == "from-bytes") {
    if (argc != 3) return Usage("profile from-bytes HEX444 OUT");
    MotorProfile p;
    if (!profileFromHex(argv[1], p))
      return Usage("profile from-bytes HEX444 OUT (HEX444 is the 222 record bytes as 444 hex digits)");
    if (!writeMotorProfileFile(argv[2], p, message)) return Refused(message);
    return 0;
  }
  return Usage(kProfileUsage);
}

}  // namespace mv::cli
