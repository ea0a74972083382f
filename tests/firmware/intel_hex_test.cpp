#include "firmware/intel_hex.h"

#include <gtest/gtest.h>

#include <random>

#include "support/hex_gen.h"
#include "support/test_support.h"

using hexgen::Eof;
using hexgen::Join;
using hexgen::Record;
using mv::IntelHexFile;

namespace {

struct Loaded {
  mvtest::TempDir dir;
  IntelHexFile hex;
  explicit Loaded(const std::string& text) {
    mvtest::WriteFile(dir.File("in.hex"), text);
    hex.Load(dir.File("in.hex"));
  }
};

const std::string kData16 =
    Record(0x0100, 0, {0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01, 0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01});

// Every data byte of the file in file order, later records overwriting: the
// plain reading of what a window must hold.
bool NaiveImage(const IntelHexFile& hex, std::vector<std::uint8_t>& buf, std::uint32_t start, std::uint32_t size,
                std::uint8_t fill, std::uint32_t& fillCount) {
  if (hex.DataRecordCount() == 0 || size == 0 || start > hex.AddressLimit()) return false;
  const std::uint64_t last = std::uint64_t(start) + size - 1;
  if (last > 0xFFFFFFFFu || last > hex.AddressLimit()) return false;
  buf.assign(size, fill);
  mv::HexDataRecordCopy rec;
  for (std::size_t i = 0; hex.GetDataRecord(i, rec); ++i)
    for (std::uint32_t k = 0; k < rec.byteCount; ++k) {
      const std::uint64_t a = std::uint64_t(rec.address) + k;
      if (a >= start && a <= last) buf[a - start] = rec.data[k];
    }
  fillCount = 0;
  for (auto b : buf) fillCount += b == fill;
  return true;
}

}  // namespace

TEST(IntelHexErrors, EachLineCheckReportsItsCodeLineAndText) {
  struct Case {
    std::string badLine;
    mv::HexFileError code;
  };
  std::string tooLong = ":" + std::string(522, '0');  // 523 characters
  std::string type06 = Record(0, 6, {});
  std::string badChecksum = kData16;
  badChecksum.back() = badChecksum.back() == '0' ? '1' : static_cast<char>(badChecksum.back() - 1);
  std::string badChar = kData16;
  badChar[12] = 'G';
  const Case cases[] = {
      {":00000001F", mv::heRecordTooShort},
      {tooLong, mv::heRecordTooLong},
      {":00000001FF0", mv::heRecordLengthEven},
      {";00000001FF", mv::heInvalidStartCharacter},
      {badChar, mv::heInvalidCharacter},
      {":0000000 1F", mv::heInvalidCharacter},
      {badChecksum, mv::heChecksum},
      {type06, mv::heRecordType},
      {Record(0, 1, {0x00}), mv::heEofLength},
      {Record(0, 2, {0x10}), mv::heSegmentAddressLength},
      {Record(0, 2, {0x10, 0x00, 0x00}), mv::heSegmentAddressLength},
      {Record(0, 4, {0x00, 0x01, 0x02}), mv::heExtendedAddressLength},
  };
  for (const Case& c : cases) {
    Loaded l(Join({kData16, Record(0, 3, {1, 2, 3, 4}), c.badLine, kData16, Eof()}));
    EXPECT_EQ(l.hex.ErrorCode(), c.code) << c.badLine;
    EXPECT_EQ(l.hex.ErrorLine(), 3) << c.badLine;
    EXPECT_EQ(l.hex.ErrorLineText(), c.badLine);
    EXPECT_EQ(l.hex.DataRecordCount(), 0u);
    for (unsigned t = 0; t < 6; ++t) EXPECT_EQ(l.hex.RecordCount(t), 0u) << "counters are cleared on failure";
    std::uint8_t buf[4];
    std::uint32_t fc = 77;
    EXPECT_FALSE(l.hex.GetImage(buf, 0x100, 4, 0xFF, fc));
    EXPECT_EQ(fc, 77u);
  }
}

