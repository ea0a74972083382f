#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/field_parse.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "profiles/motor_profile.h"
#include "profiles/profile_compare.h"
#include "profiles/profile_file.h"
#include "session/drive_client.h"
#include "tools/cli/cli.h"

namespace mv::cli {

namespace {

constexpr const char* kProfileUsage =
    "profile default SLOT OUT | profile check FILE | profile dump FILE | profile from-bytes HEX444 OUT |\n"
    "  profile diff A B [--port N | --device PATH] [--baud B]";
constexpr const char* kDiffUsage =
    "profile diff A B [--port N | --device PATH] [--baud B]\n"
    "  A and B are profile files or drive:SLOT (SLOT 1 to 6, read from the drive on the given port);\n"
    "  exit 0 when equal, 1 when they differ, 2 on bad arguments or when a side cannot be read";

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

// ---- profile diff ----------------------------------------------------------

// Failures of diff are "trouble" (2), so that 1 always means "different".
int Trouble(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 2;
}

struct DiffSide {
  std::string text;    // as given
  int driveSlot = -1;  // 0..5 for drive:SLOT
  MotorProfile profile{};
};

// The drive side of a diff: reads profiles from the drive into scratch
// copies, never into anything else.
class DiffDrive {
 public:
  explicit DiffDrive(const PortOptions& options) : client_(options) {
    // A frame the port could not send explains the timeout that follows.
    client_.SetErrorLineHandler([](const PortReport& r, const std::string& line) {
      if (r.code == PLKDVX::rcTxRefused || r.code == PLKDVX::rcTxFailed)
        std::fprintf(stderr, "morvane-cli: %s\n", line.c_str());
    });
  }

  bool Open(std::string& message) {
    const OpenResult r = client_.Open();
    if (r.ok) return true;
    message = "morvane-cli: cannot open " + r.device;
    if (r.err != 0 && !r.why.empty()) message += "\n" + r.why;
    return false;
  }

  bool Read(int slot, MotorProfile& out, std::string& message) {
    const std::string what = "drive:" + std::to_string(slot + 1);
    const MainResult r = client_.ReadProfile(slot);
    const ScratchProfile& s = r.scratch;
    if (IsRefusal(r.end.outcome)) {
      message = "morvane-cli: " + what + ": request refused";
      return false;
    }
    if (!r.Completed() || !r.end.trusted || s.state != ScratchProfile::State::Received) {
      const RequestOutcome o =
          r.end.outcome == RequestOutcome::Completed && !r.end.trusted ? RequestOutcome::Shifted : r.end.outcome;
      message = "morvane-cli: " + what + ": " +
                (r.Completed() && s.state == ScratchProfile::State::Short
                     ? std::string("the drive's answer is too short for a profile")
                     : std::string(RequestOutcomeText(o)));
      return false;
    }
    if (s.answeredSlot != slot) {
      message = "morvane-cli: " + what + ": the drive answered with the profile of slot " +
                std::to_string(s.answeredSlot + 1);
      return false;
    }
    if (!s.checksumValid)  // compared all the same; the checksum row shows it
      std::fprintf(stderr, "morvane-cli: %s: Motor profile %d: Invalid Checksum\n", what.c_str(), slot + 1);
    out = s.profile;
    return true;
  }

 private:
  DriveClient client_;
};

int Diff(int argc, char** argv) {
  std::vector<DiffSide> sides;
  PortOptions port;
  for (int i = 0; i < argc; ++i) {
    const int taken = TakePortOption("profile diff", argc, argv, i, port);
    if (taken == 2) return 2;
    if (taken == 1) continue;
    const std::string a = argv[i];
    DiffSide side;
    side.text = a;
    if (a.rfind("drive:", 0) == 0) {
      if (!ParseSlot(a.c_str() + 6, side.driveSlot)) return Usage("profile diff: drive:SLOT takes a slot 1 to 6");
      --side.driveSlot;  // 1..6 -> 0..5
    }
    sides.push_back(side);
  }
  if (sides.size() != 2) return Usage(kDiffUsage);
  const bool drive = sides[0].driveSlot >= 0 || sides[1].driveSlot >= 0;
  if (port.port != 0 && !port.device.empty()) return Usage("profile diff takes one of --port N or --device PATH");
  if (drive && port.port == 0 && port.device.empty())
    return Usage("profile diff drive:SLOT needs --port N or --device PATH");
  if (!drive && (port.port != 0 || !port.device.empty()))
    return Usage("profile diff: --port and --device only go with a drive:SLOT side");

  // Files first: a bad file is reported before anything goes to the drive.
  std::string message;
  for (DiffSide& s : sides)
    if (s.driveSlot < 0 && !readMotorProfileFile(s.text, s.profile, message)) return Trouble(message);
  if (drive) {
    DiffDrive link(port);
    if (!link.Open(message)) return Trouble(message);
    for (DiffSide& s : sides)
      if (s.driveSlot >= 0 && !link.Read(s.driveSlot, s.profile, message)) return Trouble(message);
  }

  ProfileCompare compare;
  compare.SetSide(0, sides[0].profile);
  compare.SetSide(1, sides[1].profile);
  const std::vector<int> rows = compare.Differences(0, 1);
  for (int row : rows)
    std::printf("%s\n", CompareDiffLine(compare.Field(row), sides[0].profile, sides[1].profile).c_str());
  return rows.empty() ? 0 : 1;
}

}  // namespace

int Profile(int argc, char** argv) {
  if (argc < 1) return Usage(kProfileUsage);
  // A file name is never empty.
  for (int i = 1; i < argc; ++i)
    if (*argv[i] == '\0') return Usage(kProfileUsage);
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
    if (cmd == "dump") std::printf("%s\n", ProfileToHex(p).c_str());
    return 0;
  }
  if (cmd == "from-bytes") {
    if (argc != 3) return Usage("profile from-bytes HEX444 OUT");
    MotorProfile p;
    if (!ProfileFromHex(argv[1], p))
      return Usage("profile from-bytes HEX444 OUT (HEX444 is the 222 record bytes as 444 hex digits)");
    if (!writeMotorProfileFile(argv[2], p, message)) return Refused(message);
    return 0;
  }
  if (cmd == "diff") return Diff(argc - 1, argv + 1);
  return Usage(kProfileUsage);
}

}  // namespace mv::cli
