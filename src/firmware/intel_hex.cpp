#include "firmware/intel_hex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <queue>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace mv {

namespace {

const char* const kErrorTexts[] = {
    "no",
    "no such file",
    "record length too short",
    "record length too long",
    "record length even",
    "record invalid start character",
    "record invalid character",
    "record checksum",
    "record type",
    "record EOF length",
    "record segment address length",
    "record extended address length",
    "no EOF record",
    "no data record",
    "segment/extended address records in same file",
    "data beyond EOF record",
};

// Value of a hexadecimal digit, -1 for any other character.
constexpr std::array<std::int8_t, 256> kHexValue = [] {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (std::size_t c = '0'; c <= '9'; ++c) t[c] = static_cast<std::int8_t>(c - '0');
  for (std::size_t c = 'A'; c <= 'F'; ++c) t[c] = static_cast<std::int8_t>(c - 'A' + 10);
  for (std::size_t c = 'a'; c <= 'f'; ++c) t[c] = static_cast<std::int8_t>(c - 'a' + 10);
  return t;
}();

// The byte whose two digits start at `pos` (digits already checked).
inline unsigned ByteAt(std::string_view line, std::size_t pos) {
  return static_cast<unsigned>(kHexValue[static_cast<unsigned char>(line[pos])] << 4) |
         static_cast<unsigned>(kHexValue[static_cast<unsigned char>(line[pos + 1])]);
}

// Hands out the lines of an in-memory file. A line ends at LF; a CR right
// before the LF (or a CR that is the file's last byte) belongs to the line
// end. Lines longer than the limit are cut.
class LineReader {
 public:
  LineReader(const char* begin, const char* end) : p_(begin), end_(end) {}
  bool AtEnd() const { return p_ >= end_; }
  std::string_view Next() {
    const char* s = p_;
    const char* nl = static_cast<const char*>(std::memchr(s, '\n', static_cast<std::size_t>(end_ - s)));
    const char* e = nl ? nl : end_;
    p_ = nl ? nl + 1 : end_;
    if (e > s && e[-1] == '\r') --e;
    std::size_t len = std::min(static_cast<std::size_t>(e - s), IntelHexFile::kMaxLineChars);
    return std::string_view(s, len);
  }

 private:
  const char* p_;
  const char* end_;
};

// Checks one line; on success `type` holds the record type.
HexFileError CheckLine(std::string_view line, unsigned& type) {
  const std::size_t n = line.size();
  if (n < IntelHexFile::kMinRecordChars) return heRecordTooShort;
  if (n > IntelHexFile::kMaxRecordChars) return heRecordTooLong;
  if (n % 2 == 0) return heRecordLengthEven;
  if (line[0] != ':') return heInvalidStartCharacter;
  // n is odd, so the characters after ':' form whole bytes; the last is the checksum.
  int bad = 0;
  unsigned sum = 0;
  for (std::size_t pos = 1; pos < n; pos += 2) {
    const int hi = kHexValue[static_cast<unsigned char>(line[pos])];
    const int lo = kHexValue[static_cast<unsigned char>(line[pos + 1])];
    bad |= hi | lo;
    sum += static_cast<unsigned>((hi << 4) | lo);
  }
  if (bad < 0) return heInvalidCharacter;
  if ((sum & 0xFFu) != 0) return heChecksum;  // bytes plus checksum add up to 0
  type = ByteAt(line, 7);
  if (type > 5) return heRecordType;
  if (type == 1 && n != 11) return heEofLength;
  if (type == 2 && n != 15) return heSegmentAddressLength;
  if (type == 4 && n != 15) return heExtendedAddressLength;
  return heNone;
}

// Reads the whole file. 0 on success, heNoSuchFile when it cannot be opened or
// read, heNoMemory when it does not fit in memory.
HexFileError ReadWholeFile(const std::string& path, std::string& out) {
  // Non-blocking open and plain files only: a FIFO without a writer would
  // hang here, and a device such as /dev/zero would be read until memory ends.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return heNoSuchFile;
  HexFileError result = heNone;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return heNoSuchFile;
  }
  // Far above any firmware file; a bigger one is refused as not fitting in
  // memory instead of being read until the machine runs out.
  constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;
  try {
    std::size_t want = S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0;
    if (want > kMaxFileBytes) throw std::bad_alloc();
    out.resize(want + 1);  // one spare byte shows the end without another grow
    std::size_t have = 0;
    for (;;) {
      if (have == out.size()) out.resize(out.size() * 2);
      const ssize_t r = ::read(fd, out.data() + have, out.size() - have);
      if (r < 0) {
        if (errno == EINTR) continue;
        result = heNoSuchFile;
        break;
      }
      if (r == 0) break;
      have += static_cast<std::size_t>(r);
      if (have > kMaxFileBytes) throw std::bad_alloc();
    }
    out.resize(have);
  } catch (const std::bad_alloc&) {
    result = heNoMemory;
  } catch (const std::length_error&) {
    result = heNoMemory;
  }
  ::close(fd);
  if (result != heNone) std::string().swap(out);
  return result;
}

}  // namespace

