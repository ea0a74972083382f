// The status log writer: header, units as the fields show them, one line per
// poll, nothing lost on close, and refusal of files that are not status logs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "control/status_csv.h"
#include "support/full_disk.h"
#include "support/test_support.h"

namespace {

using mv::StatusField;

mv::StatusValues Poll(std::vector<std::uint16_t> raw) {
  mv::StatusValues v;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    v.raw[i] = raw[i];
    v.received = static_cast<std::uint16_t>(v.received | (1u << i));
  }
  return v;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
    out.push_back(text.substr(start, p - start));
  if (start < text.size()) out.push_back(text.substr(start));  // unterminated rest
  return out;
}

const std::string kHeader =
    "Time,Phase Current (A),Speed (RPM),Phase Power (W),Status,Controller Temp (C),Internal Status,"
    "Motor Temp (R),Torque (NM),Bus Voltage (V)";

}  // namespace

TEST(StatusCsvFormat, LineShowsValuesInDisplayUnitsAndWordsInHex) {
  EXPECT_EQ(mv::StatusCsvHeader(), kHeader);

  char line[mv::kStatusCsvLineSize];
  const auto v = Poll({123, 600, 450, 0x2006, 41, 0x0004, 37, 12, 480});
  const std::size_t n = mv::FormatStatusCsvLine(1700000000123, v, line, sizeof line);
  ASSERT_GT(n, 0u);
  const std::string s(line, n);
  const std::size_t comma = s.find(',');
  EXPECT_EQ(s.substr(comma), ",12.3,6000,450,0x2006,41,0x0004,37,12,48.0\r\n");

  // A field whose answer was too short stays empty; the columns stay aligned.
  mv::StatusValues partial = v;
  partial.received = static_cast<std::uint16_t>(partial.received & ~(1u << 3));
  const std::string p(line, mv::FormatStatusCsvLine(1700000000123, partial, line, sizeof line));
  EXPECT_EQ(p.substr(p.find(',')), ",12.3,6000,450,,41,0x0004,37,12,48.0\r\n");

  // Largest values still fit the fixed line buffer; a small buffer is refused.
  const auto big = Poll(std::vector<std::uint16_t>(9, 0xFFFF));
  EXPECT_GT(mv::FormatStatusCsvLine(-1, big, line, sizeof line), 0u);
  char tiny[40];
  EXPECT_EQ(mv::FormatStatusCsvLine(1700000000123, v, tiny, sizeof tiny), 0u);
}

TEST(StatusCsvFormat, TimestampIsIsoLocalTimeWithMillisecondsAndOffset) {
  char out[40];
  for (const std::int64_t ms : {std::int64_t{1700000000123}, std::int64_t{0}, std::int64_t{-1}}) {
    const std::size_t n = mv::FormatIsoTimestamp(ms, out, sizeof out);
    const std::string s(out, n);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(s, m, std::regex(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})([+-])(\d\d):(\d\d))")))
        << s;
    // The fields with the offset taken off give back the instant.
    std::tm tm{};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    const long offset = (m[8] == "-" ? -1 : 1) * (std::stol(m[9]) * 3600 + std::stol(m[10]) * 60);
    const std::int64_t back = (static_cast<std::int64_t>(timegm(&tm)) - offset) * 1000 + std::stoi(m[7]);
    EXPECT_EQ(back, ms) << s;
  }
}

