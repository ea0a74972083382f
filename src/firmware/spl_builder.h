// SPL image builder: lays out the application part of a dsPIC33EP flash image
// from the firmware's Intel HEX file, writes the six motor profiles, the
// marker and the firmware version into the motor profile page, and writes the
// image as a new SPL file. Also the rules the SPL window applies to its edits.
//
// Addresses typed by the user are program addresses; the HEX file holds each
// 24-bit program word in four bytes at byte address 2 x program address, so a
// flash page is 2048 program addresses or 4096 HEX bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "profiles/motor_profile.h"

namespace mv {

inline constexpr std::uint32_t kFlashPageBytes = 4096;         // HEX bytes per flash page
inline constexpr std::uint32_t kFlashPageProgramWords = 2048;  // program addresses per page
inline constexpr std::uint32_t kSplProfileWordsBytes = 2664;   // 666 words of 4 bytes
inline constexpr std::uint32_t kSplMarkerOffset = 4088;        // within the motor profile page
inline constexpr std::uint32_t kSplVersionOffset = 4092;
inline constexpr std::uint8_t kSplMarker[4] = {0x55, 0xAA, 0x00, 0x00};

// Edit rules of the SPL window.
inline constexpr std::uint32_t kAppStartAddressMin = 0x1800;
inline constexpr std::uint32_t kAppStartAddressMax = 0x3000;
inline constexpr std::uint32_t kMotorProfileStartAddressMin = 0x3800;
inline constexpr std::uint32_t kMotorProfileStartAddressMax = 0x5000;
inline constexpr std::uint32_t kStartAddressStep = 0x800;
// The start addresses of a fresh run and of a configuration file without them.
inline constexpr std::uint32_t kDefaultAppStartAddress = 0x2000;
inline constexpr std::uint32_t kDefaultMotorProfileStartAddress = 0x4000;

// The image builder's settings, kept by the program for the whole run and
// stored in its configuration file.
struct ImageBuilderSettings {
  std::string hex_file;                                                          // full path, "" = none
  std::uint32_t app_start_address = kDefaultAppStartAddress;                     // program address
  std::uint32_t motor_profile_start_address = kDefaultMotorProfileStartAddress;  // program address
  std::string spl_file_dir;                                                      // "" = none

  bool operator==(const ImageBuilderSettings&) const = default;
};

struct SplDeviceType {
  const char* label;         // "Device Type: dsPIC33EP512"
  std::uint32_t flashPages;  // the last page, flashPages - 1, is never part of the image
};
// In the order they are tried: the first whose last page holds data decides.
inline constexpr SplDeviceType kSplDeviceTypes[4] = {
    {"Device Type: dsPIC33EP512", 171},
    {"Device Type: dsPIC33EP256", 86},
    {"Device Type: dsPIC33EP128", 43},
    {"Device Type: dsPIC33EP64", 22},
};

struct SplBuildInput {
  std::string hexPath;
  std::uint32_t appStartAddress = kDefaultAppStartAddress;  // program address
  std::uint32_t motorProfileStartAddress = kDefaultMotorProfileStartAddress;
  std::string splDir;
  std::string fileName;  // name inside splDir, taken as it is
  std::uint8_t firmwareVersion = 0;
  std::array<MotorProfile, kSlotCount> profiles{};  // slot order P01..P06
};

struct SplBuildResult {
  // The first failure's message ("ERROR: - ..."); empty when all went well.
  // A file that cannot be created is the one failure after which the summary
  // is still produced and the settings are still copied back.
  std::string message;
  std::string deviceLabel;           // set once the device is recognised
  std::string startAddressText;      // "Start Address: 0x%05X", set once the image is laid out
  std::string sizeText;              // "Size: %u bytes"
  std::vector<std::string> summary;  // the ten summary lines once the image is laid out
  bool fileWritten = false;
  bool copySettingsBack = false;  // the caller copies its working settings back
  std::string splPath;            // splDir/fileName

  std::uint32_t appStartPage = 0;
  std::uint32_t motorProfilePage = 0;
  std::uint32_t deviceFlashPages = 0;
  std::uint32_t lastAppPage = 0;
  std::uint32_t lastPageUsage = 0;
  std::uint32_t flashSize = 0;  // S
  std::uint32_t padding = 0;
  std::uint32_t imageSize = 0;
  std::vector<std::uint8_t> image;  // the laid-out image

  bool Ok() const { return message.empty(); }
  // The summary lines joined by a single CR, as the window shows them.
  std::string SummaryText() const;
};

// Lays the image out in memory only (nothing is written); the result carries
// everything but splPath/fileWritten/copySettingsBack.
SplBuildResult LayOutSplImage(const SplBuildInput& in);

// The whole build: checks, layout, and a new file in splDir that never
// replaces an existing one and never remains half-written.
SplBuildResult BuildSplFile(const SplBuildInput& in);

// The file name rule: a name that is not empty and whose extension is not
// exactly ".spl" gets ".spl" in place of its extension, or added. A leading
// dot does not start an extension (".hidden" becomes ".hidden.spl").
std::string SplFileNameWithExtension(const std::string& name);

// The address and version edits: what a typed text turns into.
std::uint32_t ReadAppStartAddressText(const std::string& text, std::uint32_t current);
std::uint32_t ReadMotorProfileStartAddressText(const std::string& text, std::uint32_t current);
std::uint32_t ReadFirmwareVersionText(const std::string& text, std::uint32_t current);
// "0x%05X"
std::string FormatSplAddress(std::uint32_t address);

// Strict reading for scripts: the text must be an integer that is a multiple
// of the 0x800 step (no fallback). False on anything else.
bool ParseStartAddressStrict(const std::string& text, std::uint32_t& out);

// What an SPL image holds in its motor profile page.
struct SplContents {
  std::array<MotorProfile, kSlotCount> profiles{};
  bool wordsPadded = true;  // the two upper bytes of every profile word are 0
  bool markerOk = false;
  std::uint8_t firmwareVersion = 0;
  std::uint32_t profilePageOffset = 0;  // P
};
// False with a message when the image is too short for the profile page or
// the motor profile page does not lie above the application start page.
bool ReadSplContents(const std::vector<std::uint8_t>& image, std::uint32_t appStartAddress,
                     std::uint32_t motorProfileStartAddress, SplContents& out, std::string& message);

}  // namespace mv