const char* HexFileErrorText(std::uint8_t code) {
  return code < sizeof kErrorTexts / sizeof kErrorTexts[0] ? kErrorTexts[code] : "<unknown error>";
}

IntelHexFile::IntelHexFile() = default;

IntelHexFile::IntelHexFile(const std::string& path) { Load(path); }

void IntelHexFile::Clear() {
  std::vector<Record>().swap(records_);
  std::vector<std::uint8_t>().swap(data_);
  std::vector<Span>().swap(spans_);
}

void IntelHexFile::Reset() {
  Clear();
  error_ = heNone;
  errorLine_ = 0;
  errorLineText_ = kNotAvailable;
  std::fill(std::begin(counters_), std::end(counters_), 0u);
  lowest_ = highest_ = total_ = 0;
  mode_ = amNone;
  digits_ = 0;
  limit_ = 0;
  longest_ = 0;
}

HexFileError IntelHexFile::Load(const std::string& path) {
  Reset();
  if (path.empty()) return error_;

  std::string text;
  error_ = ReadWholeFile(path, text);
  if (error_ != heNone) return error_;

  // One pass checks every line and, as long as memory lasts, loads it too; the
  // loaded records are kept only when the whole check succeeds.
  LineReader reader(text.data(), text.data() + text.size());
  std::int32_t lineNo = 0;
  std::int32_t stopLine = 0;  // line at which the scan stopped
  bool stopLineExists = false;
  std::string_view stopText;
  bool loadOk = true;
  bool haveSpan = false;
  std::uint32_t base = 0;
  try {
    records_.reserve(text.size() / 44 + 1);
    data_.reserve(text.size() / 2 + 1);
  } catch (const std::bad_alloc&) {
    loadOk = false;
  }

  for (;;) {
    if (reader.AtEnd()) {
      stopLine = lineNo + 1;
      break;
    }
    const std::string_view line = reader.Next();
    ++lineNo;
    if (line.empty()) {
      stopLine = lineNo;
      stopLineExists = true;
      break;
    }
    unsigned type = 0;
    const HexFileError e = CheckLine(line, type);
    if (e != heNone) {
      error_ = e;
      errorLine_ = lineNo;
      errorLineText_.assign(line);
      break;
    }
    if (type == 2) mode_ = amSegment;
    if (type == 4) mode_ = amLinear;
    if (type == 0 && line.size() > longest_) longest_ = static_cast<std::uint32_t>(line.size());
    ++counters_[type];

    if (type == 0 && loadOk) {
      const unsigned count = ByteAt(line, 1);
      const std::uint32_t address = base + ((ByteAt(line, 3) << 8) | ByteAt(line, 5));
      // Bytes the line really holds between the type and the checksum; a byte
      // count asking for more gets 0xFF (erased flash) for the missing ones.
      const std::size_t present = std::min<std::size_t>(count, (line.size() - 11) / 2);
      try {
        const std::size_t dataOffset = data_.size();
        data_.resize(dataOffset + count, 0xFF);
        std::uint8_t* dst = data_.data() + dataOffset;
        for (std::size_t i = 0; i < present; ++i) dst[i] = static_cast<std::uint8_t>(ByteAt(line, 9 + 2 * i));
        const std::size_t ckPos = 9 + 2 * static_cast<std::size_t>(count);
        const auto checksum = static_cast<std::uint8_t>(ByteAt(line, std::min(ckPos, line.size() - 2)));
        records_.push_back(Record{address, static_cast<std::uint8_t>(count), checksum, dataOffset});
      } catch (const std::bad_alloc&) {
        loadOk = false;
        Clear();
      }
      if (count > 0) {
        const std::uint64_t last64 = static_cast<std::uint64_t>(address) + count - 1;
        const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>(last64, 0xFFFFFFFFu));
        if (!haveSpan) {
          lowest_ = address;
          highest_ = last;
          haveSpan = true;
        } else {
          if (address < lowest_) lowest_ = address;
          if (last > highest_) highest_ = last;
        }
      }
      total_ += count;
    } else if (type == 2) {
      base = ((ByteAt(line, 9) << 8) | ByteAt(line, 11)) * 16u;
    } else if (type == 4) {
      base = (ByteAt(line, 9) << 24) | (ByteAt(line, 11) << 16);
    } else if (type == 1) {
      stopLine = lineNo;
      stopLineExists = true;
      stopText = line;
      break;
    }
  }

  if (error_ == heNone) {
    auto setStopLine = [&] {
      if (stopLine != 1) {
        errorLine_ = stopLine;
        if (stopLineExists) errorLineText_.assign(stopText);
      }
    };
    if (counters_[1] == 0) {
      error_ = heNoEofRecord;
      setStopLine();
    } else if (counters_[0] == 0) {
      error_ = heNoDataRecord;
      setStopLine();
    } else if (counters_[2] != 0 && counters_[4] != 0) {
      error_ = heMixedAddressRecords;
    } else if (!reader.AtEnd()) {
      // More than one line end follows the end-of-file record.
      const std::string_view next = reader.Next();
      error_ = heDataBeyondEof;
      if (!next.empty()) {
        errorLine_ = lineNo + 1;
        errorLineText_.assign(next);
      } else {
        errorLine_ = lineNo + 2;
        if (!reader.AtEnd()) errorLineText_.assign(reader.Next());
      }
    }
  }

  if (error_ != heNone) {
    std::fill(std::begin(counters_), std::end(counters_), 0u);
    lowest_ = highest_ = total_ = 0;
    Clear();
    return error_;
  }

  switch (mode_) {
    case amNone:
      digits_ = 4;
      limit_ = 0xFFFFu;
      break;
    case amSegment:
      digits_ = 5;
      limit_ = 0xFFFFFu;
      break;
    case amLinear:
      digits_ = 8;
      limit_ = 0xFFFFFFFFu;
      break;
  }
  longest_ = (longest_ - 11) / 2;

  if (loadOk) {
    try {
      BuildIndex();
    } catch (const std::bad_alloc&) {
      loadOk = false;
    }
  }
  if (!loadOk) {
    error_ = heNoMemory;
    Clear();
  }
  return error_;
}