TEST(IntelHexErrors, LongPhysicalLineIsCutAt530Characters) {
  std::string huge = ":" + std::string(700, 'A');
  Loaded l(Join({huge, Eof()}));
  EXPECT_EQ(l.hex.ErrorCode(), mv::heRecordTooLong);
  EXPECT_EQ(l.hex.ErrorLine(), 1);
  EXPECT_EQ(l.hex.ErrorLineText(), huge.substr(0, 530));
  // A 521-character record (255 data bytes) is the longest that passes.
  Loaded ok(Join({Record(0, 0, std::vector<std::uint8_t>(255, 0xAB)), Eof()}));
  EXPECT_EQ(ok.hex.ErrorCode(), mv::heNone);
  EXPECT_EQ(ok.hex.LongestDataRecord(), 255u);
}

TEST(IntelHexErrors, MissingFileAndFolderAreNoSuchFile) {
  mvtest::TempDir dir;
  IntelHexFile hex(dir.File("absent.hex"));
  EXPECT_EQ(hex.ErrorCode(), mv::heNoSuchFile);
  EXPECT_EQ(hex.ErrorText(false), "no such file");
  EXPECT_EQ(hex.ErrorText(true), "No such file");
  EXPECT_EQ(hex.ErrorLine(), 0);
  EXPECT_EQ(hex.ErrorLineText(), "<not available>");
  EXPECT_EQ(hex.Load(dir.Path()), mv::heNoSuchFile);
  EXPECT_EQ(hex.Load(""), mv::heNone);
  EXPECT_EQ(hex.ErrorText(true), "No");
  EXPECT_EQ(hex.DataRecordCount(), 0u);
  EXPECT_STREQ(mv::HexFileErrorText(16), "<unknown error>");
  EXPECT_STREQ(mv::HexFileErrorText(200), "<unknown error>");
}

TEST(IntelHexErrors, MissingEofAndMissingDataNameTheStopLine) {
  {  // only an end-of-file record, on line 1: the line is reported as 0
    Loaded l(":00000001FF\n");
    EXPECT_EQ(l.hex.ErrorCode(), mv::heNoDataRecord);
    EXPECT_EQ(l.hex.ErrorLine(), 0);
    EXPECT_EQ(l.hex.ErrorText(false), "no data record");
  }
  {  // no data before the end-of-file record on line 3
    Loaded l(Join({hexgen::Linear(1), Record(0, 5, {0, 0, 1, 0}), Eof()}));
    EXPECT_EQ(l.hex.ErrorCode(), mv::heNoDataRecord);
    EXPECT_EQ(l.hex.ErrorLine(), 3);
    EXPECT_EQ(l.hex.ErrorLineText(), Eof());
  }
  {  // the file ends after two data lines: one past the last line
    Loaded l(Join({kData16, kData16}));
    EXPECT_EQ(l.hex.ErrorCode(), mv::heNoEofRecord);
    EXPECT_EQ(l.hex.ErrorLine(), 3);
    Loaded noFinalLineEnd(kData16 + "\n" + kData16);
    EXPECT_EQ(noFinalLineEnd.hex.ErrorLine(), 3);
  }
  {  // an empty line before the end-of-file record ends the scan
    Loaded l(Join({kData16, "", Eof()}));
    EXPECT_EQ(l.hex.ErrorCode(), mv::heNoEofRecord);
    EXPECT_EQ(l.hex.ErrorLine(), 2);
  }
  {  // an empty file stops at line 1
    Loaded l("");
    EXPECT_EQ(l.hex.ErrorCode(), mv::heNoEofRecord);
    EXPECT_EQ(l.hex.ErrorLine(), 0);
  }
}

TEST(IntelHexErrors, SegmentAndLinearRecordsTogether) {
  Loaded l(Join({hexgen::Segment(0x1000), kData16, hexgen::Linear(1), kData16, Eof()}));
  EXPECT_EQ(l.hex.ErrorCode(), mv::heMixedAddressRecords);
  EXPECT_EQ(l.hex.DataRecordCount(), 0u);
}

