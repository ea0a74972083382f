// The motor profile file reader on arbitrary bytes: split into lines and
// checked in memory, and read again from a file path. Both ways must agree;
// a refused file leaves the caller's record untouched and says why; an
// accepted one carries a valid checksum and survives a write and re-read.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/text_file.h"
#include "fuzz_util.h"
#include "profiles/profile_file.h"

namespace {

mv::MotorProfile Sentinel() {
  mv::MotorProfile p;
  for (std::size_t i = 0; i < p.bytes.size(); ++i) p.bytes[i] = static_cast<std::uint8_t>(0xA5 ^ i);
  return p;
}

bool HasNul(const mv::MotorProfile& p, std::size_t offset, std::size_t width) {
  // A NUL inside the text (before its last non-NUL byte) cannot be written
  // back as a line: the writer stops at the first NUL.
  bool seenNul = false;
  for (std::size_t i = 0; i < width; ++i) {
    if (p.bytes[offset + i] == 0)
      seenNul = true;
    else if (seenNul)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mv::MotorProfile fromLines;
  std::string message;
  const auto parseLines = [](const std::vector<std::string>& lines, mv::MotorProfile& out, std::string& why) {
    return mv::ParseMotorProfileLines(lines, out, why);
  };
  const auto readFile = [](const std::string& path, mv::MotorProfile& out, std::string& why) {
    return mv::readMotorProfileFile(path, out, why);
  };
  if (!fuzzutil::ReadBothWays(data, size, Sentinel(), parseLines, readFile, fromLines, message)) return 0;
  FUZZ_CHECK(mv::ProfileChecksumValid(fromLines));
  // Padding after the name and the comment is rebuilt as zeros.
  FUZZ_CHECK(fromLines.bytes[mv::off::name + mv::kNameBytes - 1] == 0);
  FUZZ_CHECK(fromLines.bytes[mv::off::comment + mv::kCommentBytes - 1] == 0);

  if (HasNul(fromLines, mv::off::name, mv::kNameBytes) || HasNul(fromLines, mv::off::comment, mv::kCommentBytes))
    return 0;
  // What was read is written back and read again to the same 222 bytes.
  const std::vector<std::string> written = mv::MotorProfileFileLines(fromLines);
  FUZZ_CHECK(written.size() == static_cast<std::size_t>(mv::kProfileFileLines));
  mv::MotorProfile again = Sentinel();
  std::string againMessage;
  FUZZ_CHECK(mv::ParseMotorProfileLines(written, again, againMessage));
  FUZZ_CHECK(again == fromLines);
  return 0;
}
