// morvane-cli hex: reading Intel HEX files.
//   hex info FILE
//   hex image FILE --start ADDR --size N [--fill BYTE] --out PATH
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/field_parse.h"
#include "core/text_file.h"
#include "firmware/intel_hex.h"
#include "tools/cli/cli.h"

namespace mv::cli {

namespace {

const char* kHexUsage = "hex info FILE | hex image FILE --start ADDR --size N [--fill BYTE] --out PATH";

bool ReadNumber(const char* text, std::uint64_t max, std::uint64_t& out) {
  std::int64_t v = 0;
  if (!StrToInt64(text, v) || v < 0 || static_cast<std::uint64_t>(v) > max) return false;
  out = static_cast<std::uint64_t>(v);
  return true;
}

void ReportHexError(const char* path, const IntelHexFile& hex) {
  if (hex.ErrorLine() > 0)
    std::fprintf(stderr, "morvane-cli: %s: %s (line %d)\n", path, hex.ErrorText(false).c_str(), hex.ErrorLine());
  else
    std::fprintf(stderr, "morvane-cli: %s: %s\n", path, hex.ErrorText(false).c_str());
}

int Info(int argc, char** argv) {
  if (argc != 1 || *argv[0] == '\0') return Usage("hex info FILE");
  IntelHexFile hex(argv[0]);
  const unsigned code = hex.ErrorCode();
  std::printf("error: %u %s\n", code, hex.ErrorText(false).c_str());
  std::printf("line: %d\n", hex.ErrorLine());
  if (code != 0) {
    std::fputs("text: ", stdout);
    std::fwrite(hex.ErrorLineText().data(), 1, hex.ErrorLineText().size(), stdout);
    std::fputc('\n', stdout);
  }
  std::printf("counts: %u %u %u %u %u %u\n", hex.RecordCount(0), hex.RecordCount(1), hex.RecordCount(2),
              hex.RecordCount(3), hex.RecordCount(4), hex.RecordCount(5));
  std::printf("lowest: 0x%08X\n", hex.LowestAddress());
  std::printf("highest: 0x%08X\n", hex.HighestAddress());
  std::printf("total: %u\n", hex.TotalDataBytes());
  std::printf("mode: %u\n", static_cast<unsigned>(hex.AddressMode()));
  std::printf("limit: 0x%08X\n", hex.AddressLimit());
  std::printf("longest: %u\n", hex.LongestDataRecord());
  if (code != 0) {
    ReportHexError(argv[0], hex);
    return 1;
  }
  return 0;
}

int Image(int argc, char** argv) {
  const char* usage = "hex image FILE --start ADDR --size N [--fill BYTE] --out PATH";
  if (argc < 1 || *argv[0] == '\0') return Usage(usage);
  const char* file = argv[0];
  std::uint64_t start = 0, size = 0, fill = 0xFF;
  bool haveStart = false, haveSize = false;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const char* opt = argv[i];
    if (i + 1 >= argc) return Usage(usage);
    const char* value = argv[++i];
    if (!std::strcmp(opt, "--start")) {
      if (!ReadNumber(value, 0xFFFFFFFFu, start)) return Usage("hex image: --start takes an address 0..0xFFFFFFFF");
      haveStart = true;
    } else if (!std::strcmp(opt, "--size")) {
      // The window is held in memory: 256 MiB is far more than any flash image.
      if (!ReadNumber(value, 0x10000000u, size) || size == 0)
        return Usage("hex image: --size takes a byte count 1..0x10000000");
      haveSize = true;
    } else if (!std::strcmp(opt, "--fill")) {
      if (!ReadNumber(value, 0xFF, fill)) return Usage("hex image: --fill takes a byte 0..255");
    } else if (!std::strcmp(opt, "--out")) {
      out = value;
    } else {
      return Usage(usage);
    }
  }
  if (!haveStart || !haveSize || out.empty()) return Usage(usage);
  if (start + size - 1 > 0xFFFFFFFFu) return Usage("hex image: the window --start ADDR --size N ends above 0xFFFFFFFF");

  IntelHexFile hex(file);
  if (hex.ErrorCode() != heNone) {
    ReportHexError(file, hex);
    return 1;
  }
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "morvane-cli: not enough memory for a window of %llu bytes\n",
                 static_cast<unsigned long long>(size));
    return 1;
  }
  std::uint32_t fillCount = 0;
  if (!hex.GetImage(buffer.data(), static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(size),
                    static_cast<std::uint8_t>(fill), fillCount)) {
    std::fprintf(
        stderr, "morvane-cli: window 0x%08llX..0x%08llX lies outside the file's address space (limit 0x%08X)\n",
        static_cast<unsigned long long>(start), static_cast<unsigned long long>(start + size - 1), hex.AddressLimit());
    return 1;
  }
  std::string err;
  if (!WriteFileAtomic(out, buffer, err, "image file")) {
    std::fprintf(stderr, "morvane-cli: %s\n", err.c_str());
    return 1;
  }
  std::printf("fill-count: %u\n", fillCount);
  return 0;
}

}  // namespace

int Hex(int argc, char** argv) {
  if (argc < 1) return Usage(kHexUsage);
  if (!std::strcmp(argv[0], "info")) return Info(argc - 1, argv + 1);
  if (!std::strcmp(argv[0], "image")) return Image(argc - 1, argv + 1);
  return Usage(kHexUsage);
}

}  // namespace mv::cli