TEST(IntelHexErrors, TextAfterTheEndOfFileRecord) {
  for (const std::string eol : {"\n", "\r\n"}) {
    const std::string body = kData16 + eol + Eof();
    Loaded bare(body);
    EXPECT_EQ(bare.hex.ErrorCode(), mv::heNone);
    Loaded oneEnd(body + eol);
    EXPECT_EQ(oneEnd.hex.ErrorCode(), mv::heNone);
    Loaded twoEnds(body + eol + eol);
    EXPECT_EQ(twoEnds.hex.ErrorCode(), mv::heDataBeyondEof);
    EXPECT_EQ(twoEnds.hex.ErrorLine(), 4);
    Loaded text(body + eol + "junk" + eol);
    EXPECT_EQ(text.hex.ErrorCode(), mv::heDataBeyondEof);
    EXPECT_EQ(text.hex.ErrorLine(), 3);
    EXPECT_EQ(text.hex.ErrorLineText(), "junk");
    Loaded moreRecords(body + eol + kData16 + eol + Eof() + eol);
    EXPECT_EQ(moreRecords.hex.ErrorCode(), mv::heDataBeyondEof);
    EXPECT_EQ(moreRecords.hex.ErrorLine(), 3);
  }
}

TEST(IntelHexLoad, CountersSummaryAndRecords) {
  Loaded l(Join({Record(0x0000, 3, {0, 0, 0x12, 0x34}), Record(0x0010, 0, {1, 2, 3, 4}), kData16,
                 Record(0x0008, 0, {9, 9}), Record(0x0000, 5, {0, 0, 0x12, 0x34}), Eof()},
                "\r\n"));
  ASSERT_EQ(l.hex.ErrorCode(), mv::heNone) << l.hex.ErrorText(false);
  const std::uint32_t expected[6] = {3, 1, 0, 1, 0, 1};
  for (unsigned t = 0; t < 6; ++t) EXPECT_EQ(l.hex.RecordCount(t), expected[t]) << t;
  EXPECT_EQ(l.hex.LowestAddress(), 0x0008u);
  EXPECT_EQ(l.hex.HighestAddress(), 0x010Fu);
  EXPECT_EQ(l.hex.TotalDataBytes(), 22u);
  EXPECT_EQ(l.hex.AddressMode(), mv::amNone);
  EXPECT_EQ(l.hex.AddressDigits(), 4);
  EXPECT_EQ(l.hex.AddressLimit(), 0xFFFFu);
  EXPECT_EQ(l.hex.LongestDataRecord(), 16u);
  EXPECT_EQ(l.hex.Version(), "3.2");
  ASSERT_EQ(l.hex.DataRecordCount(), 3u);
  mv::HexDataRecordCopy rec;
  ASSERT_TRUE(l.hex.GetDataRecord(2, rec));
  EXPECT_EQ(rec.address, 0x0008u);
  EXPECT_EQ(rec.byteCount, 2u);
  EXPECT_EQ(rec.data[1], 9);
  EXPECT_FALSE(l.hex.GetDataRecord(3, rec));
  EXPECT_EQ(l.hex.DataRecord(1).checksum, 0x40) << "checksum byte as read";

  l.hex.Clear();
  EXPECT_FALSE(l.hex.GetDataRecord(0, rec));
  EXPECT_EQ(l.hex.TotalDataBytes(), 22u) << "Clear keeps the summary";
  std::uint8_t buf[16];
  std::uint32_t fc;
  EXPECT_FALSE(l.hex.GetImage(buf, 0, 16, 0xFF, fc));
}

TEST(IntelHexLoad, LowerCaseDigitsReadLikeUpperCase) {
  const std::string lower = ":10010000214601360121470136007efe09d2190140";
  Loaded a(Join({lower, Eof()}));
  Loaded b(Join({kData16, Eof()}));
  ASSERT_EQ(a.hex.ErrorCode(), mv::heNone);
  std::uint8_t x[16], y[16];
  std::uint32_t fx, fy;
  ASSERT_TRUE(a.hex.GetImage(x, 0x100, 16, 0, fx));
  ASSERT_TRUE(b.hex.GetImage(y, 0x100, 16, 0, fy));
  EXPECT_EQ(0, memcmp(x, y, 16));
  EXPECT_EQ(fx, fy);
}

