// morvane-cli drive: talks to a drive through the same request engine, port
// component and request tables as the desktop application, on a headless loop.
#include <signal.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <csignal>
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
#include "session/drive_client.h"
#include "session/drive_session.h"
#include "session/trace_file.h"
#include "tools/cli/cli.h"

namespace mv::cli {

namespace {

constexpr const char* kDriveUsage =
    "drive (--port N | --device PATH) [--baud B] [--counters] [--trace FILE] COMMAND\n"
    "  info | get-profile SLOT OUT | get-all DIR | save-profile SLOT FILE | save-all F1..F6 |\n"
    "  activate SLOT|none | start | stop | reset | speed RPM | status [--every MS --count N] [--csv FILE]\n"
    "  (SLOT is 1 to 6; --trace writes every frame of the run to FILE, a link trace)";

bool ParseSlot(const std::string& text, int& slotIndex) {
  if (text.size() != 1 || text[0] < '1' || text[0] > '0' + kSlotCount) return false;
  slotIndex = text[0] - '1';
  return true;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Ctrl-C (or a termination request) while the tool waits for the drive.
volatile std::sig_atomic_t gSignal = 0;
extern "C" void OnStopSignal(int sig) { gSignal = sig; }
struct Interrupted {};

void PrintLamps(const char* group, const LampInfo* lamps, std::size_t n, bool known, std::uint16_t word) {
  std::string lit;
  for (std::size_t i = 0; i < n; ++i) {
    if ((word & lamps[i].mask) == 0) continue;
    if (!lit.empty()) lit += ", ";
    lit += lamps[i].label;
  }
  std::printf("%s: %s\n", group, !known ? "(no value)" : lit.empty() ? "(none lit)" : lit.c_str());
}

void PrintPoll(const StatusReading& s) {
  for (const StatusFieldInfo& f : kStatusFields) std::printf("%s: %s\n", f.label, s.Text(f.field));
  const StatusValues& v = s.values;
  PrintLamps(kStatusLampGroup, kStatusLamps.data(), kStatusLamps.size(), v.Has(StatusField::Status), v.StatusWord());
  PrintLamps(kInternalLampGroup, kInternalLamps.data(), kInternalLamps.size(), v.Has(StatusField::InternalStatus),
             v.InternalStatusWord());
  std::fflush(stdout);
}

struct DriveArgs {
  PortOptions port;
  bool counters = false;
  std::string trace;                 // where the link trace goes ("" = nowhere)
  std::vector<std::string> command;  // command word and its arguments
};

int ParseDriveArgs(int argc, char** argv, DriveArgs& a) {
  int i = 0;
  for (; i < argc; ++i) {
    const int taken = TakePortOption("drive", argc, argv, i, a.port);
    if (taken == 2) return 2;
    if (taken == 1) continue;
    const std::string arg = argv[i];
    if (arg == "--trace") {
      if (i + 1 >= argc || *argv[i + 1] == '\0') return Usage("drive --trace FILE: FILE is where the link trace goes");
      a.trace = argv[++i];
      continue;
    }
    if (arg != "--counters") break;
    a.counters = true;
  }
  if ((a.port.port != 0) == !a.port.device.empty()) return Usage("drive needs one of --port N or --device PATH");
  for (; i < argc; ++i) a.command.emplace_back(argv[i]);
  if (a.command.empty()) return Usage(kDriveUsage);
  return 0;
}

// The drive client with the tool's words: every failure is one line on
// stderr; Ctrl-C ends the wait (the step in flight ends first, then the port
// is closed).
class DriveRun {
 public:
  explicit DriveRun(const DriveArgs& args) : client_(args.port), counters_(args.counters) {
    client_.SetInterruptCheck([] {
      if (gSignal != 0) throw Interrupted{};
    });
    // A frame the port could not send explains the timeout that follows.
    client_.SetErrorLineHandler([](const PortReport& r, const std::string& line) {
      if (r.code == PLKDVX::rcTxRefused || r.code == PLKDVX::rcTxFailed)
        std::fprintf(stderr, "morvane-cli: %s\n", line.c_str());
    });
  }

  ~DriveRun() {
    if (counters_) {
      const LinkCounters c = client_.Counters();
      std::fprintf(stderr, "Tx=%u Rx=%u TO=%u Errs=%u Busy=%u\n", c.tx, c.rx, c.to, c.errs, c.busy);
    }
  }

  // A device that cannot be had is explained in the window's words (busy,
  // no permission and how to get it, not there).
  bool Open() {
    const OpenResult r = client_.Open();
    if (!r.ok) std::fprintf(stderr, "morvane-cli: cannot open %s: %s\n", r.device.c_str(), r.why.c_str());
    return r.ok;
  }

  // Says why a request did not end well; true when it did.
  template <class Result>
  static bool Ok(const char* what, const Result& r) {
    if (r.Completed() && r.end.trusted) return true;
    RequestEnd end = r.end;
    if (end.outcome == RequestOutcome::Completed) end.outcome = RequestOutcome::Shifted;
    std::fprintf(stderr, "morvane-cli: %s\n", FailureLine(what, end).c_str());
    return false;
  }

  int Status(std::int32_t periodMs, std::int32_t count, StatusCsvWriter* csv, std::string& csvError);

  DriveClient& Client() { return client_; }

 private:
  DriveClient client_;
  bool counters_ = false;
};

int DriveRun::Status(std::int32_t periodMs, std::int32_t count, StatusCsvWriter* csv, std::string& csvError) {
  // The first poll at once, then one per period; a period missed while a
  // poll ran is made up at once, never by a burst.
  const std::unique_ptr<DriveClient::Poll> poll = client_.StartPolling(periodMs, count);
  int printed = 0, failed = 0, polls = 0;
  RequestEnd first{};
  while (const std::optional<ControlResult> r = poll->Next()) {
    ++polls;
    if (IsRefusal(r->end.outcome)) {
      std::fprintf(stderr, "morvane-cli: %s\n", FailureLine("status", r->end).c_str());
      return 1;
    }
    if (!r->Ok()) {
      // A poll whose answers may be another request's is never shown.
      if (failed++ == 0) {
        first = r->end;
        if (first.outcome == RequestOutcome::Completed) first.outcome = RequestOutcome::Shifted;
      }
      continue;
    }
    if (printed++ > 0) std::printf("\n");
    PrintPoll(r->status);
    if (csv != nullptr && csv->IsOpen() && !csv->Append(WallClockMs(), r->status.values, csvError))
      std::fprintf(stderr, "%s\n", csvError.c_str());
  }
  if (failed > 0) {
    std::fprintf(stderr, "morvane-cli: status: %d of %d polls abandoned, first: %s\n", failed, polls,
                 RequestOutcomeText(first.outcome));
    return 1;
  }
  return 0;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

std::string SlotFile(const std::string& folder, std::size_t slot) {
  char name[16];
  std::snprintf(name, sizeof name, "P%02zu.ini", slot + 1);
  return folder + "/" + name;
}

int RunCommand(DriveRun& s, const std::string& cmd, const std::vector<std::string>& rest, int slot,
               const std::array<MotorProfile, kSlotCount>& files, std::int32_t rpm, std::int32_t periodMs,
               std::int32_t count, StatusCsvWriter& csv) {
  DriveClient& c = s.Client();
  std::string message;
  if (cmd == "info") {
    // The fields that arrived are printed also when a later step failed, as
    // the window shows them; the reason follows on stderr.
    const MainResult r = c.Info();
    const DriveIdentity& id = r.identity;
    if (r.end.trusted) {
      if (id.Has(DriveIdentity::kName)) std::printf("Name: %s\n", id.Text(DriveIdentity::kName));
      if (id.Has(DriveIdentity::kVersion)) std::printf("Version: %s\n", id.Text(DriveIdentity::kVersion));
      if (id.Has(DriveIdentity::kSerialNo)) std::printf("Serial No: %s\n", id.Text(DriveIdentity::kSerialNo));
      if (id.Has(DriveIdentity::kHardwareId)) std::printf("Hardware ID: %s\n", id.Text(DriveIdentity::kHardwareId));
    }
    return DriveRun::Ok("info", r) ? 0 : 1;
  }
  if (cmd == "get-profile") {
    const MainResult r = c.GetProfile(slot);
    if (!DriveRun::Ok("get-profile", r)) return 1;
    const auto i = static_cast<std::size_t>(slot);
    if (r.slotOutcome[i] == SlotOutcome::BadChecksum) return Fail(SlotLine(r, slot));
    if (r.slotOutcome[i] != SlotOutcome::Received)
      return Fail("morvane-cli: get-profile: the drive answered with another slot's profile; nothing written");
    return writeMotorProfileFile(rest[1], r.profiles[i], message) ? 0 : Fail(message);
  }
  if (cmd == "get-all") {
    const MainResult r = c.GetAll();
    bool ok = DriveRun::Ok("get-all", r);
    // The good profiles are written even when another one failed; every
    // slot not written is named.
    std::string missing;
    for (std::size_t i = 0; i < kSlotCount; ++i) {
      const std::string line = SlotLine(r, static_cast<int>(i));
      if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
      if (r.end.trusted && r.slotOutcome[i] == SlotOutcome::Received &&
          writeMotorProfileFile(SlotFile(rest[0], i), r.profiles[i], message))
        continue;
      if (r.end.trusted && r.slotOutcome[i] == SlotOutcome::Received) std::fprintf(stderr, "%s\n", message.c_str());
      missing += (missing.empty() ? "" : ", ") + std::string(SlotFile(rest[0], i));
    }
    if (!missing.empty()) {
      std::fprintf(stderr, "morvane-cli: get-all: not written: %s\n", missing.c_str());
      ok = false;
    }
    return ok ? 0 : 1;
  }
  if (cmd == "save-profile") {
    const MainResult r = c.SaveProfile(slot, files[static_cast<std::size_t>(slot)]);
    if (!DriveRun::Ok("save-profile", r)) return 1;
    const std::string line = SlotLine(r, slot);
    return line.empty() ? 0 : Fail(line);
  }
  if (cmd == "save-all") {
    const MainResult r = c.SaveAll(files);
    bool ok = DriveRun::Ok("save-all", r);
    // Every save the drive refused is said.
    for (int i = 0; i < kSlotCount; ++i) {
      const std::string line = SlotLine(r, i);
      if (line.empty()) continue;
      std::fprintf(stderr, "%s\n", line.c_str());
      ok = false;
    }
    return ok ? 0 : 1;
  }
  if (cmd == "activate") return DriveRun::Ok("activate", c.Activate(slot)) ? 0 : 1;
  if (cmd == "start") return DriveRun::Ok("start", c.Start()) ? 0 : 1;
  if (cmd == "stop") return DriveRun::Ok("stop", c.Stop()) ? 0 : 1;
  if (cmd == "reset") return DriveRun::Ok("reset", c.Reset()) ? 0 : 1;
  if (cmd == "speed") return DriveRun::Ok("speed", c.SetSpeed(static_cast<std::uint32_t>(rpm))) ? 0 : 1;
  std::string csvError;
  const int rc = s.Status(periodMs, count, csv.IsOpen() ? &csv : nullptr, csvError);
  if (!csv.IsOpen() && !csvError.empty()) return 1;  // a write failed and closed the log
  if (!csv.Close(message)) return Fail(message);
  return rc;
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

  // Ctrl-C or a termination request ends the wait cleanly: the step in
  // flight ends, the port is closed, a word on stderr.
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  if (!args.trace.empty()) {
    const std::size_t slash = args.trace.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : args.trace.substr(0, slash + 1);
    if (!IsFolder(folder)) return Fail("morvane-cli: --trace: " + folder + " is not a folder");
  }

  DriveRun s(args);
  int rc = 0;
  try {
    if (!s.Open()) {
      rc = 1;
    } else if (!csvPath.empty() && !csv.Open(csvPath, message)) {
      // Opened once the port is: a port that cannot be opened leaves no log file.
      rc = Fail(message);
    } else {
      rc = RunCommand(s, cmd, rest, slot, files, rpm, periodMs, count, csv);
    }
  } catch (const Interrupted&) {
    s.Client().Close();
    std::string ignored;
    csv.Close(ignored);
    std::fprintf(stderr, "morvane-cli: %s: interrupted; the port is closed\n", cmd.c_str());
    rc = 128 + gSignal;
  }
  // The trace of the whole run, a failed open and an interrupted one too,
  // up to the port's close.
  if (!args.trace.empty()) s.Client().Close();
  if (!args.trace.empty() && !WriteTraceFile(args.trace, s.Client().TraceText(), message)) {
    std::fprintf(stderr, "morvane-cli: %s\n", message.c_str());
    if (rc == 0) rc = 1;
  }
  return rc;
}

}  // namespace mv::cli