TEST(StatusCsvWriter, WritesHeaderOnceAndOneLinePerPollThenContinuesTheSameLog) {
  mvtest::TempDir dir;
  const std::string path = dir.File("log.csv");
  std::string error;
  {
    mv::StatusCsvWriter w;
    ASSERT_TRUE(w.Open(path, error)) << error;
    // Each line is in the file as soon as Append returns (no buffering).
    ASSERT_TRUE(w.Append(1700000000000, Poll({1, 2, 3, 4, 5, 6, 7, 8, 9}), error)) << error;
    EXPECT_EQ(Lines(mvtest::ReadFile(path)).size(), 2u);
    ASSERT_TRUE(w.Append(1700000000250, Poll({1, 2, 3, 4, 5, 6, 7, 8, 9}), error)) << error;
    EXPECT_EQ(w.LinesWritten(), 2u);
    ASSERT_TRUE(w.Close(error)) << error;
    EXPECT_FALSE(w.IsOpen());
    EXPECT_FALSE(w.Append(1700000000500, Poll({}), error));
  }
  {
    // Reopening the same log appends below, without a second header.
    mv::StatusCsvWriter w;
    ASSERT_TRUE(w.Open(path, error)) << error;
    ASSERT_TRUE(w.Append(1700000000750, Poll({9, 8, 7, 6, 5, 4, 3, 2, 1}), error)) << error;
  }  // the destructor closes
  auto lines = Lines(mvtest::ReadFile(path));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], kHeader);
  EXPECT_NE(lines[3].find(",0.9,80,7,0x0006,5,0x0004,3,2,0.1"), std::string::npos) << lines[3];
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 9);

  // A line cut short by a crash is ended (and kept) before the next line.
  mvtest::WriteFile(path, mvtest::ReadFile(path) + "2026-01-01T00:00:00.000+00:00,1.0,10");
  mv::StatusCsvWriter w;
  ASSERT_TRUE(w.Open(path, error)) << error;
  ASSERT_TRUE(w.Append(1700000000000, Poll({1, 2, 3, 4, 5, 6, 7, 8, 9}), error));
  lines = Lines(mvtest::ReadFile(path));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "2026-01-01T00:00:00.000+00:00,1.0,10");
  EXPECT_EQ(std::count(lines[5].begin(), lines[5].end(), ','), 9);
}

TEST(StatusCsvWriter, RefusesWhatIsNotAStatusLogAndChangesNothing) {
  mvtest::TempDir dir;
  std::string error;
  mv::StatusCsvWriter w;

  const std::string other = dir.File("profile.ini");
  const std::string content = "Motor Profile Configuration File\r\n\r\nvers_major: 1\r\n";
  mvtest::WriteFile(other, content);
  EXPECT_FALSE(w.Open(other, error));
  EXPECT_NE(error.find("is not a status log"), std::string::npos) << error;
  EXPECT_EQ(mvtest::ReadFile(other), content);
  EXPECT_FALSE(w.IsOpen());

  // A header that only starts like ours is not ours either.
  mvtest::WriteFile(other, kHeader + ",Extra\r\n");
  EXPECT_FALSE(w.Open(other, error));
  EXPECT_EQ(mvtest::ReadFile(other), kHeader + ",Extra\r\n");

  EXPECT_FALSE(w.Open(dir.Path(), error));  // a folder
  EXPECT_EQ(error.rfind("ERROR: - ", 0), 0u) << error;
  EXPECT_FALSE(w.Open(dir.File("missing/log.csv"), error));
  EXPECT_NE(error.find("missing/log.csv"), std::string::npos) << error;
  EXPECT_FALSE(w.Open("", error));

  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(w.Open(fifo, error));  // refused without blocking
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

  // A log that was open is closed with its lines kept when another is opened.
  const std::string log = dir.File("log.csv");
  ASSERT_TRUE(w.Open(log, error)) << error;
  ASSERT_TRUE(w.Append(1700000000000, Poll({1}), error));
  EXPECT_FALSE(w.Open(other, error));
  EXPECT_EQ(Lines(mvtest::ReadFile(log)).size(), 2u);

  // A log the user may not write is refused with the system's reason (root
  // may write any file: the nonroot group runs this as an ordinary user).
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(log.c_str(), 0444), 0);
    const std::string before = mvtest::ReadFile(log);
    EXPECT_FALSE(w.Open(log, error));
    EXPECT_EQ(error, "ERROR: - cannot open the status log " + log + ": Permission denied");
    EXPECT_EQ(mvtest::ReadFile(log), before);
  }
}

// The line that no longer fits is taken back whole: the log ends in a whole
// line.
TEST(StatusCsvWriter, FullDiskKeepsWholeLinesOnly) {
  mvtest::TinyDisk disk;
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
  const std::string path = disk.File("log.csv");
  std::string error;
  mv::StatusCsvWriter w;
  ASSERT_TRUE(w.Open(path, error)) << error;
  disk.Fill();
  int appended = 0;
  while (appended < 1000 && w.Append(1700000000000, Poll({1, 2, 3, 4, 5, 6, 7, 8, 9}), error)) ++appended;
  EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
  const std::string text = mvtest::ReadFile(path);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(Lines(text).size(), static_cast<std::size_t>(appended) + 1);
}
