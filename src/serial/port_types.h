// Line-setting enumerations of the serial port component and their texts.
// Header-only so that the configuration file and the windows can use them
// without linking the port itself.
#pragma once

#include <cstdint>
#include <string>

namespace PLKDVX {

enum TBaudRate : std::uint8_t {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br19200,
  br38400,
  br57600,
  br115200
};
enum TDataBits : std::uint8_t { db5, db6, db7, db8 };
enum TParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits : std::uint8_t { sb1, sb1_5, sb2 };
enum TEnumMode : std::uint8_t { emAll, emPresent };
enum TReportType : std::uint8_t { rtError, rtWarning, rtInfo, rtDebug };
enum TIndicatorType : std::uint8_t { itBRK, itCD, itCTS, itDSR, itDTR, itERR, itRI, itRTS, itRX, itTX };

// What a report is about, for the program; its texts are for people. Decided
// where the report is made and readable through TDVXCOMPort::ReportCode()
// while OnReport runs.
enum TReportCode : std::uint8_t {
  rcGeneral,       // anything not listed below
  rcOpenDevice,    // the device could not be opened; aAPIErr tells why
  rcDeviceGone,    // a worker found the device gone (adapter unplugged, other end closed)
  rcTxRefused,     // a buffer to send was refused (transmitter busy, port not open)
  rcTxFailed,      // the transmit worker's write failed
  rcNoModemLines,  // the device has no modem lines (a pseudo-terminal)
};

inline constexpr int kBaudRateCount = 11;
inline constexpr int kBaudRateValues[kBaudRateCount] = {110,  300,   600,   1200,  2400,  4800,
                                                        9600, 19200, 38400, 57600, 115200};

inline std::string BaudRateStr(int v) {
  static const char* const t[] = {"110",  "300",   "600",   "1200",  "2400",  "4800",
                                  "9600", "19200", "38400", "57600", "115200"};
  return (v >= 0 && v < kBaudRateCount) ? t[v] : "<invalid baud rate>";
}
inline std::string DataBitsStr(int v) {
  static const char* const t[] = {"5", "6", "7", "8"};
  return (v >= 0 && v < 4) ? t[v] : "<invalid data bits>";
}
inline std::string ParityStr(int v) {
  static const char* const t[] = {"none", "odd", "even", "mark", "space"};
  return (v >= 0 && v < 5) ? t[v] : "<invalid parity>";
}
inline std::string StopBitsStr(int v) {
  static const char* const t[] = {"1", "1.5", "2"};
  return (v >= 0 && v < 3) ? t[v] : "<invalid stop bits>";
}

}  // namespace PLKDVX
