// The status log: one CSV line per completed status poll, headless.
//
// The file starts with a header line naming the columns: "Time" and the nine
// status field captions in poll order. Each poll line holds the local time as
// ISO 8601 with milliseconds and UTC offset, then the nine values as the
// status fields show them ("12.3", "6000", ...), the status and internal
// status words as "0x2006". A field whose answer was too short is left empty.
// Lines end in CR LF. Every line goes to the file with one write(2), so a
// crash of the program loses at most the line being written, and a line the
// disk has no room for is taken back whole: the log holds whole lines only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "control/status_requests.h"

namespace mv {

// "Time,Phase Current (A),Speed (RPM),...,Bus Voltage (V)" without line end.
const std::string& StatusCsvHeader();

// Milliseconds since 1970-01-01 UTC, from the wall clock.
std::int64_t WallClockMs();

// "2026-12-07T10:19:55.123+01:00" in local time; `out` holds `size` chars
// (40 is always enough). Returns the length written.
std::size_t FormatIsoTimestamp(std::int64_t unixMs, char* out, std::size_t size);

// One poll line with its CR LF; returns its length, 0 when `size` is too
// small. kStatusCsvLineSize is always enough.
inline constexpr std::size_t kStatusCsvLineSize = 256;
std::size_t FormatStatusCsvLine(std::int64_t unixMs, const StatusValues& values, char* out, std::size_t size);

class StatusCsvWriter {
 public:
  StatusCsvWriter() = default;
  ~StatusCsvWriter();
  StatusCsvWriter(const StatusCsvWriter&) = delete;
  StatusCsvWriter& operator=(const StatusCsvWriter&) = delete;

  // Opens `path` for appending. A missing or empty file gets the header; an
  // existing file must be a status log (its first line is the header), so no
  // other file is ever written to. False with a message in `error` (and
  // nothing written) otherwise. A writer already open is closed first.
  bool Open(const std::string& path, std::string& message);
  // Appends one poll line. False with a message when the write failed; the
  // writer then closes the file (what was written before stays).
  bool Append(std::int64_t unixMs, const StatusValues& values, std::string& message);
  // Closes the file; false with a message when closing reported an error.
  bool Close(std::string& message);

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  std::uint64_t LinesWritten() const { return lines_; }

 private:
  // Writes a whole line or nothing of it.
  bool WriteAll(const char* data, std::size_t length, std::string& message);

  int fd_ = -1;
  std::string path_;
  std::uint64_t lines_ = 0;
};

}  // namespace mv