void IntelHexFile::BuildIndex() {
  spans_.clear();
  auto pushSpan = [this](std::uint32_t address, std::uint64_t length, std::size_t dataOffset) {
    if (!spans_.empty()) {
      Span& b = spans_.back();
      if (static_cast<std::uint64_t>(b.address) + b.length == address && b.dataOffset + b.length == dataOffset &&
          b.length + length <= 0xFFFFFFFFu) {
        b.length += static_cast<std::uint32_t>(length);
        return;
      }
    }
    spans_.push_back(Span{address, static_cast<std::uint32_t>(length), dataOffset});
  };
  auto endOf = [](const Record& r) {
    return std::min<std::uint64_t>(static_cast<std::uint64_t>(r.address) + r.byteCount, 0x100000000ull);
  };

  // Usual case: records come in rising address order without overlap.
  bool ordered = true;
  std::uint64_t prevEnd = 0;
  for (const Record& r : records_) {
    if (r.byteCount == 0) continue;
    if (r.address < prevEnd) {
      ordered = false;
      break;
    }
    prevEnd = endOf(r);
  }
  if (ordered) {
    for (const Record& r : records_)
      if (r.byteCount != 0) pushSpan(r.address, endOf(r) - r.address, r.dataOffset);
    return;
  }

  // General case: cut the address line at every record edge; each piece takes
  // its bytes from the latest record (highest file index) that covers it.
  struct Item {
    std::uint64_t start, end;
    std::uint32_t index;
  };
  std::vector<Item> items;
  std::vector<std::uint64_t> edges;
  items.reserve(records_.size());
  edges.reserve(records_.size() * 2);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const Record& r = records_[i];
    if (r.byteCount == 0) continue;
    items.push_back(Item{r.address, endOf(r), static_cast<std::uint32_t>(i)});
    edges.push_back(r.address);
    edges.push_back(endOf(r));
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.start < b.start; });
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());

  std::priority_queue<std::pair<std::uint32_t, std::uint64_t>> active;  // (file index, end)
  std::size_t next = 0;
  for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
    const std::uint64_t from = edges[k];
    const std::uint64_t to = edges[k + 1];
    while (next < items.size() && items[next].start == from) {
      active.emplace(items[next].index, items[next].end);
      ++next;
    }
    while (!active.empty() && active.top().second <= from) active.pop();
    if (active.empty()) continue;
    const Record& r = records_[active.top().first];
    pushSpan(static_cast<std::uint32_t>(from), to - from, r.dataOffset + static_cast<std::size_t>(from - r.address));
  }
}

