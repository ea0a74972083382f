// The one text format for the serial port component's reports: what the main
// window makes of every OnReport before it goes to the log.
#pragma once

#include <string>

namespace mv {

// Builds the report line:
//   "COM" + port + ": " + type prefix + srcFunc + "(): " + desc + (" (N)." | ".")
//   + "\r" + file name of srcFile (folders removed) + " line " + srcLine + "."
// reportType 0..3 gives "ERROR: ", "WARNING: ", "INFO: ", "DEBUG: "; any other
// value gives no prefix.
std::string ReportLine(const std::string& portStr, int reportType, const std::string& srcFunc, const std::string& desc,
                       const std::string& srcFile, int srcLine, int apiErr);

// What the system calls an error code, for a report line's end: ": " and
// the reason in words ("(2)" becomes ": no such file or directory"); "" for 0.
std::string SystemReason(int apiErr);

// The file-name part of a path: everything after the last '/' or '\'.
std::string FileNamePart(const std::string& path);

}  // namespace mv
