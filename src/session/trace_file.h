// The link trace file: what the flight recorder kept, as text that people,
// Wireshark's text2pcap and the simulated drive's replay all read.
//
//   # Morvane link trace, format 1
//   # ... (a few lines on how to read it)
//   # 2024-05-01 10:15:14.100021 port opened: /dev/ttyUSB0, 115200 bit/s
//   # 2024-05-01 10:15:14.123401 #12 get-all: 6 steps
//   O 2024-05-01 10:15:14.123456
//   #   #12 get-all step 1 of 6: 0x35 get profile, slot 1
//   000000 35 00
//   I 2024-05-01 10:15:14.125012 +1.210ms
//   #   #12 get-all step 1 of 6: answer 0x53 profile block for slot 1 "P01", checksum valid
//   000000 53 00 50 30 31 00 00 00 00 00 00 00 00 00 44 65
//   000010 ...
//   # 2024-05-01 10:15:14.301544 #12 get-all ended: completed
//
// One block per frame: a line "O" (bytes to the drive) or "I" (bytes from
// it) with the local date and time to the microsecond, for received bytes
// also the time from the first to the last ("+1.210ms", left out when they
// came at once); then what the host made of it on a line of its own; then
// the bytes in hex, 16 to a line, each line led by its offset (six hex
// digits). Every other line begins with "#": the link's and the port's
// events with their time, and the words. A frame the port refused never
// reached the line: it is such a "#" line. text2pcap reads a "#" line as
// nothing, and takes any word of a line without "#" that is all hex digits
// for an offset, so the words stay on "#" lines only.
//
// Wireshark: text2pcap -D -t "%Y-%m-%d %H:%M:%S.%f" -l 147 FILE FILE.pcapng,
// then open FILE.pcapng with the dissector morvane.lua (link type 147).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/link_recorder.h"

namespace mv {

inline constexpr const char* kTraceFileHeader = "# Morvane link trace, format 1";
// The text2pcap options that read a trace file.
inline constexpr const char* kText2pcapOptions = "-D -t \"%Y-%m-%d %H:%M:%S.%f\" -l 147";
// Most bytes one block of a file may hold.
inline constexpr std::size_t kTraceMaxBlockBytes = 4096;

// One frame of a trace file.
struct TraceFileRecord {
  bool toDrive = false;      // "O"; "I" when from the drive
  std::int64_t timeUs = 0;   // the date and time written, in microseconds (the local time read as UTC)
  std::uint32_t spanUs = 0;  // from the first byte to the last
  std::vector<std::uint8_t> bytes;
  int line = 0;  // the line of its "O" or "I"
  bool operator==(const TraceFileRecord& o) const {
    return toDrive == o.toDrive && timeUs == o.timeUs && spanUs == o.spanUs && bytes == o.bytes;
  }
};

// The file's first lines.
std::string TraceFileHeaderText();
// Appends the lines of one event (its wall-clock time from `wallOffsetUs`,
// see LinkRecorder::WallTimeUs).
void AppendTraceEvent(std::string& out, const TraceEvent& event, std::int64_t wallOffsetUs);
// Appends one frame block; `words`, when not empty, is its "#" line.
void AppendTraceRecord(std::string& out, const TraceFileRecord& record, const std::string& words);
// The whole file for what the recorder keeps.
std::string TraceFileText(const LinkRecorder& recorder);
// Replaces the file with the text; false with why ("unable to write trace
// file ...: reason"), the old file kept.
bool WriteTraceFile(const std::string& path, const std::string& text, std::string& message);

// Reads the frames of a trace file's text; false with why ("line 12: ...")
// and `records` untouched.
bool ParseTraceText(const std::string& text, std::vector<TraceFileRecord>& records, std::string& message);
bool ReadTraceFile(const std::string& path, std::vector<TraceFileRecord>& records, std::string& message);

}  // namespace mv