std::string IntelHexFile::ErrorText(bool capitalise) const {
  std::string text = HexFileErrorText(error_);
  if (capitalise && !text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

HexDataRecordView IntelHexFile::DataRecord(std::size_t index) const {
  if (index >= records_.size()) return HexDataRecordView{0, 0, 0, nullptr};
  const Record& r = records_[index];
  return HexDataRecordView{r.address, r.byteCount, r.checksum, data_.data() + r.dataOffset};
}

bool IntelHexFile::GetDataRecord(std::size_t index, HexDataRecordCopy& copy) const {
  if (index >= records_.size()) return false;
  const Record& r = records_[index];
  copy.address = r.address;
  copy.byteCount = r.byteCount;
  std::memcpy(copy.data, data_.data() + r.dataOffset, r.byteCount);
  return true;
}

bool IntelHexFile::GetImage(std::uint8_t* buffer, std::uint32_t start, std::uint32_t size, std::uint8_t fill,
                            std::uint32_t& fillCount) const {
  if (records_.empty() || size == 0 || start > limit_) return false;
  const std::uint64_t last = static_cast<std::uint64_t>(start) + size - 1;
  if (last > 0xFFFFFFFFu || last > limit_) return false;

  std::memset(buffer, fill, size);
  const std::uint64_t windowEnd = last + 1;
  auto it = std::partition_point(spans_.begin(), spans_.end(), [start](const Span& s) {
    return static_cast<std::uint64_t>(s.address) + s.length <= start;
  });
  std::uint64_t copied = 0;
  std::uint64_t sameAsFill = 0;
  for (; it != spans_.end() && it->address < windowEnd; ++it) {
    const std::uint64_t lo = std::max<std::uint64_t>(start, it->address);
    const std::uint64_t hi = std::min<std::uint64_t>(windowEnd, static_cast<std::uint64_t>(it->address) + it->length);
    const std::uint8_t* src = data_.data() + it->dataOffset + (lo - it->address);
    const std::size_t n = static_cast<std::size_t>(hi - lo);
    std::memcpy(buffer + (lo - start), src, n);
    copied += n;
    sameAsFill += static_cast<std::uint64_t>(std::count(src, src + n, fill));
  }
  fillCount = static_cast<std::uint32_t>(size - copied + sameAsFill);
  return true;
}

}  // namespace mv
