// The application configuration file: 16 fixed lines holding the serial port
// settings and the image-builder settings, version 1.3, CR LF line ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/spl_builder.h"
#include "serial/port_types.h"

namespace mv {

inline constexpr int kConfigFileLines = 16;
inline constexpr const char* kConfigFileHeader = "Morvane Controller Host Configuration File";

// What the file holds: the port settings and the image builder's settings.
struct AppConfig : ImageBuilderSettings {
  int com_port = 1;
  PLKDVX::TBaudRate baud_rate = PLKDVX::br115200;
  PLKDVX::TDataBits data_bits = PLKDVX::db8;
  PLKDVX::TParity parity = PLKDVX::paNone;
  PLKDVX::TStopBits stop_bits = PLKDVX::sb1;

  bool operator==(const AppConfig&) const = default;
};

// Reads and checks the whole file: all or nothing. On the first failed check
// returns false with its message and leaves `out` untouched. A file that
// cannot be read gives "ERROR: - unable to read configuration file PATH: REASON".
bool ReadConfigFile(const std::string& path, AppConfig& out, std::string& message);

// The same checks on lines already in memory.
bool ParseConfigLines(const std::vector<std::string>& lines, AppConfig& out, std::string& message);

// The 16 lines for a configuration (port texts as the port names them, so a
// setting the reader does not accept, such as mark parity, is still written).
std::vector<std::string> ConfigFileLines(const AppConfig& c);

// Writes the 16 lines with CR LF, replacing any existing file atomically. On
// failure the previous file is intact and `message` reads
// "ERROR: - unable to write configuration file PATH: REASON".
bool WriteConfigFile(const std::string& path, const AppConfig& c, std::string& message);

}  // namespace mv
