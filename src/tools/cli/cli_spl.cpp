// morvane-cli spl: building and reading SPL firmware images.
//   spl build --hex FILE --out DIR/NAME [--app-start ADDR] [--profile-start ADDR]
//             [--fw-version N] [--profile SLOT=FILE]...
//   spl inspect FILE.spl [--app-start ADDR] [--profile-start ADDR]
//
// Addresses must be integers that are multiples of 0x800 inside the largest
// device's flash; the version is 0..255. Unlike the window, which falls back
// to the previous value or the nearest limit, an unreadable or out-of-range
// number is a usage error here.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/field_parse.h"
#include "core/text_file.h"
#include "firmware/spl_builder.h"
#include "profiles/profile_file.h"
#include "tools/cli/cli.h"

namespace mv::cli {

namespace {

const char* kBuildUsage =
    "spl build --hex FILE --out DIR/NAME [--app-start ADDR] [--profile-start ADDR] [--fw-version N] "
    "[--profile SLOT=FILE]...";
const char* kInspectUsage = "spl inspect FILE.spl [--app-start ADDR] [--profile-start ADDR]";

// The last page a start address may name: the largest device's last.
constexpr std::uint32_t kLastStartAddress = (kSplDeviceTypes[0].flashPages - 1) * kFlashPageProgramWords;

// A start address option's value; false (after a usage message) when it is none.
bool ReadStartAddress(const char* option, const char* value, std::uint32_t& out) {
  if (ParseStartAddressStrict(value, out) && out <= kLastStartAddress) return true;
  std::fprintf(stderr,
               "morvane-cli: usage: %s '%s' is not an address: give a multiple of 0x800 from 0 to 0x%05X "
               "(such as 0x2000)\n",
               option, value, kLastStartAddress);
  return false;
}

int Build(int argc, char** argv) {
  SplBuildInput in;
  for (int s = 0; s < kSlotCount; ++s) in.profiles[s] = MotorProfileDefaults(s);
  std::string out;
  for (int i = 0; i < argc; ++i) {
    const char* opt = argv[i];
    if (i + 1 >= argc) return Usage(kBuildUsage);
    const char* value = argv[++i];
    if (!std::strcmp(opt, "--hex")) {
      in.hexPath = value;
    } else if (!std::strcmp(opt, "--out")) {
      out = value;
    } else if (!std::strcmp(opt, "--app-start")) {
      if (!ReadStartAddress(opt, value, in.appStartAddress)) return 2;
    } else if (!std::strcmp(opt, "--profile-start")) {
      if (!ReadStartAddress(opt, value, in.motorProfileStartAddress)) return 2;
    } else if (!std::strcmp(opt, "--fw-version")) {
      std::int64_t v = 0;
      if (!StrToInt64(value, v) || v < 0 || v > 255) return Usage("spl build: --fw-version takes a number 0..255");
      in.firmwareVersion = static_cast<std::uint8_t>(v);
    } else if (!std::strcmp(opt, "--profile")) {
      const char* eq = std::strchr(value, '=');
      if (!eq || eq - value != 1 || value[0] < '1' || value[0] > '6' || eq[1] == '\0')
        return Usage("spl build: --profile takes SLOT=FILE with SLOT 1..6");
      std::string message;
      MotorProfile p;
      if (!readMotorProfileFile(eq + 1, p, message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
      }
      in.profiles[value[0] - '1'] = p;
    } else {
      return Usage(kBuildUsage);
    }
  }
  if (in.hexPath.empty() || out.empty()) return Usage(kBuildUsage);

  const std::size_t slash = out.rfind('/');
  in.splDir = slash == std::string::npos ? "." : (slash == 0 ? "/" : out.substr(0, slash));
  in.fileName = SplFileNameWithExtension(slash == std::string::npos ? out : out.substr(slash + 1));

  const SplBuildResult r = BuildSplFile(in);
  if (!r.message.empty()) std::fprintf(stderr, "%s\n", r.message.c_str());
  // A file that could not be written still has its summary, as in the window.
  if (!r.summary.empty()) {
    std::printf("%s\n", r.deviceLabel.c_str());
    for (const std::string& line : r.summary) std::printf("%s\n", line.c_str());
  }
  return r.Ok() ? 0 : 1;
}

int Inspect(int argc, char** argv) {
  if (argc < 1 || *argv[0] == '\0') return Usage(kInspectUsage);
  const char* file = argv[0];
  std::uint32_t appStart = kDefaultAppStartAddress;
  std::uint32_t profileStart = kDefaultMotorProfileStartAddress;
  for (int i = 1; i < argc; ++i) {
    const char* opt = argv[i];
    if (i + 1 >= argc) return Usage(kInspectUsage);
    const char* value = argv[++i];
    if (!std::strcmp(opt, "--app-start")) {
      if (!ReadStartAddress(opt, value, appStart)) return 2;
    } else if (!std::strcmp(opt, "--profile-start")) {
      if (!ReadStartAddress(opt, value, profileStart)) return 2;
    } else {
      return Usage(kInspectUsage);
    }
  }

  std::string bytes, err;
  if (!ReadFileBytes(file, bytes, err, "SPL file")) {
    std::fprintf(stderr, "morvane-cli: %s\n", err.c_str());
    return 1;
  }
  const std::vector<std::uint8_t> image(bytes.begin(), bytes.end());
  SplContents c;
  std::string message;
  if (!ReadSplContents(image, appStart, profileStart, c, message)) {
    std::fprintf(stderr, "morvane-cli: %s: %s\n", file, message.c_str());
    return 1;
  }
  bool good = true;
  for (int s = 0; s < kSlotCount; ++s) {
    const MotorProfile& p = c.profiles[s];
    const bool sumOk = ProfileChecksumValid(p);
    std::printf("profile %d: name \"%s\" comment \"%s\" checksum %s\n", s + 1, p.Name().c_str(), p.Comment().c_str(),
                sumOk ? "ok" : "wrong");
    if (!sumOk) {
      std::fprintf(stderr, "morvane-cli: %s: profile %d checksum wrong (stored 0x%04X, computed 0x%04X)\n", file, s + 1,
                   p.Checksum(), profileChecksum(p));
      good = false;
    }
  }
  std::printf("profile words: %s\n", c.wordsPadded ? "ok" : "upper bytes not zero");
  std::printf("marker: %s\n", c.markerOk ? "ok" : "missing");
  std::printf("firmware version: %u\n", static_cast<unsigned>(c.firmwareVersion));
  if (!c.markerOk) {
    std::fprintf(stderr, "morvane-cli: %s: marker 55 AA 00 00 missing at offset 0x%X\n", file,
                 c.profilePageOffset + kSplMarkerOffset);
    good = false;
  }
  return good ? 0 : 1;
}

}  // namespace

int Spl(int argc, char** argv) {
  const char* usage = "spl build ... | spl inspect FILE.spl [--app-start ADDR] [--profile-start ADDR]";
  if (argc < 1) return Usage(usage);
  if (!std::strcmp(argv[0], "build")) return Build(argc - 1, argv + 1);
  if (!std::strcmp(argv[0], "inspect")) return Inspect(argc - 1, argv + 1);
  return Usage(usage);
}

}  // namespace mv::cli
