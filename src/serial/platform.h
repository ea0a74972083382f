// The serial device as the port component sees it: one call per operation of
// the port's open and close sequences and of its worker threads. Every call
// returns a PlatformResult: ok, or failed with an errno-style error number
// (passed on as the report's aAPIErr). The POSIX implementation works on
// termios/ioctl; tests use the scriptable fake (platform_fake.h).
//
// Threading: calls on one device may come from the GUI thread and from the
// three workers at once, but each blocking call (WaitCommEvent, ReadFile,
// WriteFile, WaitForSingleObject) only ever from one worker at a time. A
// blocking call returns early when the event passed to it is set; ReadFile and
// WriteFile also end when the matching PurgeComm abort is asked for.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

namespace mv {

struct PlatformResult {
  bool ok = true;
  int err = 0;
  explicit operator bool() const { return ok; }
  static PlatformResult Ok() { return {true, 0}; }
  static PlatformResult Fail(int e) { return {false, e}; }
};

// Timeout record; the port sets all five to 0: a read ends only when a byte
// has arrived, a write only when every byte has been taken by the driver.
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

// Capability record: the driver's current queue sizes.
struct CommProperties {
  std::uint32_t CurrentRxQueue = 0;
  std::uint32_t CurrentTxQueue = 0;
};

// Line-settings record. The port clears it and fills the fields it uses;
// everything else stays 0 (no flow control, no error or event characters).
struct DeviceSettings {
  std::uint32_t DCBlength = 0;
  std::uint32_t BaudRate = 0;  // bit/s
  std::uint8_t fBinary = 0;
  std::uint8_t fParity = 0;  // parity checking on
  std::uint8_t fOutxCtsFlow = 0;
  std::uint8_t fOutxDsrFlow = 0;
  std::uint8_t fDtrControl = 0;  // 0 DTR off, 1 DTR on
  std::uint8_t fDsrSensitivity = 0;
  std::uint8_t fTXContinueOnXoff = 0;
  std::uint8_t fOutX = 0;
  std::uint8_t fInX = 0;
  std::uint8_t fErrorChar = 0;
  std::uint8_t fNull = 0;
  std::uint8_t fRtsControl = 0;  // 0 RTS off, 1 RTS on
  std::uint8_t fAbortOnError = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;  // 5..8
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  std::uint8_t XonChar = 0;
  std::uint8_t XoffChar = 0;
  std::uint8_t ErrorChar = 0;
  std::uint8_t EofChar = 0;
  std::uint8_t EvtChar = 0;
};

// Event mask bits (WaitCommEvent, Get/SetCommMask).
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;  // carrier detect
inline constexpr std::uint32_t kEvBreak = 0x0040;
inline constexpr std::uint32_t kEvErr = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;
inline constexpr std::uint32_t kPortEventMask = 0x01F8;

// Line error bits (ClearCommError).
inline constexpr std::uint32_t kCeRxOver = 0x0001;
inline constexpr std::uint32_t kCeOverrun = 0x0002;
inline constexpr std::uint32_t kCeRxParity = 0x0004;
inline constexpr std::uint32_t kCeFrame = 0x0008;

// Modem status bits (GetCommModemStatus).
inline constexpr std::uint32_t kMsCtsOn = 0x0010;
inline constexpr std::uint32_t kMsDsrOn = 0x0020;
inline constexpr std::uint32_t kMsRingOn = 0x0040;
inline constexpr std::uint32_t kMsRlsdOn = 0x0080;

// EscapeCommFunction codes.
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClrRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClrDtr = 6;
inline constexpr std::uint32_t kSetBreak = 8;
inline constexpr std::uint32_t kClrBreak = 9;

// PurgeComm flags.
inline constexpr std::uint32_t kPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;

// The error with which a device that has no modem lines (a pseudo-terminal)
// refuses to read or wait for them.
inline bool IsNoModemLinesError(int err) { return err == ENOTTY || err == EINVAL; }

// Opaque handles; each platform defines what they point at.
struct PlatformDevice;
struct PlatformEvent;
using DeviceHandle = PlatformDevice*;
using EventHandle = PlatformEvent*;

class SerialPlatform {
 public:
  virtual ~SerialPlatform() = default;

  // Device: opened for reading and writing, held exclusively.
  virtual PlatformResult CreateFile(const std::string& path, DeviceHandle& out) = 0;
  virtual PlatformResult CloseHandle(DeviceHandle h) = 0;  // releases h even when it fails

  virtual PlatformResult GetCommTimeouts(DeviceHandle h, CommTimeouts& out) = 0;
  virtual PlatformResult SetCommTimeouts(DeviceHandle h, const CommTimeouts& t) = 0;
  virtual PlatformResult GetCommProperties(DeviceHandle h, CommProperties& out) = 0;
  virtual PlatformResult SetupComm(DeviceHandle h, std::uint32_t rxQueue, std::uint32_t txQueue) = 0;
  virtual PlatformResult GetCommMask(DeviceHandle h, std::uint32_t& mask) = 0;
  virtual PlatformResult SetCommMask(DeviceHandle h, std::uint32_t mask) = 0;
  virtual PlatformResult SetCommState(DeviceHandle h, const DeviceSettings& s) = 0;
  virtual PlatformResult EscapeCommFunction(DeviceHandle h, std::uint32_t func) = 0;
  virtual PlatformResult GetCommModemStatus(DeviceHandle h, std::uint32_t& status) = 0;

  // Blocks until a masked event happens (mask set) or wake is set (mask 0).
  virtual PlatformResult WaitCommEvent(DeviceHandle h, EventHandle wake, std::uint32_t& mask) = 0;
  // Blocks until bytes have arrived, then gives what has arrived, up to
  // `size` (count 1..size), or returns when wake is set or the read is
  // purged (count 0). Bytes that came before a break or a line error are
  // given before the event is raised. The other end going away is a failure
  // (EIO).
  virtual PlatformResult ReadFile(DeviceHandle h, EventHandle wake, std::uint8_t* buffer, std::uint32_t size,
                                  std::uint32_t& count) = 0;
  // Blocks until every byte has been taken by the driver. Ended early by wake
  // or a transmit purge: fails with ECANCELED, written says how far it got.
  virtual PlatformResult WriteFile(DeviceHandle h, EventHandle wake, const std::uint8_t* data, std::uint32_t len,
                                   std::uint32_t& written) = 0;
  // kPurgeRxClear also throws away bytes a read has taken from the driver
  // but not given yet.
  virtual PlatformResult PurgeComm(DeviceHandle h, std::uint32_t flags) = 0;
  // Reads and clears the accumulated line-error bits.
  virtual PlatformResult ClearCommError(DeviceHandle h, std::uint32_t& errors) = 0;

  // Manual-reset events, initially not set.
  virtual PlatformResult CreateEvent(EventHandle& out) = 0;
  virtual PlatformResult SetEvent(EventHandle e) = 0;
  virtual PlatformResult ResetEvent(EventHandle e) = 0;
  virtual PlatformResult WaitForSingleObject(EventHandle e) = 0;  // no time limit
  virtual PlatformResult CloseEvent(EventHandle e) = 0;           // releases e even when it fails

  // Asked before each worker thread is made; a refusal means the thread
  // could not be created.
  virtual PlatformResult CreateThread() { return PlatformResult::Ok(); }
};

// The termios/ioctl implementation, shared by every port of the process.
std::shared_ptr<SerialPlatform> PosixSerialPlatform();

}  // namespace mv
