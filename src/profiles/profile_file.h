// The motor profile file: one MotorProfile as 55 fixed lines of text
// (header, version 1.1, name, comment, every field, the V/F lists, checksum),
// written with CR LF line ends.
#pragma once

#include <string>
#include <vector>

#include "profiles/motor_profile.h"

namespace mv {

inline constexpr int kProfileFileLines = 55;
inline constexpr const char* kProfileFileHeader = "Motor Profile Configuration File";

// Reads and checks the whole file. On success fills all 222 bytes of `out`
// (data built from the file, checksum as stored in it) and returns true. On
// the first failed check returns false with the check's message and leaves
// `out` untouched. A file that cannot be read gives
// "ERROR: - unable to read motor profile file PATH: REASON".
bool readMotorProfileFile(const std::string& path, MotorProfile& out, std::string& message);

// The same, with the number of the line whose check failed in `line`
// (1..55), or 0 when the file was refused as a whole (unreadable, or not 55
// lines) and on success.
bool readMotorProfileFile(const std::string& path, MotorProfile& out, std::string& message, int& line);

// The reader's message as a window shows it: the check's own text, then the
// file that was refused (unless the text names it already).
std::string RefusedProfileFileMessage(const std::string& message, const std::string& path);

// The same checks on lines already in memory.
bool ParseMotorProfileLines(const std::vector<std::string>& lines, MotorProfile& out, std::string& message);
bool ParseMotorProfileLines(const std::vector<std::string>& lines, MotorProfile& out, std::string& message, int& line);

// The 55 lines for a record; the stored checksum is written as it is and no
// range is checked.
std::vector<std::string> MotorProfileFileLines(const MotorProfile& p);

// Writes the 55 lines with CR LF, replacing any existing file atomically. On
// failure the previous file is intact and `message` reads
// "ERROR: - unable to write motor profile file PATH: REASON".
bool writeMotorProfileFile(const std::string& path, const MotorProfile& p, std::string& message);

}  // namespace mv
