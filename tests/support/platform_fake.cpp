#include "support/platform_fake.h"

#include <cerrno>

namespace mv {

namespace {

// The fake's handles point at these (never at the POSIX platform's types).
struct FakeDevice {
  int id;
};
struct FakeEvent {
  bool set = false;
};

FakeEvent* Ev(EventHandle e) { return reinterpret_cast<FakeEvent*>(e); }

}  // namespace

FakeSerialPlatform::~FakeSerialPlatform() = default;

bool FakeSerialPlatform::Enter(const char* call, int& err) {
  calls_.emplace_back(call);
  auto range = failures_.equal_range(call);
  for (auto it = range.first; it != range.second; ++it) {
    Failure& f = it->second;
    if (f.countdown == 0) {
      err = f.err;
      return true;
    }
    if (--f.countdown == 0) {
      err = f.err;
      failures_.erase(it);
      return true;
    }
  }
  return false;
}

#define FAKE_ENTER(name)                  \
  std::unique_lock<std::mutex> lock(mu_); \
  if (int e = 0; Enter(name, e)) return PlatformResult::Fail(e)

void FakeSerialPlatform::FailCall(const std::string& call, int err, int nth) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_.emplace(call, Failure{nth < 1 ? 1 : nth, err});
}

void FakeSerialPlatform::FailAlways(const std::string& call, int err) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_.emplace(call, Failure{0, err});
}

void FakeSerialPlatform::ClearFailures() {
  std::lock_guard<std::mutex> lock(mu_);
  failures_.clear();
}

void FakeSerialPlatform::InjectBytes(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  cv_.notify_all();
}

void FakeSerialPlatform::InjectBreak() {
  std::lock_guard<std::mutex> lock(mu_);
  pendingEvents_ |= kEvBreak;
  cv_.notify_all();
}

void FakeSerialPlatform::InjectLineErrors(std::uint32_t ceBits, bool withBreak) {
  std::lock_guard<std::mutex> lock(mu_);
  lineErrors_ |= ceBits;
  pendingEvents_ |= kEvErr | (withBreak ? kEvBreak : 0);
  cv_.notify_all();
}

void FakeSerialPlatform::SetModemStatus(std::uint32_t msBits) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::uint32_t changed = modem_ ^ msBits;
  modem_ = msBits;
  if (changed & kMsCtsOn) pendingEvents_ |= kEvCts;
  if (changed & kMsDsrOn) pendingEvents_ |= kEvDsr;
  if (changed & kMsRingOn) pendingEvents_ |= kEvRing;
  if (changed & kMsRlsdOn) pendingEvents_ |= kEvRlsd;
  cv_.notify_all();
}

void FakeSerialPlatform::InjectReadFailure(int err) {
  std::lock_guard<std::mutex> lock(mu_);
  readFailure_ = err;
  cv_.notify_all();
}

void FakeSerialPlatform::HoldWrites(bool hold) {
  std::lock_guard<std::mutex> lock(mu_);
  holdWrites_ = hold;
  cv_.notify_all();
}

void FakeSerialPlatform::SetNoModemLines(bool none) {
  std::lock_guard<std::mutex> lock(mu_);
  noModemLines_ = none;
}

std::vector<std::string> FakeSerialPlatform::Calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

void FakeSerialPlatform::ClearCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
}

std::vector<std::uint8_t> FakeSerialPlatform::Written() const {
  std::lock_guard<std::mutex> lock(mu_);
  return written_;
}

int FakeSerialPlatform::OpenDevices() const {
  std::lock_guard<std::mutex> lock(mu_);
  return openDevices_;
}

int FakeSerialPlatform::LiveEvents() const {
  std::lock_guard<std::mutex> lock(mu_);
  return liveEvents_;
}

std::string FakeSerialPlatform::LastPath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastPath_;
}

DeviceSettings FakeSerialPlatform::LastSettings() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastSettings_;
}

bool FakeSerialPlatform::WriteInProgress() const {
  std::lock_guard<std::mutex> lock(mu_);
  return writing_;
}

int FakeSerialPlatform::ReadsWaiting() const {
  std::lock_guard<std::mutex> lock(mu_);
  return readsWaiting_;
}

int FakeSerialPlatform::StatusWaitsWaiting() const {
  std::lock_guard<std::mutex> lock(mu_);
  return statusWaitsWaiting_;
}