TEST(IntelHexLoad, AddressRecordsSetBaseAndLimit) {
  const std::vector<std::uint8_t> four = {1, 2, 3, 4};
  {
    Loaded l(Join({":020000040001F9", Record(0x0010, 0, four), Eof()}));
    ASSERT_EQ(l.hex.ErrorCode(), mv::heNone);
    EXPECT_EQ(l.hex.DataRecord(0).address, 0x00010010u);
    EXPECT_EQ(l.hex.AddressMode(), mv::amLinear);
    EXPECT_EQ(l.hex.AddressLimit(), 0xFFFFFFFFu);
    EXPECT_EQ(l.hex.AddressDigits(), 8);
  }
  {
    Loaded l(Join({":020000021000EC", Record(0x0010, 0, four), Eof()}));
    ASSERT_EQ(l.hex.ErrorCode(), mv::heNone);
    EXPECT_EQ(l.hex.DataRecord(0).address, 0x00010010u);
    EXPECT_EQ(l.hex.AddressMode(), mv::amSegment);
    EXPECT_EQ(l.hex.AddressLimit(), 0xFFFFFu);
    EXPECT_EQ(l.hex.AddressDigits(), 5);
    std::uint8_t buf[32];
    std::uint32_t fc;
    EXPECT_TRUE(l.hex.GetImage(buf, 0xFFFE0, 32, 0xFF, fc));
    EXPECT_FALSE(l.hex.GetImage(buf, 0xFFFE1, 32, 0xFF, fc)) << "window past the 20-bit limit";
  }
  {  // the offset is added to the base without wrapping inside 64 KiB
    Loaded l(Join({hexgen::Segment(0xFFFF), Record(0xFFF0, 0, four), Eof()}));
    ASSERT_EQ(l.hex.ErrorCode(), mv::heNone);
    EXPECT_EQ(l.hex.DataRecord(0).address, 0x10FFE0u);
  }
}

TEST(IntelHexLoad, HighestAddressIgnoresEmptyRecordsAndStaysInRange) {
  {
    Loaded l(Join({Record(0x0000, 0, {}), Record(0x0200, 0, {1, 2}), Record(0x0100, 0, {1, 2, 3, 4}), Eof()}));
    ASSERT_EQ(l.hex.ErrorCode(), mv::heNone);
    EXPECT_EQ(l.hex.LowestAddress(), 0x0100u);
    EXPECT_EQ(l.hex.HighestAddress(), 0x0201u) << "the farthest end, not the last record's";
    EXPECT_EQ(l.hex.TotalDataBytes(), 6u);
  }
  {  // a record whose bytes run past 0xFFFFFFFF
    Loaded l(Join({hexgen::Linear(0xFFFF), Record(0xFFFE, 0, {1, 2, 3, 4}), Eof()}));
    ASSERT_EQ(l.hex.ErrorCode(), mv::heNone);
    EXPECT_EQ(l.hex.HighestAddress(), 0xFFFFFFFFu);
    std::uint8_t buf[2];
    std::uint32_t fc;
    ASSERT_TRUE(l.hex.GetImage(buf, 0xFFFFFFFE, 2, 0xFF, fc));
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 2);
    EXPECT_FALSE(l.hex.GetImage(buf, 0xFFFFFFFF, 2, 0xFF, fc)) << "window past 32 bits";
  }
}

TEST(IntelHexLoad, ByteCountBeyondTheLineNeverReadsPastIt) {
  // Count 0x10 but only two data bytes on the line; the checksum still matches.
  const std::string line = hexgen::RecordWithCount(0x10, 0x0040, 0, {0xAA, 0xBB});
  Loaded l(Join({line, Eof()}));
  ASSERT_EQ(l.hex.ErrorCode(), mv::heNone);
  mv::HexDataRecordCopy rec;
  ASSERT_TRUE(l.hex.GetDataRecord(0, rec));
  EXPECT_EQ(rec.byteCount, 16u);
  EXPECT_EQ(rec.data[0], 0xAA);
  EXPECT_EQ(rec.data[1], 0xBB);
  for (int i = 2; i < 16; ++i) EXPECT_EQ(rec.data[i], 0xFF) << "missing bytes read as erased flash";
  // A count below the bytes present takes only the first ones.
  Loaded shorter(Join({hexgen::RecordWithCount(1, 0x0040, 0, {0xAA, 0xBB}), Eof()}));
  ASSERT_TRUE(shorter.hex.GetDataRecord(0, rec));
  EXPECT_EQ(rec.byteCount, 1u);
  EXPECT_EQ(shorter.hex.HighestAddress(), 0x40u);
}

