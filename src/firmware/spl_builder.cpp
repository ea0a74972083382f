#include "firmware/spl_builder.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/field_parse.h"
#include "core/text_file.h"
#include "firmware/intel_hex.h"

namespace mv {

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// Page tests read the page's 4096 HEX bytes with fill 0xFF. A page the file's
// address space cannot reach counts as blank.
class PageTester {
 public:
  explicit PageTester(const IntelHexFile& hex, std::uint8_t* buffer) : hex_(hex), buffer_(buffer) {}

  // Reads the page into the buffer; false when it is blank.
  bool Load(std::uint64_t page) {
    const std::uint64_t address = page * kFlashPageBytes;
    if (address > 0xFFFFFFFFu) return false;
    std::uint32_t fillCount = 0;
    if (!hex_.GetImage(buffer_, static_cast<std::uint32_t>(address), kFlashPageBytes, 0xFF, fillCount)) return false;
    return fillCount != kFlashPageBytes;
  }
  bool Blank(std::uint64_t page) { return !Load(page); }

 private:
  const IntelHexFile& hex_;
  std::uint8_t* buffer_;
};

bool ValidFileName(const std::string& name) {
  return name != "." && name != ".." && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

std::string SplBuildResult::SummaryText() const {
  std::string text;
  for (std::size_t i = 0; i < summary.size(); ++i) {
    if (i) text += '\r';
    text += summary[i];
  }
  return text;
}

SplBuildResult LayOutSplImage(const SplBuildInput& in) {
  SplBuildResult r;
  if (in.hexPath.empty()) {
    r.message = "ERROR: - Hex file not selected.";
    return r;
  }
  if (in.appStartAddress % kFlashPageProgramWords != 0) {
    r.message = Format("ERROR: - Application start address 0x%05X is not a multiple of 0x800.", in.appStartAddress);
    return r;
  }

  IntelHexFile hex(in.hexPath);
  if (hex.ErrorText(false) != "no") {
    r.message = "ERROR: - Invalid hex file.";
    return r;
  }

  std::unique_ptr<std::uint8_t[]> page(new (std::nothrow) std::uint8_t[kFlashPageBytes]);
  if (!page) {
    r.message = "ERROR: - Unable to allocate SPL data block.";
    return r;
  }
  PageTester pages(hex, page.get());

  r.appStartPage = in.appStartAddress / kFlashPageProgramWords;
  r.motorProfilePage = in.motorProfileStartAddress / kFlashPageProgramWords;
  const std::uint64_t appHexStart = static_cast<std::uint64_t>(r.appStartPage) * kFlashPageBytes;
  const std::uint64_t profileHexStart = static_cast<std::uint64_t>(r.motorProfilePage) * kFlashPageBytes;

  if (pages.Blank(r.appStartPage)) {
    r.message = Format("ERROR: - First pplication flash page %u cannot be blank.", r.appStartPage);
    return r;
  }
  if (!pages.Blank(r.motorProfilePage)) {
    r.message = Format("ERROR: - Motor profile flash page %u must be blank.", r.motorProfilePage);
    return r;
  }

  const SplDeviceType* device = nullptr;
  for (const SplDeviceType& d : kSplDeviceTypes) {
    if (!pages.Blank(d.flashPages - 1)) {
      device = &d;
      break;
    }
  }
  if (!device) {
    r.message = "ERROR: - invalid hex file.";
    return r;
  }
  r.deviceLabel = device->label;
  r.deviceFlashPages = device->flashPages;

  // The last page that holds data, below the device's own last page; its
  // bytes stay in the page buffer for the usage scan.
  bool found = false;
  for (std::uint32_t p = device->flashPages - 2; p >= 1; --p) {
    if (pages.Load(p)) {
      r.lastAppPage = p;
      found = true;
      break;
    }
  }
  if (!found) {
    r.message = "ERROR: - Last application flash page not found.";
    return r;
  }
  if (r.lastAppPage < r.appStartPage) {
    r.message = Format("ERROR: - First application flash page %u lies beyond the last application flash page %u.",
                       r.appStartPage, r.lastAppPage);
    return r;
  }
  // The profile page is blank and both end pages hold data, so inside the
  // image means strictly between them.
  if (r.motorProfilePage <= r.appStartPage || r.motorProfilePage >= r.lastAppPage) {
    r.message = Format("ERROR: - Motor profile flash page %u is outside the application image.", r.motorProfilePage);
    return r;
  }

  for (std::uint32_t off = kFlashPageBytes; off > 0; --off) {
    if (page[off - 1] != 0xFF) {
      r.lastPageUsage = off;
      break;
    }
  }
  page.reset();

  r.flashSize = (r.lastAppPage - r.appStartPage) * kFlashPageBytes + r.lastPageUsage;
  r.padding = (8 - r.flashSize % 8) % 8;
  r.imageSize = r.flashSize + r.padding;

  try {
    r.image.assign(r.imageSize, 0xFF);
  } catch (const std::bad_alloc&) {
    r.message = "ERROR: - Unable to allocate SPL data block.";
    return r;
  }
  std::uint32_t fillCount = 0;
  if (!hex.GetImage(r.image.data(), static_cast<std::uint32_t>(appHexStart), r.flashSize, 0xFF, fillCount)) {
    // Cannot happen: the last application page was read the same way.
    r.message = "ERROR: - Invalid hex file.";
    r.image.clear();
    return r;
  }

  // The motor profile page: 666 program words from the six records, the
  // marker and the firmware version; the rest of the page stays 0xFF.
  const std::size_t p = static_cast<std::size_t>(r.motorProfilePage - r.appStartPage) * kFlashPageBytes;
  std::uint8_t* dst = r.image.data() + p;
  for (const MotorProfile& profile : in.profiles) {
    for (std::size_t i = 0; i < kProfileSize; i += 2) {
      dst[0] = profile.bytes[i];
      dst[1] = profile.bytes[i + 1];
      dst[2] = 0x00;
      dst[3] = 0x00;
      dst += 4;
    }
  }
  std::memcpy(r.image.data() + p + kSplMarkerOffset, kSplMarker, sizeof kSplMarker);
  std::uint8_t* version = r.image.data() + p + kSplVersionOffset;
  version[0] = in.firmwareVersion;
  version[1] = version[2] = version[3] = 0x00;
  // Padding bytes r.flashSize..r.imageSize-1 are still 0xFF from the fill.

  r.startAddressText = Format("Start Address: 0x%05X", in.appStartAddress);
  r.sizeText = Format("Size: %u bytes", r.flashSize);

  r.summary = {
      Format("Bootloader flash pages = 0 to %u.", r.appStartPage - 1),
      Format("Motor profile flash page = %u.", r.motorProfilePage),
      Format("App. start address (in hex file) = 0x%05llX.", static_cast<unsigned long long>(appHexStart)),
      Format("Motor profile start address (in hex file) = 0x%05llX.", static_cast<unsigned long long>(profileHexStart)),
      Format("Device flash pages = %u.", r.deviceFlashPages),
      Format("App. flash pages used = %u to %u (%u).", r.appStartPage, r.lastAppPage,
             r.lastAppPage - r.appStartPage + 1),
      Format("App. last flash page usage = %u bytes.", r.lastPageUsage),
      Format("App. flash size = %u bytes.", r.flashSize),
      Format("App. padding = %u bytes.", r.padding),
      Format("SPL Image size = %u bytes.", r.imageSize),
  };
  return r;
}

SplBuildResult BuildSplFile(const SplBuildInput& in) {
  SplBuildResult r;
  if (in.hexPath.empty()) {
    r.message = "ERROR: - Hex file not selected.";
    return r;
  }
  if (in.splDir.empty()) {
    r.message = "ERROR: - SPL file directory not selected.";
    return r;
  }
  if (in.fileName.empty()) {
    r.message = "ERROR: - SPL file name not selected.";
    return r;
  }
  if (!ValidFileName(in.fileName)) {
    r.message = "ERROR: - SPL file name is not valid.";
    return r;
  }
  const std::string path = in.splDir.back() == '/' ? in.splDir + in.fileName : in.splDir + "/" + in.fileName;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    r.message = "ERROR: - SPL file name already exists.";
    return r;
  }

  r = LayOutSplImage(in);
  r.splPath = path;
  if (!r.Ok()) return r;

  std::string err;
  bool existed = false;
  if (WriteNewFileExclusive(path, r.image, err, existed, "SPL file")) {
    r.fileWritten = true;
  } else {
    r.message = "ERROR: - Unable to create SPL file.";
  }
  r.copySettingsBack = true;
  return r;
}

std::string SplFileNameWithExtension(const std::string& name) {
  if (name.empty()) return name;
  const std::size_t slash = name.rfind('/');
  const std::size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > baseStart;
  if (hasExtension && name.compare(dot, std::string::npos, ".spl") == 0) return name;
  return (hasExtension ? name.substr(0, dot) : name) + ".spl";
}

std::uint32_t ReadAppStartAddressText(const std::string& text, std::uint32_t current) {
  return ClampMultipleText(text, kAppStartAddressMin, kAppStartAddressMax, kStartAddressStep, current);
}

std::uint32_t ReadMotorProfileStartAddressText(const std::string& text, std::uint32_t current) {
  return ClampMultipleText(text, kMotorProfileStartAddressMin, kMotorProfileStartAddressMax, kStartAddressStep,
                           current);
}

std::uint32_t ReadFirmwareVersionText(const std::string& text, std::uint32_t current) {
  return ClampUnsignedText(text, 0, 255, current);
}

std::string FormatSplAddress(std::uint32_t address) { return Format("0x%05X", address); }

bool ParseStartAddressStrict(const std::string& text, std::uint32_t& out) {
  std::int32_t v = 0;
  if (!StrToInt32(text, v) || v < 0 || static_cast<std::uint32_t>(v) % kStartAddressStep != 0) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool ReadSplContents(const std::vector<std::uint8_t>& image, std::uint32_t appStartAddress,
                     std::uint32_t motorProfileStartAddress, SplContents& out, std::string& message) {
  const std::uint32_t appPage = appStartAddress / kFlashPageProgramWords;
  const std::uint32_t profilePage = motorProfileStartAddress / kFlashPageProgramWords;
  if (profilePage <= appPage) {
    message = Format("motor profile page %u does not lie above the application start page %u", profilePage, appPage);
    return false;
  }
  const std::uint64_t p = static_cast<std::uint64_t>(profilePage - appPage) * kFlashPageBytes;
  if (image.size() < p + kFlashPageBytes) {
    message = Format("image of %zu bytes is too short for the motor profile page at offset 0x%llX", image.size(),
                     static_cast<unsigned long long>(p));
    return false;
  }
  SplContents c;
  c.profilePageOffset = static_cast<std::uint32_t>(p);
  const std::uint8_t* src = image.data() + p;
  for (MotorProfile& profile : c.profiles) {
    for (std::size_t i = 0; i < kProfileSize; i += 2) {
      profile.bytes[i] = src[0];
      profile.bytes[i + 1] = src[1];
      if (src[2] != 0 || src[3] != 0) c.wordsPadded = false;
      src += 4;
    }
  }
  c.markerOk = std::memcmp(image.data() + p + kSplMarkerOffset, kSplMarker, sizeof kSplMarker) == 0;
  c.firmwareVersion = image[p + kSplVersionOffset];
  out = c;
  return true;
}

}  // namespace mv
