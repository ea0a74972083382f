// A scriptable serial device for tests: any call can be made to fail with a
// chosen error; received bytes, breaks, line errors and modem-line changes
// are injected; written bytes and the calls made are recorded in order.
// Thread-safe: the workers call it while the test thread scripts it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/platform.h"

namespace mv {

class FakeSerialPlatform final : public SerialPlatform {
 public:
  FakeSerialPlatform() = default;
  ~FakeSerialPlatform() override;

  // --- scripting ---
  // The nth call of that name from now on (1 = the next one) fails with err.
  void FailCall(const std::string& call, int err, int nth = 1);
  // Every call of that name fails with err until ClearFailures().
  void FailAlways(const std::string& call, int err);
  void ClearFailures();

  void InjectBytes(const std::vector<std::uint8_t>& bytes);
  // Status events: break, line errors (ClearCommError bits) and modem lines.
  void InjectBreak();
  // Line errors, optionally together with a break in the same status event.
  void InjectLineErrors(std::uint32_t ceBits, bool withBreak = false);
  void SetModemStatus(std::uint32_t msBits);  // raises the matching change events
  // The next ReadFile (once the injected bytes are used up) fails with err.
  void InjectReadFailure(int err);
  // While held, WriteFile blocks (as a slow line) until released, purged or woken.
  void HoldWrites(bool hold);
  // A device without modem lines (a pseudo-terminal): reading them fails
  // with ENOTTY, and the status wait sees breaks and line errors only.
  void SetNoModemLines(bool none);

  // --- inspection ---
  std::vector<std::string> Calls() const;
  void ClearCalls();
  std::vector<std::uint8_t> Written() const;
  int OpenDevices() const;
  int LiveEvents() const;
  std::string LastPath() const;
  DeviceSettings LastSettings() const;
  bool WriteInProgress() const;
  // Workers blocked right now in ReadFile, in WaitCommEvent.
  int ReadsWaiting() const;
  int StatusWaitsWaiting() const;

  // --- platform ---
  PlatformResult CreateFile(const std::string& path, DeviceHandle& out) override;
  PlatformResult CloseHandle(DeviceHandle h) override;
  PlatformResult GetCommTimeouts(DeviceHandle h, CommTimeouts& out) override;
  PlatformResult SetCommTimeouts(DeviceHandle h, const CommTimeouts& t) override;
  PlatformResult GetCommProperties(DeviceHandle h, CommProperties& out) override;
  PlatformResult SetupComm(DeviceHandle h, std::uint32_t rxQueue, std::uint32_t txQueue) override;
  PlatformResult GetCommMask(DeviceHandle h, std::uint32_t& mask) override;
  PlatformResult SetCommMask(DeviceHandle h, std::uint32_t mask) override;
  PlatformResult SetCommState(DeviceHandle h, const DeviceSettings& s) override;
  PlatformResult EscapeCommFunction(DeviceHandle h, std::uint32_t func) override;
  PlatformResult GetCommModemStatus(DeviceHandle h, std::uint32_t& status) override;
  PlatformResult WaitCommEvent(DeviceHandle h, EventHandle wake, std::uint32_t& mask) override;
  PlatformResult ReadFile(DeviceHandle h, EventHandle wake, std::uint8_t* buffer, std::uint32_t size,
                          std::uint32_t& count) override;
  PlatformResult WriteFile(DeviceHandle h, EventHandle wake, const std::uint8_t* data, std::uint32_t len,
                           std::uint32_t& written) override;
  PlatformResult PurgeComm(DeviceHandle h, std::uint32_t flags) override;
  PlatformResult ClearCommError(DeviceHandle h, std::uint32_t& errors) override;
  PlatformResult CreateEvent(EventHandle& out) override;
  PlatformResult SetEvent(EventHandle e) override;
  PlatformResult ResetEvent(EventHandle e) override;
  PlatformResult WaitForSingleObject(EventHandle e) override;
  PlatformResult CloseEvent(EventHandle e) override;
  PlatformResult CreateThread() override;

 private:
  struct Failure {
    int countdown;  // 0 = always
    int err;
  };
  // Records the call and tells whether it is scripted to fail (lock held).
  bool Enter(const char* call, int& err);

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> calls_;
  std::multimap<std::string, Failure> failures_;
  std::vector<std::uint8_t> rx_;
  std::size_t rxPos_ = 0;
  int readFailure_ = 0;
  std::uint32_t pendingEvents_ = 0;
  std::uint32_t lineErrors_ = 0;
  std::uint32_t modem_ = 0;
  std::uint32_t mask_ = 0;
  bool holdWrites_ = false;
  bool noModemLines_ = false;
  bool rxAbort_ = false;
  bool txAbort_ = false;
  bool writing_ = false;
  int readsWaiting_ = 0;
  int statusWaitsWaiting_ = 0;
  std::vector<std::uint8_t> written_;
  int openDevices_ = 0;
  int liveEvents_ = 0;
  std::string lastPath_;
  DeviceSettings lastSettings_{};
  CommTimeouts timeouts_{1, 2, 3, 4, 5};
};

}  // namespace mv
