// morvane-cli drive: talks to a drive through the same request engine, port
// component and request tables as the desktop application, on a headless loop.
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/control_rules.h"
#include "control/status_csv.h"
#include "control/status_requests.h"
#include "core/field_parse.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "profiles/motor_profile.h"
#include "profiles/profile_file.h"
#include "session/drive_record.h"
#include "session/drive_session.h"
#include "tools/cli/cli.h"

namespace mv::cli {

namespace {

constexpr const char* kDriveUsage =
    "drive (--port N | --device PATH) [--baud B] [--counters] COMMAND\n"
    "  info | get-profile SLOT OUT | get-all DIR | save-profile SLOT FILE | save-all F1..F6 |\n"
    "  activate SLOT|none | start | stop | reset | speed RPM | status [--every MS --count N] [--csv FILE]\n"
    "  (SLOT is 1 to 6)";

// Longest a single request may take before the tool gives up waiting on the
// loop (the engine's own timeouts end every request far earlier).
constexpr std::chrono::milliseconds kRequestLimit{30000};

bool ParseSlot(const std::string& text, int& slotIndex) {
  if (text.size() != 1 || text[0] < '1' || text[0] > '0' + kSlotCount) return false;
  slotIndex = text[0] - '1';
  return true;
}

std::string OneLine(std::string text) {
  for (std::size_t p = text.find('\n'); p != std::string::npos; p = text.find('\n', p)) text.replace(p, 1, ": ");
  return text;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Everything the handlers and the engine tell the tool; a completed poll is
// printed (and logged with --csv).
class CliWindow final : public DriveRecord {
 public:
  int pollsPrinted = 0;
  StatusCsvWriter* csv = nullptr;  // status --csv: one line per completed poll
  std::string csvError;

  CliWindow() { fields.fill("0"); }

 protected:
  void PollDone(const StatusValues& v) override {
    if (pollsPrinted++ > 0) std::printf("\n");
    for (const StatusFieldInfo& f : kStatusFields)
      std::printf("%s: %s\n", f.label, fields[static_cast<std::size_t>(f.field)].c_str());
    PrintLamps(kStatusLampGroup, kStatusLamps.data(), kStatusLamps.size(), v.Has(StatusField::Status), v.StatusWord());
    PrintLamps(kInternalLampGroup, kInternalLamps.data(), kInternalLamps.size(), v.Has(StatusField::InternalStatus),
               v.InternalStatusWord());
    std::fflush(stdout);
    if (csv != nullptr && csv->IsOpen() && !csv->Append(WallClockMs(), v, csvError))
      std::fprintf(stderr, "%s\n", csvError.c_str());
  }

 private:
  static void PrintLamps(const char* group, const LampInfo* lamps, std::size_t n, bool known, std::uint16_t word) {
    std::string lit;
    for (std::size_t i = 0; i < n; ++i) {
      if ((word & lamps[i].mask) == 0) continue;
      if (!lit.empty()) lit += ", ";
      lit += lamps[i].label;
    }
    std::printf("%s: %s\n", group, !known ? "(no value)" : lit.empty() ? "(none lit)" : lit.c_str());
  }
};

struct DriveArgs {
  PortOptions port;
  bool counters = false;
  std::vector<std::string> command;  // command word and its arguments
};

int ParseDriveArgs(int argc, char** argv, DriveArgs& a) {
  int i = 0;
  for (; i < argc; ++i) {
    const int taken = TakePortOption("drive", argc, argv, i, a.port);
    if (taken == 2) return 2;
    if (taken == 1) continue;
    if (std::string(argv[i]) != "--counters") break;
    a.counters = true;
  }
  if ((a.port.port != 0) == !a.port.device.empty()) return Usage("drive needs one of --port N or --device PATH");
  for (; i < argc; ++i) a.command.emplace_back(argv[i]);
  if (a.command.empty()) return Usage(kDriveUsage);
  return 0;
}

// The drive session with the tool's window: runs one request at a time and
// says how it ended.
class DriveRun {
 public:
  explicit DriveRun(const DriveArgs& args) : cli_(args.port, &window_), counters_(args.counters) {
    cli_.Session().SetMainView(window_);
    cli_.Session().SetControlView(window_);
  }

  ~DriveRun() {
    DriveSession& s = cli_.Session();
    if (s.Port().GetOpened()) s.Port().Close();
    s.ClearViews();
    if (counters_) {
      const LinkCounters& c = s.Engine().Counters();
      std::fprintf(stderr, "Tx=%u Rx=%u TO=%u Errs=%u Busy=%u\n", c.tx, c.rx, c.to, c.errs, c.busy);
    }
  }

  // A device that cannot be had is explained in the window's words (busy,
  // no permission and how to get it, not there).
  bool Open() {
    std::string why;
    if (cli_.Open(why)) return true;
    std::fprintf(stderr, "morvane-cli: cannot open %s: %s\n", cli_.Session().Port().DevicePath().c_str(), why.c_str());
    return false;
  }

  // Runs until the request that `send` started has ended; false (with the
  // reason on stderr) when it was refused or abandoned.
  template <class Send>
  bool Run(const char* what, Send send) {
    const int failuresBefore = window_.failures;
    if (!send()) {
      std::fprintf(stderr, "morvane-cli: %s: request refused%s%s\n", what, window_.portText.empty() ? "" : ": ",
                   window_.portText.c_str());
      return false;
    }
    if (!cli_.RunUntilIdle(kRequestLimit)) {
      std::fprintf(stderr, "morvane-cli: %s: the request did not end\n", what);
      return false;
    }
    if (window_.failures != failuresBefore) {
      const RequestEngine& engine = cli_.Session().Engine();
      std::fprintf(stderr, "morvane-cli: %s: request abandoned at step %u: %s\n", what, engine.StepIndex() + 1,
                   RequestOutcomeText(engine.LastOutcome()));
      return false;
    }
    return true;
  }

  // Prints the messages the window would have shown; true when there were any.
  bool ReportMessages() {
    for (const DriveRecord::Message& m : window_.messages) std::fprintf(stderr, "%s\n", OneLine(m.text).c_str());
    return !window_.messages.empty();
  }

  int Status(int periodMs, int count);

  CliWindow& Window() { return window_; }
  MainRequests& Main() { return cli_.Session().Main(); }
  ControlStatusRequests& Control() { return cli_.Session().Control(); }

 private:
  CliWindow window_;
  CliSession cli_;
  bool counters_ = false;
};

int DriveRun::Status(int periodMs, int count) {
  // The first poll at once, then one per period; a tick that finds the
  // previous poll still running is lost, as in the window.
  int polls = 1;
  std::unique_ptr<Timer> pollTimer = cli_.Loop().CreateTimer();
  pollTimer->SetInterval(periodMs);
  pollTimer->OnTimer = [&] {
    if (polls >= count) {
      pollTimer->SetEnabled(false);
      return;
    }
    ++polls;
    Control().TimerStatus();
  };
  if (!Control().GetStatus()) {
    std::fprintf(stderr, "morvane-cli: status: request refused%s%s\n", window_.portText.empty() ? "" : ": ",
                 window_.portText.c_str());
    return 1;
  }
  if (count > 1) pollTimer->SetEnabled(true);
  const auto limit = std::chrono::milliseconds(static_cast<long long>(periodMs) * count) + kRequestLimit;
  cli_.Loop().RunUntil([&] { return polls >= count && !cli_.Session().Engine().Busy(); }, limit);
  pollTimer->SetEnabled(false);
  if (window_.failures > 0) {
    std::fprintf(stderr, "morvane-cli: status: %d of %d polls abandoned, first: %s\n", window_.failures, polls,
                 RequestOutcomeText(window_.firstFailure));
    return 1;
  }
  return 0;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

}  // namespace

int Drive(int argc, char** argv) {
  DriveArgs args;
  if (int rc = ParseDriveArgs(argc, argv, args); rc != 0) return rc;
  const std::string cmd = args.command[0];
  const std::vector<std::string> rest(args.command.begin() + 1, args.command.end());
  auto want = [&](std::size_t n, const char* usage) { return rest.size() == n ? 0 : Usage(usage); };

  // Every argument and input file is checked before the port is opened, so a
  // refused command sends nothing.
  int slot = 0;
  std::string message;
  std::array<MotorProfile, kSlotCount> files{};
  std::int32_t rpm = 0, periodMs = kPeriodDefaultMs, count = 1;
  std::string csvPath;
  StatusCsvWriter csv;
  if (cmd == "info" || cmd == "start" || cmd == "stop" || cmd == "reset") {
    if (int rc = want(0, kDriveUsage)) return rc;
  } else if (cmd == "get-profile") {
    if (int rc = want(2, "drive ... get-profile SLOT OUT")) return rc;
    if (!ParseSlot(rest[0], slot)) return Usage("drive ... get-profile SLOT OUT (SLOT is 1 to 6)");
  } else if (cmd == "get-all") {
    if (int rc = want(1, "drive ... get-all DIR")) return rc;
    if (!IsFolder(rest[0])) return Fail("morvane-cli: get-all: " + rest[0] + " is not a folder");
  } else if (cmd == "save-profile") {
    if (int rc = want(2, "drive ... save-profile SLOT FILE")) return rc;
    if (!ParseSlot(rest[0], slot)) return Usage("drive ... save-profile SLOT FILE (SLOT is 1 to 6)");
    if (!readMotorProfileFile(rest[1], files[static_cast<std::size_t>(slot)], message)) return Fail(message);
  } else if (cmd == "save-all") {
    if (int rc = want(6, "drive ... save-all F1 F2 F3 F4 F5 F6")) return rc;
    for (std::size_t i = 0; i < kSlotCount; ++i)
      if (!readMotorProfileFile(rest[i], files[i], message)) return Fail(message);
  } else if (cmd == "activate") {
    if (int rc = want(1, "drive ... activate SLOT|none")) return rc;
    if (rest[0] == "none")
      slot = kNoProfileIndex;
    else if (!ParseSlot(rest[0], slot))
      return Usage("drive ... activate SLOT|none (SLOT is 1 to 6)");
  } else if (cmd == "speed") {
    if (int rc = want(1, "drive ... speed RPM")) return rc;
    std::int64_t v = 0;
    if (!StrToInt64(rest[0], v)) return Usage("drive ... speed RPM (RPM is a whole number)");
    rpm = ClampSpeed(v);
    if (rpm != v) std::fprintf(stderr, "morvane-cli: speed %s RPM taken as %d RPM\n", rest[0].c_str(), rpm);
  } else if (cmd == "status") {
    for (std::size_t i = 0; i < rest.size(); i += 2) {
      std::int64_t v = 0;
      if (rest[i] == "--csv" && i + 1 < rest.size() && !rest[i + 1].empty()) {
        csvPath = rest[i + 1];
        continue;
      }
      if (i + 1 >= rest.size() || !StrToInt64(rest[i + 1], v))
        return Usage("drive ... status [--every MS --count N] [--csv FILE]");
      if (rest[i] == "--every") {
        periodMs = ClampPeriod(v);
      } else if (rest[i] == "--count") {
        if (v < 1 || v > 1000000) return Usage("drive ... status --count N (N is 1 to 1000000)");
        count = static_cast<std::int32_t>(v);
      } else {
        return Usage("drive ... status [--every MS --count N] [--csv FILE]");
      }
    }
  } else {
    return Usage(kDriveUsage);
  }

  DriveRun s(args);
  if (!s.Open()) return 1;
  CliWindow& w = s.Window();
  // Opened once the port is: a port that cannot be opened leaves no log file.
  if (!csvPath.empty() && !csv.Open(csvPath, message)) return Fail(message);
  if (csv.IsOpen()) w.csv = &csv;

  if (cmd == "info") {
    // The fields that arrived are printed also when a later step failed, as
    // the window shows them; the reason follows on stderr.
    const bool completed = s.Run("info", [&] { return s.Main().GetDriveData(); });
    if (w.name) std::printf("Name: %s\n", w.name->c_str());
    if (w.version) std::printf("Version: %s\n", w.version->c_str());
    if (w.serialNo) std::printf("Serial No: %s\n", w.serialNo->c_str());
    if (w.hardwareId) std::printf("Hardware ID: %s\n", w.hardwareId->c_str());
    return completed ? 0 : 1;
  }
  if (cmd == "get-profile") {
    if (!s.Run("get-profile", [&] { return s.Main().GetProfile(slot); })) return 1;
    if (s.ReportMessages()) return 1;
    if (!w.received[static_cast<std::size_t>(slot)])
      return Fail("morvane-cli: get-profile: the drive answered with another slot's profile; nothing written");
    if (!writeMotorProfileFile(rest[1], w.slots[static_cast<std::size_t>(slot)], message)) return Fail(message);
    return 0;
  }
  if (cmd == "get-all") {
    const bool completed = s.Run("get-all", [&] { return s.Main().GetAllProfiles(); });
    // The good profiles are written even when another one failed.
    bool written = true;
    for (std::size_t i = 0; i < kSlotCount; ++i) {
      if (!w.received[i]) continue;
      char name[16];
      std::snprintf(name, sizeof name, "P%02zu.ini", i + 1);
      if (!writeMotorProfileFile(rest[0] + "/" + name, w.slots[i], message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        written = false;
      }
    }
    const bool messages = s.ReportMessages();
    return completed && written && !messages ? 0 : 1;
  }
  if (cmd == "save-profile") {
    w.slots[static_cast<std::size_t>(slot)] = files[static_cast<std::size_t>(slot)];
    if (!s.Run("save-profile", [&] { return s.Main().SaveProfile(slot); })) return 1;
    return s.ReportMessages() ? 1 : 0;
  }
  if (cmd == "save-all") {
    w.slots = files;
    return s.Run("save-all", [&] { return s.Main().SaveAllProfiles(); }) ? 0 : 1;
  }
  if (cmd == "activate") {
    const bool ok = slot == kNoProfileIndex ? s.Run("activate", [&] { return s.Main().DeactivateAll(); })
                                            : s.Run("activate", [&] { return s.Main().Activate(slot); });
    return ok ? 0 : 1;
  }
  if (cmd == "start") return s.Run("start", [&] { return s.Control().Start(); }) ? 0 : 1;
  if (cmd == "stop") return s.Run("stop", [&] { return s.Control().Stop(); }) ? 0 : 1;
  if (cmd == "reset") return s.Run("reset", [&] { return s.Control().Reset(); }) ? 0 : 1;
  if (cmd == "speed") return s.Run("speed", [&] { return s.Control().Speed(static_cast<std::uint32_t>(rpm)); }) ? 0 : 1;
  const int rc = s.Status(periodMs, count);
  if (!csv.IsOpen() && !w.csvError.empty()) return 1;  // a write failed and closed the log
  if (!csv.Close(message)) return Fail(message);
  return rc;
}

}  // namespace mv::cli
