// Writes Intel HEX text for tests and benchmarks: records with correct
// checksums, 16-byte data lines and type 04 records whenever the upper half of
// the address changes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace hexgen {

// One record line without its line end. `count` is written as given, so a
// test can make it disagree with the data.
inline std::string RecordWithCount(unsigned count, std::uint16_t offset, std::uint8_t type,
                                   const std::vector<std::uint8_t>& data, bool lowerCase = false) {
  std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(offset >> 8),
                                     static_cast<std::uint8_t>(offset & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto b : bytes) sum += b;
  bytes.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  std::string line = ":";
  char buf[3];
  for (auto b : bytes) {
    std::snprintf(buf, sizeof buf, lowerCase ? "%02x" : "%02X", b);
    line += buf;
  }
  return line;
}

inline std::string Record(std::uint16_t offset, std::uint8_t type, const std::vector<std::uint8_t>& data,
                          bool lowerCase = false) {
  return RecordWithCount(static_cast<unsigned>(data.size()), offset, type, data, lowerCase);
}

inline std::string Eof() { return ":00000001FF"; }

inline std::string Linear(std::uint16_t upper) {
  return Record(0, 4, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper & 0xFF)});
}

inline std::string Segment(std::uint16_t segment) {
  return Record(0, 2, {static_cast<std::uint8_t>(segment >> 8), static_cast<std::uint8_t>(segment & 0xFF)});
}

inline std::string Join(const std::vector<std::string>& lines, const std::string& eol = "\n") {
  std::string text;
  for (const auto& l : lines) text += l + eol;
  return text;
}

// Memory contents written out as 16-byte lines in rising address order, with
// a type 04 record before the first line of each 64 KiB block.
class Image {
 public:
  void Set(std::uint32_t address, std::uint8_t value) { bytes_[address] = value; }
  void Fill(std::uint32_t address, std::uint32_t count, std::uint8_t value) {
    for (std::uint32_t i = 0; i < count; ++i) bytes_[address + i] = value;
  }
  // dsPIC-style words: three bytes of a program word and a 0x00 byte, never
  // all 0xFF, so every written byte range counts as used.
  void FillWords(std::uint32_t address, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t a = address + i;
      bytes_[a] = (a % 4 == 3) ? 0x00 : static_cast<std::uint8_t>((a * 7 + a / 4) & 0x7F);
    }
  }
  const std::map<std::uint32_t, std::uint8_t>& Bytes() const { return bytes_; }

  std::string ToHex(const std::string& eol = "\n") const {
    std::string text;
    long upper = -1;
    auto it = bytes_.begin();
    while (it != bytes_.end()) {
      const std::uint32_t start = it->first;
      std::vector<std::uint8_t> data;
      std::uint32_t next = start;
      // Up to 16 consecutive bytes that stay inside the 16-byte row and the 64 KiB block.
      while (it != bytes_.end() && it->first == next && data.size() < 16 && (next == start || next % 16 != 0) &&
             (next >> 16) == (start >> 16)) {
        data.push_back(it->second);
        ++next;
        ++it;
      }
      if (static_cast<long>(start >> 16) != upper) {
        upper = start >> 16;
        text += Linear(static_cast<std::uint16_t>(upper)) + eol;
      }
      text += Record(static_cast<std::uint16_t>(start & 0xFFFF), 0, data) + eol;
    }
    text += Eof() + eol;
    return text;
  }

 private:
  std::map<std::uint32_t, std::uint8_t> bytes_;
};

}  // namespace hexgen
