// The Intel HEX reader on arbitrary bytes (read from a path, twice, as the
// reader opens the file once to check it and once to load it), address
// windows compared with a plain byte-by-byte model of the loaded records, and
// the SPL image laid out from the file with the profile page read back.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/intel_hex.h"
#include "firmware/spl_builder.h"
#include "fuzz_util.h"

namespace {

// The window as the records say it should be: fill, then every record's
// bytes in file order, later ones winning.
void ModelWindow(const mv::IntelHexFile& hex, std::uint32_t start, std::uint32_t size, std::uint8_t fill,
                 std::vector<std::uint8_t>& out) {
  out.assign(size, fill);
  const std::uint64_t end = static_cast<std::uint64_t>(start) + size;
  for (std::size_t i = 0; i < hex.DataRecordCount(); ++i) {
    const mv::HexDataRecordView r = hex.DataRecord(i);
    for (std::uint32_t k = 0; k < r.byteCount; ++k) {
      const std::uint64_t a = static_cast<std::uint64_t>(r.address) + k;
      if (a >= start && a < end) out[static_cast<std::size_t>(a - start)] = r.data[k];
    }
  }
}

void CheckWindow(const mv::IntelHexFile& hex, std::uint32_t start, std::uint32_t size, std::uint8_t fill) {
  if (size == 0 || size > 0x20000) return;
  std::vector<std::uint8_t> got(size, 0x3C), want;
  std::uint32_t fillCount = 0xFFFFFFFF;
  const std::uint64_t last = static_cast<std::uint64_t>(start) + size - 1;
  const bool inside = last <= hex.AddressLimit();
  const bool ok = hex.GetImage(got.data(), start, size, fill, fillCount);
  FUZZ_CHECK(ok == inside);
  if (!ok) {
    FUZZ_CHECK(fillCount == 0xFFFFFFFF && got[0] == 0x3C);
    return;
  }
  ModelWindow(hex, start, size, fill, want);
  FUZZ_CHECK(got == want);
  FUZZ_CHECK(fillCount == static_cast<std::uint32_t>(std::count(want.begin(), want.end(), fill)));
}

void CheckLoaded(const mv::IntelHexFile& hex) {
  FUZZ_CHECK(hex.DataRecordCount() == hex.RecordCount(0));
  FUZZ_CHECK(hex.DataRecordCount() > 0);
  std::uint32_t total = 0;
  // Records without bytes do not widen the address range.
  std::uint64_t lowest = UINT64_MAX, highest = 0;
  for (std::size_t i = 0; i < hex.DataRecordCount(); ++i) {
    const mv::HexDataRecordView r = hex.DataRecord(i);
    total += r.byteCount;
    if (r.byteCount > 0) {
      lowest = std::min<std::uint64_t>(lowest, r.address);
      highest = std::max<std::uint64_t>(
          highest, std::min<std::uint64_t>(0xFFFFFFFFu, std::uint64_t{r.address} + r.byteCount - 1));
    }
    mv::HexDataRecordCopy copy;
    FUZZ_CHECK(hex.GetDataRecord(i, copy));
    FUZZ_CHECK(copy.address == r.address && copy.byteCount == r.byteCount);
    FUZZ_CHECK(std::memcmp(copy.data, r.data, r.byteCount) == 0);
  }
  mv::HexDataRecordCopy copy;
  FUZZ_CHECK(!hex.GetDataRecord(hex.DataRecordCount(), copy));
  FUZZ_CHECK(total == hex.TotalDataBytes());
  if (lowest == UINT64_MAX) lowest = 0;
  FUZZ_CHECK(lowest == hex.LowestAddress() && highest == hex.HighestAddress());
  FUZZ_CHECK(hex.LongestDataRecord() <= 255);

  const std::uint32_t lo = hex.LowestAddress();
  CheckWindow(hex, 0, 0x1000, 0xFF);
  CheckWindow(hex, lo >= 7 ? lo - 7 : 0, 0x2000, 0x00);
  CheckWindow(hex, hex.HighestAddress() >= 0x100 ? hex.HighestAddress() - 0x100 : 0, 0x300, 0xFF);
  CheckWindow(hex, hex.AddressLimit() - 3, 4, 0xAA);  // the last bytes of the address space
  CheckWindow(hex, hex.AddressLimit() - 3, 5, 0xAA);  // one past it: refused
  std::uint32_t fc = 0;
  std::uint8_t b = 0;
  FUZZ_CHECK(!hex.GetImage(&b, 0, 0, 0xFF, fc));
  FUZZ_CHECK(!hex.GetImage(&b, 0xFFFFFFFF, 2, 0xFF, fc));
}

void LayOut(const std::string& path, std::size_t size) {
  mv::SplBuildInput in;
  in.hexPath = path;
  // Vary the addresses a little with the input; the defaults most of the time.
  if (size % 5 == 1) in.appStartAddress = 0x1800;
  if (size % 7 == 2) in.motorProfileStartAddress = 0x3800;
  in.firmwareVersion = static_cast<std::uint8_t>(size);
  for (int s = 0; s < mv::kSlotCount; ++s) in.profiles[s] = mv::MotorProfileDefaults(s);
  in.profiles[2].bytes[5] = static_cast<std::uint8_t>(size * 31);
  const mv::SplBuildResult r = mv::LayOutSplImage(in);
  if (!r.Ok()) {
    FUZZ_CHECK(r.message.rfind("ERROR: - ", 0) == 0);
    return;
  }
  FUZZ_CHECK(r.image.size() == r.imageSize && r.imageSize % 8 == 0);
  FUZZ_CHECK(r.summary.size() == 10);
  mv::SplContents c;
  std::string message;
  FUZZ_CHECK(mv::ReadSplContents(r.image, in.appStartAddress, in.motorProfileStartAddress, c, message));
  FUZZ_CHECK(c.markerOk && c.wordsPadded && c.firmwareVersion == in.firmwareVersion);
  for (int s = 0; s < mv::kSlotCount; ++s) FUZZ_CHECK(c.profiles[s] == in.profiles[s]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzutil::MemFile file;
  const std::string& path = file.Set(data, size);

  mv::IntelHexFile hex(path);
  const std::uint8_t code = hex.ErrorCode();
  FUZZ_CHECK(code <= mv::heNoMemory && code != mv::heNoSuchFile);
  FUZZ_CHECK(!hex.ErrorText(true).empty());
  if (code != mv::heNone) {
    FUZZ_CHECK(hex.DataRecordCount() == 0);
    for (unsigned t = 0; t < 6; ++t) FUZZ_CHECK(hex.RecordCount(t) == 0);
    std::uint8_t b = 0;
    std::uint32_t fc = 7;
    FUZZ_CHECK(!hex.GetImage(&b, 0, 1, 0xFF, fc) && fc == 7);
    FUZZ_CHECK(hex.ErrorLine() >= 0);
    return 0;
  }
  CheckLoaded(hex);

  // A second Load of the same file replaces everything with the same result.
  mv::IntelHexFile again;
  FUZZ_CHECK(again.Load(path) == mv::heNone);
  FUZZ_CHECK(again.DataRecordCount() == hex.DataRecordCount() && again.TotalDataBytes() == hex.TotalDataBytes());
  FUZZ_CHECK(hex.Load(path) == mv::heNone && hex.DataRecordCount() == again.DataRecordCount());

  LayOut(path, size);
  return 0;
}
