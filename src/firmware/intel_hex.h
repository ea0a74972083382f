// Intel HEX reader: reads a whole firmware HEX file, checks every line, keeps
// the data records and answers address windows filled from them.
//
// Every problem becomes an error code with a fixed text, the number of the
// offending line and that line's text; the reader never throws and never
// shows anything itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mv {

enum HexFileError : std::uint8_t {
  heNone = 0,
  heNoSuchFile = 1,
  heRecordTooShort = 2,
  heRecordTooLong = 3,
  heRecordLengthEven = 4,
  heInvalidStartCharacter = 5,
  heInvalidCharacter = 6,
  heChecksum = 7,
  heRecordType = 8,
  heEofLength = 9,
  heSegmentAddressLength = 10,
  heExtendedAddressLength = 11,
  heNoEofRecord = 12,
  heNoDataRecord = 13,
  heMixedAddressRecords = 14,
  heDataBeyondEof = 15,
  heNoMemory = 16,
};

enum HexAddressMode : std::uint8_t {
  amNone = 0,     // no address records: 16-bit addresses
  amSegment = 1,  // a type 02 record was seen
  amLinear = 2,   // a type 04 record was seen
};

// Text of an error code ("no", "no such file", ...); unknown codes give
// "<unknown error>".
const char* HexFileErrorText(std::uint8_t code);

// What GetDataRecord hands out.
struct HexDataRecordCopy {
  std::uint32_t address = 0;
  std::uint32_t byteCount = 0;
  std::uint8_t data[256] = {};
};

// Read access to one stored data record.
struct HexDataRecordView {
  std::uint32_t address;
  std::uint8_t byteCount;
  std::uint8_t checksum;  // the record's checksum byte as read
  const std::uint8_t* data;
};

class IntelHexFile {
 public:
  static constexpr std::size_t kMaxLineChars = 530;  // longer physical lines are cut
  static constexpr std::size_t kMinRecordChars = 11;
  static constexpr std::size_t kMaxRecordChars = 521;  // 11 + 2 x 255
  static constexpr const char* kNotAvailable = "<not available>";

  IntelHexFile();
  explicit IntelHexFile(const std::string& path);  // loads at once

  // Checks and loads the file; a second call replaces everything. An empty
  // path loads nothing and returns heNone.
  HexFileError Load(const std::string& path);
  // Releases the data records; counters and summary values stay.
  void Clear();

  // Text of the current error; `capitalise` turns its first letter to upper case.
  std::string ErrorText(bool capitalise) const;

  // False when nothing is loaded or index is out of range.
  bool GetDataRecord(std::size_t index, HexDataRecordCopy& copy) const;

  // Fills `buffer` (size bytes) with the data of addresses start..start+size-1,
  // `fill` where the file has none; later records win where records overlap.
  // fillCount = bytes of the window equal to `fill`. Returns false, touching
  // nothing, when no records are loaded, size is 0, or the window passes the
  // 32-bit range or the address limit.
  bool GetImage(std::uint8_t* buffer, std::uint32_t start, std::uint32_t size, std::uint8_t fill,
                std::uint32_t& fillCount) const;

  const std::string& Version() const { return version_; }
  std::size_t DataRecordCount() const { return records_.size(); }
  HexDataRecordView DataRecord(std::size_t index) const;
  // Accepted records of type 00..05 (all 0 after a failed check).
  std::uint32_t RecordCount(unsigned type) const { return type < 6 ? counters_[type] : 0; }
  std::uint32_t LowestAddress() const { return lowest_; }
  std::uint32_t HighestAddress() const { return highest_; }
  std::uint32_t TotalDataBytes() const { return total_; }
  HexAddressMode AddressMode() const { return mode_; }
  std::int32_t AddressDigits() const { return digits_; }
  std::uint32_t AddressLimit() const { return limit_; }
  // While checking: characters of the longest data line; after a successful
  // check: the bytes such a line carries.
  std::uint32_t LongestDataRecord() const { return longest_; }
  HexFileError ErrorCode() const { return error_; }
  std::int32_t ErrorLine() const { return errorLine_; }
  const std::string& ErrorLineText() const { return errorLineText_; }

 private:
  struct Record {
    std::uint32_t address;
    std::uint8_t byteCount;
    std::uint8_t checksum;
    std::size_t dataOffset;  // into data_
  };
  // A run of addresses whose bytes are data_[dataOffset ...]; spans are sorted,
  // disjoint, and already hold the winning (latest) record's bytes.
  struct Span {
    std::uint32_t address;
    std::uint32_t length;
    std::size_t dataOffset;
  };

  void Reset();
  void BuildIndex();

  std::string version_ = "3.2";
  std::vector<Record> records_;
  std::vector<std::uint8_t> data_;
  std::vector<Span> spans_;
  std::uint32_t counters_[6] = {};
  std::uint32_t lowest_ = 0;
  std::uint32_t highest_ = 0;
  std::uint32_t total_ = 0;
  HexAddressMode mode_ = amNone;
  std::int32_t digits_ = 0;
  std::uint32_t limit_ = 0;
  std::uint32_t longest_ = 0;
  HexFileError error_ = heNone;
  std::int32_t errorLine_ = 0;
  std::string errorLineText_ = kNotAvailable;
};

}  // namespace mv