PlatformResult FakeSerialPlatform::CreateFile(const std::string& path, DeviceHandle& out) {
  out = nullptr;
  FAKE_ENTER("CreateFile");
  lastPath_ = path;
  ++openDevices_;
  rxAbort_ = txAbort_ = false;
  out = reinterpret_cast<DeviceHandle>(new FakeDevice{openDevices_});
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::CloseHandle(DeviceHandle h) {
  std::unique_lock<std::mutex> lock(mu_);
  int e = 0;
  const bool fail = Enter("CloseHandle", e);
  delete reinterpret_cast<FakeDevice*>(h);  // released either way
  --openDevices_;
  return fail ? PlatformResult::Fail(e) : PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::GetCommTimeouts(DeviceHandle, CommTimeouts& out) {
  FAKE_ENTER("GetCommTimeouts");
  out = timeouts_;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::SetCommTimeouts(DeviceHandle, const CommTimeouts& t) {
  FAKE_ENTER("SetCommTimeouts");
  timeouts_ = t;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::GetCommProperties(DeviceHandle, CommProperties& out) {
  FAKE_ENTER("GetCommProperties");
  out.CurrentRxQueue = 4096;
  out.CurrentTxQueue = 2048;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::SetupComm(DeviceHandle, std::uint32_t, std::uint32_t) {
  FAKE_ENTER("SetupComm");
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::GetCommMask(DeviceHandle, std::uint32_t& mask) {
  FAKE_ENTER("GetCommMask");
  mask = mask_;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::SetCommMask(DeviceHandle, std::uint32_t mask) {
  FAKE_ENTER("SetCommMask");
  mask_ = mask;
  cv_.notify_all();
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::SetCommState(DeviceHandle, const DeviceSettings& s) {
  FAKE_ENTER("SetCommState");
  lastSettings_ = s;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::EscapeCommFunction(DeviceHandle, std::uint32_t func) {
  FAKE_ENTER("EscapeCommFunction");
  if (func < kSetRts || func > kClrBreak || func == 7) return PlatformResult::Fail(EINVAL);
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::GetCommModemStatus(DeviceHandle, std::uint32_t& status) {
  FAKE_ENTER("GetCommModemStatus");
  if (noModemLines_) return PlatformResult::Fail(ENOTTY);
  status = modem_;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::WaitCommEvent(DeviceHandle, EventHandle wake, std::uint32_t& mask) {
  FAKE_ENTER("WaitCommEvent");
  mask = 0;
  ++statusWaitsWaiting_;
  cv_.wait(lock, [&] { return (wake && Ev(wake)->set) || (pendingEvents_ & mask_); });
  --statusWaitsWaiting_;
  if (wake && Ev(wake)->set) return PlatformResult::Ok();
  mask = pendingEvents_ & mask_;
  pendingEvents_ &= ~mask;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::ReadFile(DeviceHandle, EventHandle wake, std::uint8_t* buffer, std::uint32_t size,
                                            std::uint32_t& count) {
  FAKE_ENTER("ReadFile");
  count = 0;
  ++readsWaiting_;
  cv_.wait(lock, [&] { return (wake && Ev(wake)->set) || rxAbort_ || rxPos_ < rx_.size() || readFailure_; });
  --readsWaiting_;
  if (wake && Ev(wake)->set) return PlatformResult::Ok();
  if (rxAbort_) {
    rxAbort_ = false;
    return PlatformResult::Ok();
  }
  while (rxPos_ < rx_.size() && count < size) buffer[count++] = rx_[rxPos_++];
  if (count > 0) return PlatformResult::Ok();
  const int e = readFailure_;
  readFailure_ = 0;
  return PlatformResult::Fail(e);
}

PlatformResult FakeSerialPlatform::WriteFile(DeviceHandle, EventHandle wake, const std::uint8_t* data,
                                             std::uint32_t len, std::uint32_t& written) {
  FAKE_ENTER("WriteFile");
  written = 0;
  txAbort_ = false;
  writing_ = true;
  cv_.notify_all();
  cv_.wait(lock, [&] { return (wake && Ev(wake)->set) || txAbort_ || !holdWrites_; });
  writing_ = false;
  if ((wake && Ev(wake)->set) || txAbort_) {
    txAbort_ = false;
    return PlatformResult::Fail(ECANCELED);
  }
  written_.insert(written_.end(), data, data + len);
  written = len;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::PurgeComm(DeviceHandle, std::uint32_t flags) {
  FAKE_ENTER("PurgeComm");
  if (flags & kPurgeRxAbort) rxAbort_ = true;
  if (flags & kPurgeTxAbort) txAbort_ = true;
  if (flags & kPurgeRxClear) rxPos_ = rx_.size();  // unread bytes are gone
  cv_.notify_all();
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::ClearCommError(DeviceHandle, std::uint32_t& errors) {
  FAKE_ENTER("ClearCommError");
  errors = lineErrors_;
  lineErrors_ = 0;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::CreateEvent(EventHandle& out) {
  out = nullptr;
  FAKE_ENTER("CreateEvent");
  ++liveEvents_;
  out = reinterpret_cast<EventHandle>(new FakeEvent);
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::SetEvent(EventHandle e) {
  FAKE_ENTER("SetEvent");
  Ev(e)->set = true;
  cv_.notify_all();
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::ResetEvent(EventHandle e) {
  FAKE_ENTER("ResetEvent");
  Ev(e)->set = false;
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::WaitForSingleObject(EventHandle e) {
  FAKE_ENTER("WaitForSingleObject");
  cv_.wait(lock, [&] { return Ev(e)->set; });
  return PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::CloseEvent(EventHandle e) {
  std::unique_lock<std::mutex> lock(mu_);
  int err = 0;
  const bool fail = Enter("CloseEvent", err);
  delete Ev(e);
  --liveEvents_;
  return fail ? PlatformResult::Fail(err) : PlatformResult::Ok();
}

PlatformResult FakeSerialPlatform::CreateThread() {
  FAKE_ENTER("CreateThread");
  return PlatformResult::Ok();
}

}  // namespace mv