TEST(IntelHexLoad, SecondLoadReplacesTheFirst) {
  mvtest::TempDir dir;
  mvtest::WriteFile(dir.File("a.hex"), Join({kData16, kData16, Eof()}));
  mvtest::WriteFile(dir.File("b.hex"), Join({hexgen::Linear(2), kData16, Eof()}));
  IntelHexFile hex(dir.File("a.hex"));
  EXPECT_EQ(hex.DataRecordCount(), 2u);
  EXPECT_EQ(hex.Load(dir.File("b.hex")), mv::heNone);
  EXPECT_EQ(hex.DataRecordCount(), 1u);
  EXPECT_EQ(hex.LowestAddress(), 0x20100u);
  EXPECT_EQ(hex.Load(dir.File("missing.hex")), mv::heNoSuchFile);
  EXPECT_EQ(hex.DataRecordCount(), 0u);
  EXPECT_EQ(hex.TotalDataBytes(), 0u);
}

TEST(IntelHexImage, RefusedWindowsTouchNothing) {
  Loaded l(Join({kData16, Eof()}));
  std::uint8_t buf[8] = {7, 7, 7, 7, 7, 7, 7, 7};
  std::uint32_t fc = 5;
  EXPECT_FALSE(l.hex.GetImage(buf, 0x100, 0, 0xFF, fc));
  EXPECT_FALSE(l.hex.GetImage(buf, 0x10000, 1, 0xFF, fc));
  EXPECT_FALSE(l.hex.GetImage(buf, 0xFFF9, 8, 0xFF, fc)) << "reaches past 0xFFFF without address records";
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(fc, 5u);
  EXPECT_TRUE(l.hex.GetImage(buf, 0xFFF8, 8, 0xFF, fc));
  EXPECT_EQ(fc, 8u) << "a window without data is all fill";
  ASSERT_TRUE(l.hex.GetImage(buf, 0x0FE, 4, 0x01, fc));
  const std::uint8_t want[4] = {0x01, 0x01, 0x21, 0x46};
  EXPECT_EQ(0, memcmp(buf, want, 4));
  EXPECT_EQ(fc, 2u);
  ASSERT_TRUE(l.hex.GetImage(buf, 0x102, 1, 0x01, fc));
  EXPECT_EQ(fc, 1u) << "a data byte equal to the fill counts";
}

TEST(IntelHexImage, MatchesTheFileOrderWalkOnRandomFiles) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 60; ++round) {
    const bool ordered = round % 3 == 0;
    std::vector<std::string> lines;
    const std::uint32_t base = ordered ? 0xFC00 : 0x3F00;  // ordered files cross a 64 KiB edge
    std::uint32_t next = base;
    int upper = -1;
    const int records = 1 + static_cast<int>(rng() % 120);
    for (int r = 0; r < records; ++r) {
      std::uint32_t address = ordered ? next : base + rng() % 0x300;
      std::vector<std::uint8_t> data(rng() % 24);
      for (auto& b : data) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
      if (static_cast<int>(address >> 16) != upper) {
        upper = static_cast<int>(address >> 16);
        lines.push_back(hexgen::Linear(static_cast<std::uint16_t>(upper)));
      }
      if ((address & 0xFFFF) + data.size() > 0x10000) data.resize(0x10000 - (address & 0xFFFF));
      lines.push_back(Record(static_cast<std::uint16_t>(address & 0xFFFF), 0, data));
      next = address + static_cast<std::uint32_t>(data.size()) + (rng() % 3 == 0 ? rng() % 9 : 0);
    }
    lines.push_back(Eof());
    Loaded l(Join(lines));
    ASSERT_EQ(l.hex.ErrorCode(), mv::heNone) << l.hex.ErrorText(false);
    for (int w = 0; w < 40; ++w) {
      const std::uint32_t start = base - 0x100 + rng() % 0x600;
      const std::uint32_t size = 1 + rng() % (w % 5 == 0 ? 0x800 : 40);
      const std::uint8_t fill = static_cast<std::uint8_t>(w % 2 ? 0xFF : rng());
      std::vector<std::uint8_t> got(size, 0x5A), want;
      std::uint32_t gotFill = 0, wantFill = 0;
      const bool ok = l.hex.GetImage(got.data(), start, size, fill, gotFill);
      ASSERT_EQ(ok, NaiveImage(l.hex, want, start, size, fill, wantFill));
      ASSERT_EQ(got, want) << "round " << round << " window " << start << "+" << size;
      ASSERT_EQ(gotFill, wantFill);
    }
  }
}
