#include "session/report_line.h"

#include <cctype>
#include <cstring>

namespace mv {

std::string FileNamePart(const std::string& path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string SystemReason(int apiErr) {
  if (apiErr == 0) return {};
  std::string reason = std::strerror(apiErr);
  if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  return ": " + reason;
}

std::string ReportLine(const std::string& portStr, int reportType, const std::string& srcFunc, const std::string& desc,
                       const std::string& srcFile, int srcLine, int apiErr) {
  static const char* const kPrefix[] = {"ERROR: ", "WARNING: ", "INFO: ", "DEBUG: "};
  std::string line;
  line.reserve(64 + srcFunc.size() + desc.size() + srcFile.size());
  line += "COM";
  line += portStr;
  line += ": ";
  if (reportType >= 0 && reportType < 4) line += kPrefix[reportType];
  line += srcFunc;
  line += "(): ";
  line += desc;
  if (apiErr != 0) {
    line += " (";
    line += std::to_string(apiErr);
    line += ").";
  } else {
    line += ".";
  }
  line += '\r';
  line += FileNamePart(srcFile);
  line += " line ";
  line += std::to_string(srcLine);
  line += ".";
  return line;
}

}  // namespace mv
