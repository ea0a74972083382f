#include "session/trace_file.h"

#include <time.h>

#include <cstdio>

#include "core/text_file.h"

namespace mv {

namespace {

constexpr std::int64_t kUsPerDay = 86400LL * 1000000LL;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

// Wall-clock microseconds to the same instant's local date and time, as
// microseconds since 1970 read as UTC.
std::int64_t LocalUs(std::int64_t wallUs) {
  const time_t seconds = static_cast<time_t>(FloorDiv(wallUs, 1000000));
  tm fields{};
  if (localtime_r(&seconds, &fields) == nullptr) return wallUs;
  return wallUs + static_cast<std::int64_t>(fields.tm_gmtoff) * 1000000;
}

// "2024-05-01 10:15:14.123456"
std::string TimeText(std::int64_t localUs) {
  const std::int64_t days = FloorDiv(localUs, kUsPerDay);
  const std::int64_t inDay = localUs - days * kUsPerDay;
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  const std::int64_t s = inDay / 1000000;
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld.%06lld", static_cast<long long>(y), m, d,
                static_cast<long long>(s / 3600), static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60),
                static_cast<long long>(inDay % 1000000));
  return text;
}

// Reads `count` decimal digits at `p`; false unless they are all digits.
bool Digits(const std::string& s, std::size_t& p, std::size_t count, std::int64_t& out) {
  if (p + count > s.size()) return false;
  out = 0;
  for (std::size_t i = 0; i < count; ++i, ++p) {
    const char c = s[p];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

bool Expect(const std::string& s, std::size_t& p, char c) {
  if (p >= s.size() || s[p] != c) return false;
  ++p;
  return true;
}

// "YYYY-MM-DD HH:MM:SS.f..." (1 to 9 fraction digits) at p.
bool ParseTime(const std::string& s, std::size_t& p, std::int64_t& us) {
  std::int64_t y, mo, d, h, mi, se;
  if (!Digits(s, p, 4, y) || !Expect(s, p, '-') || !Digits(s, p, 2, mo) || !Expect(s, p, '-') || !Digits(s, p, 2, d) ||
      !Expect(s, p, ' ') || !Digits(s, p, 2, h) || !Expect(s, p, ':') || !Digits(s, p, 2, mi) || !Expect(s, p, ':') ||
      !Digits(s, p, 2, se) || !Expect(s, p, '.'))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return false;
  std::int64_t fraction = 0;
  std::size_t n = 0;
  for (; p < s.size() && s[p] >= '0' && s[p] <= '9'; ++p, ++n)
    if (n < 6) fraction = fraction * 10 + (s[p] - '0');
  if (n == 0 || n > 9) return false;
  for (std::size_t i = n; i < 6; ++i) fraction *= 10;
  us = (DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + se) *
           1000000 +
       fraction;
  return true;
}

// "+1.210ms" at p (after blanks): the span in microseconds.
bool ParseSpan(const std::string& s, std::size_t& p, std::uint32_t& us) {
  std::int64_t ms = 0, frac = 0;
  if (!Expect(s, p, '+')) return false;
  std::size_t n = 0;
  for (; p < s.size() && s[p] >= '0' && s[p] <= '9' && n < 6; ++p, ++n) ms = ms * 10 + (s[p] - '0');
  if (n == 0 || !Expect(s, p, '.') || !Digits(s, p, 3, frac) || !Expect(s, p, 'm') || !Expect(s, p, 's')) return false;
  us = static_cast<std::uint32_t>(ms * 1000 + frac);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void SkipBlanks(const std::string& s, std::size_t& p) {
  while (p < s.size() && (s[p] == ' ' || s[p] == '\t')) ++p;
}

bool Fail(std::string& message, std::size_t line, const std::string& why) {
  message = "line " + std::to_string(line) + ": " + why;
  return false;
}

}  // namespace

std::string TraceFileHeaderText() {
  std::string h = kTraceFileHeader;
  h += "\n# A block per frame: \"O\" (to the drive) or \"I\" (from it), the local date and time,\n"
       "# for received bytes the time from the first to the last; what the host made of it;\n"
       "# the bytes in hex, 16 a line after their offset. Lines with \"#\" are the link's events.\n"
       "# Wireshark: text2pcap ";
  h += kText2pcapOptions;
  h += " FILE FILE.pcapng (dissector morvane.lua)\n"
       "# Replay: morvane-sim --replay FILE\n";
  return h;
}

void AppendTraceRecord(std::string& out, const TraceFileRecord& record, const std::string& words) {
  out += record.toDrive ? "O " : "I ";
  out += TimeText(record.timeUs);
  if (record.spanUs > 0) {
    char span[40];
    std::snprintf(span, sizeof span, " +%u.%03ums", record.spanUs / 1000, record.spanUs % 1000);
    out += span;
  }
  out += '\n';
  if (!words.empty()) {
    out += "#   ";
    out += words;
    out += '\n';
  }
  static const char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < record.bytes.size(); i += 16) {
    char offset[24];
    std::snprintf(offset, sizeof offset, "%06zX", i);
    out += offset;
    for (std::size_t j = i; j < record.bytes.size() && j < i + 16; ++j) {
      out += ' ';
      out += kDigits[record.bytes[j] >> 4];
      out += kDigits[record.bytes[j] & 0xF];
    }
    out += '\n';
  }
}

void AppendTraceEvent(std::string& out, const TraceEvent& event, std::int64_t wallOffsetUs) {
  const std::int64_t local = LocalUs(event.timeUs + wallOffsetUs);
  std::string words = DescribeEvent(event);
  // A word on one line: a line end in a report would start a line text2pcap reads.
  for (char& c : words)
    if (c == '\n' || c == '\r') c = ' ';
  const bool onLine = event.kind == TraceKind::Received ||
                      (event.kind == TraceKind::Frame && event.reading == TraceReading::Sent && event.length > 0);
  if (!onLine) {
    out += "# ";
    out += TimeText(local);
    out += ' ';
    out += words;
    out += '\n';
    return;
  }
  TraceFileRecord r;
  r.toDrive = event.kind == TraceKind::Frame;
  r.timeUs = local;
  r.spanUs = event.spanUs;
  r.bytes.assign(event.data.begin(), event.data.begin() + event.length);
  AppendTraceRecord(out, r, words);
}

std::string TraceFileText(const LinkRecorder& recorder) {
  const TraceRing& ring = recorder.Ring();
  std::string out = TraceFileHeaderText();
  out.reserve(out.size() + ring.Size() * 96);
  const std::int64_t offset = recorder.WallTimeUs(0);
  for (std::uint64_t seq = ring.First(); seq < ring.End(); ++seq) AppendTraceEvent(out, ring.At(seq), offset);
  return out;
}

bool WriteTraceFile(const std::string& path, const std::string& text, std::string& message) {
  return WriteFileAtomic(path, text, message, "trace file");
}

bool ParseTraceText(const std::string& text, std::vector<TraceFileRecord>& records, std::string& message) {
  std::vector<std::string> lines;
  SplitLines(text, lines);
  if (lines.empty() || lines[0].rfind(kTraceFileHeader, 0) != 0)
    return Fail(message, 1, std::string("not a link trace (the first line is not \"") + kTraceFileHeader + "\")");
  std::vector<TraceFileRecord> got;
  TraceFileRecord* open = nullptr;  // the block whose bytes are being read
  auto closeBlock = [&] {
    if (open != nullptr && open->bytes.empty())
      return Fail(message, static_cast<std::size_t>(open->line), "the frame has no bytes");
    open = nullptr;
    return true;
  };
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& s = lines[i];
    const std::size_t number = i + 1;
    std::size_t p = 0;
    SkipBlanks(s, p);
    if (p == s.size() || s[p] == '#') continue;
    if ((s[p] == 'O' || s[p] == 'I') && p + 1 < s.size() && (s[p + 1] == ' ' || s[p + 1] == '\t')) {
      if (!closeBlock()) return false;
      TraceFileRecord r;
      r.toDrive = s[p] == 'O';
      r.line = static_cast<int>(number);
      p += 1;
      SkipBlanks(s, p);
      if (!ParseTime(s, p, r.timeUs)) return Fail(message, number, "the time is not \"YYYY-MM-DD HH:MM:SS.ffffff\"");
      SkipBlanks(s, p);
      if (p < s.size() && s[p] == '+' && !ParseSpan(s, p, r.spanUs))
        return Fail(message, number, "the time the bytes took is not \"+N.NNNms\"");
      got.push_back(std::move(r));
      open = &got.back();
      continue;
    }
    // A line of bytes: its offset, then bytes of two hex digits.
    if (open == nullptr) return Fail(message, number, "bytes without an \"O\" or \"I\" line before them");
    std::size_t offset = 0, digits = 0;
    for (; p < s.size() && HexDigit(s[p]) >= 0; ++p, ++digits) {
      if (digits >= 8) return Fail(message, number, "the offset is too long");
      offset = offset * 16 + static_cast<std::size_t>(HexDigit(s[p]));
    }
    if (digits == 0 || (p < s.size() && s[p] != ' ' && s[p] != '\t'))
      return Fail(message, number, "neither \"O\", \"I\", \"#\" nor an offset and bytes");
    if (offset != open->bytes.size())
      return Fail(message, number,
                  "the offset is " + std::to_string(offset) + ", the frame has " + std::to_string(open->bytes.size()) +
                      " bytes before it");
    std::size_t onLine = 0;
    while (true) {
      SkipBlanks(s, p);
      if (p == s.size()) break;
      const int hi = HexDigit(s[p]);
      const int lo = p + 1 < s.size() ? HexDigit(s[p + 1]) : -1;
      if (hi < 0 || lo < 0 || (p + 2 < s.size() && s[p + 2] != ' ' && s[p + 2] != '\t'))
        return Fail(message, number, "a byte is not two hex digits");
      if (open->bytes.size() >= kTraceMaxBlockBytes)
        return Fail(message, number, "a frame of more than " + std::to_string(kTraceMaxBlockBytes) + " bytes");
      open->bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
      p += 2;
      ++onLine;
    }
    if (onLine == 0) return Fail(message, number, "an offset without bytes");
  }
  if (!closeBlock()) return false;
  records = std::move(got);
  return true;
}

bool ReadTraceFile(const std::string& path, std::vector<TraceFileRecord>& records, std::string& message) {
  std::string text;
  if (!ReadFileBytes(path, text, message, "trace file")) return false;
  if (!ParseTraceText(text, records, message)) {
    message = path + ": " + message;
    return false;
  }
  return true;
}

}  // namespace mv
