#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/field_parse.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "link/serial_link_port.h"
#include "profiles/motor_profile.h"
#include "profiles/profile_compare.h"
#include "profiles/profile_file.h"
#include "serial/TDVXCOMPort.h"
#include "serial/headless_loop.h"
#include "serial/port_info.h"
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

// The handlers' window: nothing of it is used by a scratch read.
class NoWindow final : public MainRequestsView {
 public:
  void SetDriveName(const char*) override {}
  void SetDriveVersion(const char*) override {}
  void SetDriveSerialNo(const char*) override {}
  void SetDriveHardwareId(const char*) override {}
  void ShowMessage(const char*) override {}
  const MotorProfile& ProfileSlot(int) const override { return unused_; }
  void SetProfileSlot(int, const MotorProfile&) override {}

 private:
  MotorProfile unused_{};
};

// The port, the engine and the main requests on a headless loop: reads
// profiles from the drive into scratch copies, never into anything else.
class DiffDrive {
 public:
  DiffDrive(int port, const std::string& device, int baud)
      : port_(loop_.Queue()),
        adapter_(port_),
        timer_(loop_.CreateTimer()),
        engine_(adapter_, *timer_, nullptr),
        requests_(engine_.Sender(), window_) {
    port_.OnReport = [this](void*, PLKDVX::TReportType, const std::string& func, const std::string& desc,
                            const std::string&, int, int err) {
      if (func == "OpenCOMPort" && desc == "CreateFile") openError_ = err;
    };
    port_.OnRxChar = [this](void*, std::uint8_t c) { engine_.RxChar(c); };
    port_.OnRxError = [this](void*) { engine_.RxError(); };
    port_.OnRxBreak = [this](void*) { engine_.RxBreak(); };
    port_.SetBaudRate(baud);
    if (!device.empty())
      port_.SetDevicePathOverride(device);
    else
      port_.SetPort1(port);
  }
  ~DiffDrive() {
    if (port_.GetOpened()) port_.Close();
  }

  bool Open(std::string& message) {
    if (port_.Open()) return true;
    message = "morvane-cli: cannot open " + port_.DevicePath();
    const std::string why = OpenFailureExplanation(port_.DevicePath(), openError_);
    if (!why.empty()) message += "\n" + why;
    return false;
  }

  bool Read(int slot, MotorProfile& out, std::string& message) {
    const std::string what = "drive:" + std::to_string(slot + 1);
    if (!requests_.GetProfileToScratch(slot)) {
      message = "morvane-cli: " + what + ": request refused";
      return false;
    }
    loop_.RunUntil([this] { return !engine_.Busy(); }, std::chrono::milliseconds(30000));
    const ScratchProfile& s = requests_.Scratch();
    if (s.state != ScratchProfile::State::Received) {
      message = "morvane-cli: " + what + ": " +
                (s.state == ScratchProfile::State::Short ? std::string("the drive's answer is too short for a profile")
                                                         : std::string(RequestOutcomeText(engine_.LastOutcome())));
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
  HeadlessLoop loop_;
  PLKDVX::TDVXCOMPort port_;
  SerialLinkPort adapter_;
  std::unique_ptr<Timer> timer_;
  NoWindow window_;
  RequestEngine engine_;
  MainRequests requests_;
  int openError_ = 0;
};

int Diff(int argc, char** argv) {
  std::vector<DiffSide> sides;
  int port = 0;
  std::string device;
  int baud = PLKDVX::br115200;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    std::int64_t v = 0;
    if (a == "--port") {
      if (next == nullptr || !StrToInt64(next, v) || v < 1 || v > 32)
        return Usage("profile diff --port N: N is a port number 1 to 32");
      port = static_cast<int>(v);
      ++i;
    } else if (a == "--device") {
      if (next == nullptr || *next == '\0') return Usage("profile diff --device PATH: PATH is a serial device");
      device = next;
      ++i;
    } else if (a == "--baud") {
      int found = -1;
      if (next != nullptr && StrToInt64(next, v))
        for (int b = 0; b < PLKDVX::kBaudRateCount; ++b)
          if (PLKDVX::kBaudRateValues[b] == v) found = b;
      if (found < 0)
        return Usage("profile diff --baud B: B is one of 110 300 600 1200 2400 4800 9600 19200 38400 57600 115200");
      baud = found;
      ++i;
    } else {
      DiffSide side;
      side.text = a;
      if (a.rfind("drive:", 0) == 0) {
        if (!ParseSlot(a.c_str() + 6, side.driveSlot)) return Usage("profile diff: drive:SLOT takes a slot 1 to 6");
        --side.driveSlot;  // 1..6 -> 0..5
      }
      sides.push_back(side);
    }
  }
  if (sides.size() != 2) return Usage(kDiffUsage);
  const bool drive = sides[0].driveSlot >= 0 || sides[1].driveSlot >= 0;
  if (port != 0 && !device.empty()) return Usage("profile diff takes one of --port N or --device PATH");
  if (drive && port == 0 && device.empty()) return Usage("profile diff drive:SLOT needs --port N or --device PATH");
  if (!drive && (port != 0 || !device.empty()))
    return Usage("profile diff: --port and --device only go with a drive:SLOT side");

  // Files first: a bad file is reported before anything goes to the drive.
  std::string message;
  for (DiffSide& s : sides)
    if (s.driveSlot < 0 && !readMotorProfileFile(s.text, s.profile, message)) return Trouble(message);
  if (drive) {
    DiffDrive link(port, device, baud);
    if (!link.Open(message)) return Trouble(message);
    for (DiffSide& s : sides)
      if (s.driveSlot >= 0 && !link.Read(s.driveSlot, s.profile, message)) return Trouble(message);
  }

  ProfileCompare compare;
  compare.SetSide(0, sides[0].profile);
  compare.SetSide(1, sides[1].profile);
  const std::vector<int> rows = compare.Differences(0, 1);
  for (int row : rows) {
    const CompareField& f = compare.Field(row);
    std::printf("%s: %s -> %s\n", f.key.c_str(), CompareValueWithUnit(f, sides[0].profile).c_str(),
                CompareValueWithUnit(f, sides[1].profile).c_str());
  }
  return rows.empty() ? 0 : 1;
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
  if (cmd == "diff") return Diff(argc - 1, argv + 1);
  return Usage(kProfileUsage);
}

}  // namespace mv::cli
