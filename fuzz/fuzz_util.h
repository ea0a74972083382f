// Helpers shared by the fuzz targets: an in-memory file with a path (the
// readers take paths), a private scratch folder, and a check that stops the
// run with a readable message when an invariant breaks.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/text_file.h"

namespace fuzzutil {

// Aborts with the failed condition, so libFuzzer saves the input.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

// A memory-backed file reachable as /proc/self/fd/N; reused between inputs.
class MemFile {
 public:
  MemFile() {
    fd_ = memfd_create("mv-fuzz-input", 0);
    if (fd_ < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  // Replaces the contents; returns the path to open.
  const std::string& Set(const void* data, std::size_t size) {
    if (ftruncate(fd_, 0) != 0) std::abort();
    std::size_t done = 0;
    const char* p = static_cast<const char*>(data);
    while (done < size) {
      const ssize_t n = pwrite(fd_, p + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    return path_;
  }
  const std::string& Path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Reads the input as lines in memory and as a file through the reader's two
// entry points, each into a copy of `sentinel`; checks that both ways agree
// (result, record, message) and that a refusal leaves the record untouched
// and says "ERROR: - ...". Returns whether the input was accepted.
template <class Record, class ParseLines, class ReadFile>
bool ReadBothWays(const std::uint8_t* data, std::size_t size, const Record& sentinel, ParseLines parseLines,
                  ReadFile readFile, Record& out, std::string& message) {
  static MemFile file;
  std::vector<std::string> lines;
  mv::SplitLines(std::string(reinterpret_cast<const char*>(data), size), lines);
  out = sentinel;
  const bool ok = parseLines(lines, out, message);

  Record fromFile = sentinel;
  std::string fileMessage;
  const bool fileOk = readFile(file.Set(data, size), fromFile, fileMessage);
  FUZZ_CHECK(ok == fileOk);
  FUZZ_CHECK(out == fromFile);
  FUZZ_CHECK(message == fileMessage);
  if (!ok) {
    FUZZ_CHECK(out == sentinel);
    FUZZ_CHECK(message.rfind("ERROR: - ", 0) == 0);
  }
  return ok;
}

}  // namespace fuzzutil

namespace fuzzutil {

// Intel HEX text for the given byte runs (byte address, bytes), 16 bytes a
// line, with a type 04 record whenever the upper address half changes.
inline std::string HexText(const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>& runs) {
  std::string text;
  auto line = [&text](std::uint8_t type, std::uint16_t offset, const std::uint8_t* d, std::size_t n) {
    unsigned sum = static_cast<unsigned>(n) + (offset >> 8) + (offset & 0xFF) + type;
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(n), offset, type);
    text += buf;
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", d[i]);
      text += buf;
      sum += d[i];
    }
    std::snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += buf;
  };
  long upper = -1;
  for (const auto& run : runs) {
    for (std::size_t i = 0; i < run.second.size(); i += 16) {
      const std::uint32_t a = run.first + static_cast<std::uint32_t>(i);
      if (static_cast<long>(a >> 16) != upper) {
        upper = a >> 16;
        const std::uint8_t u[2] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
        line(4, 0, u, 2);
      }
      const std::size_t n = std::min<std::size_t>(16, run.second.size() - i);
      line(0, static_cast<std::uint16_t>(a & 0xFFFF), run.second.data() + i, n);
    }
  }
  line(1, 0, nullptr, 0);
  return text;
}

// A firmware-like file an SPL image can be built from with the default
// addresses: data in the application's first page, on both sides of the
// blank motor profile page, and in the last page of the largest device.
inline std::string FirmwareHexText() {
  std::vector<std::uint8_t> words(64);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = (i % 4 == 3) ? 0 : static_cast<std::uint8_t>(i * 7 + 1);
  return HexText({{0x0000, words}, {0x4000, words}, {0x6000, words}, {0x9000, words}, {170u * 4096u, words}});
}

}  // namespace fuzzutil
