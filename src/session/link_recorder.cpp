#include "session/link_recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "control/status_requests.h"
#include "link/main_requests.h"
#include "profiles/motor_profile.h"

namespace mv {

namespace {

struct CommandInfo {
  std::uint8_t command;
  const char* name;
};
constexpr CommandInfo kCommands[] = {
    {CmdGetName, "get name"},
    {CmdGetVersion, "get version"},
    {CmdGetSerialNo, "get serial no"},
    {CmdGetHardwareId, "get hardware id"},
    {CmdGetProfile, "get profile"},
    {CmdSaveProfile, "save profile"},
    {CmdActivateProfile, "activate profile"},
    {CmdStart, "start"},
    {CmdStop, "stop"},
    {CmdReset, "reset"},
    {CmdSetSpeed, "set speed"},
    {0x74, "get phase current"},
    {0x42, "get speed"},
    {0x70, "get phase power"},
    {0x60, "get status"},
    {0x76, "get controller temperature"},
    {0xF1, "get internal status"},
    {0x75, "get motor temperature"},
    {0x73, "get torque"},
    {0x72, "get bus voltage"},
};

const char* ReadingWords(TraceReading reading) {
  switch (reading) {
    case TraceReading::None:
    case TraceReading::Sent:
    case TraceReading::Answer: return "";
    case TraceReading::Refused: return "refused by the port, nothing was sent";
    case TraceReading::Unasked: return "a response nobody asked for, dropped";
    case TraceReading::NotItsAnswer: return "not its answer (the step's frame was refused), dropped";
    case TraceReading::Partial: return "cut off before it was complete, dropped";
    case TraceReading::BadCode: return "not a response code";
    case TraceReading::Dropped: return "dropped: came while waiting for the line to fall quiet";
    case TraceReading::OneTooMany: return "one answer too many: the answers were an earlier request's";
    case TraceReading::Stray: return "bytes while no request ran, dropped";
  }
  return "";
}

std::string Hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v & 0xFFu);
  return b;
}

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// What a frame asks for: "0x35 get profile, slot 1".
std::string FrameWords(const TraceEvent& e) {
  if (e.length == 0) return "an empty frame";
  const std::uint8_t c = e.data[0];
  const char* name = CommandName(c);
  std::string w = Hex2(c) + " " + (name != nullptr ? name : "unknown command");
  const std::uint8_t* d = e.data.data() + 1;
  const std::size_t n = e.length - 1u;
  if ((c == CmdGetProfile || c == CmdSaveProfile) && n >= 1) w += ", slot " + std::to_string(d[0] + 1u);
  if (c == CmdActivateProfile && n >= 1)
    w += d[0] == kNoProfileIndex ? std::string(", none") : ", slot " + std::to_string(d[0] + 1u);
  if (c == CmdSetSpeed && n >= 2) w += ", " + std::to_string(Le16(d) * 10u) + " RPM";
  return w;
}

// What an answer taken by its step said: "0x53 profile block P02 "P02", checksum valid".
std::string AnswerWords(const TraceEvent& e) {
  if (e.length == 0) return "";
  const std::uint8_t code = e.data[0];
  const std::uint8_t* p = e.data.data() + 1;
  const std::uint32_t n = e.length - 1u;
  std::string w = Hex2(code);
  char text[kDriveTextSize];
  switch (e.command) {
    case CmdGetName: FormatDriveName(p, n, text); return w + " name \"" + text + "\"";
    case CmdGetVersion: FormatDriveVersion(p, n, text); return w + " version " + text;
    case CmdGetSerialNo: FormatDriveSerialNo(p, n, text); return w + " serial no " + text;
    case CmdGetHardwareId: FormatDriveHardwareId(code, p, n, text); return w + " hardware id " + text;
    case CmdGetProfile:
      if (n == kSlotBlockSize) {
        MotorProfile profile;
        std::memcpy(profile.bytes.data(), p + 1, kProfileSize);
        return w + " profile block for slot " + std::to_string(p[0] + 1u) + " \"" + profile.Name() + "\", " +
               (ProfileChecksumValid(profile) ? "checksum valid" : "INVALID CHECKSUM");
      }
      return w + " (" + std::to_string(n) + " bytes, not a profile block)";
    case CmdSaveProfile:
      if (n >= 2) return w + (p[1] == 0 ? " profile " + std::to_string(p[0]) + " NOT CHANGED" : " saved");
      break;
    default:
      for (const StatusFieldInfo& f : kStatusFields) {
        if (f.command != e.command || n < 2) continue;
        char value[kStatusTextSize];
        FormatStatusValue(f.field, Le16(p), value);
        return w + " " + f.label + " " + value;
      }
  }
  return w;
}

const char* ReportType(int type) {
  static const char* const kTypes[] = {"error", "warning", "info", "debug"};
  return type >= 0 && type < 4 ? kTypes[type] : "report";
}

}  // namespace

const char* TraceRequestName(TraceRequest request) {
  switch (request) {
    case TraceRequest::Unknown: return "request";
    case TraceRequest::Info: return "info";
    case TraceRequest::GetProfile: return "get-profile";
    case TraceRequest::SaveProfile: return "save-profile";
    case TraceRequest::GetAll: return "get-all";
    case TraceRequest::SaveAll: return "save-all";
    case TraceRequest::Activate: return "activate";
    case TraceRequest::Start: return "start";
    case TraceRequest::Stop: return "stop";
    case TraceRequest::Reset: return "reset";
    case TraceRequest::Speed: return "speed";
    case TraceRequest::Status: return "status";
  }
  return "request";
}

TraceRequest TraceRequestOf(const RequestStep* steps, std::uint32_t count) {
  if (steps == nullptr || count == 0) return TraceRequest::Unknown;
  switch (steps[0].command) {
    case CmdGetName: return TraceRequest::Info;
    case CmdGetProfile: return count == 1 ? TraceRequest::GetProfile : TraceRequest::GetAll;
    case CmdSaveProfile: return count == 1 ? TraceRequest::SaveProfile : TraceRequest::SaveAll;
    case CmdActivateProfile: return TraceRequest::Activate;
    case CmdStart: return TraceRequest::Start;
    case CmdStop: return TraceRequest::Stop;
    case CmdReset: return TraceRequest::Reset;
    case CmdSetSpeed: return TraceRequest::Speed;
    default: break;
  }
  return steps[0].command == kStatusFields[0].command ? TraceRequest::Status : TraceRequest::Unknown;
}

const char* CommandName(std::uint8_t command) {
  for (const CommandInfo& c : kCommands)
    if (c.command == command) return c.name;
  return nullptr;
}

namespace {

// An answer its step took that says no: a profile block whose checksum is
// wrong, a save the drive refused.
bool AnswerSaysNo(const TraceEvent& e) {
  if (e.command == CmdGetProfile && e.length == 1 + kSlotBlockSize) {
    MotorProfile profile;
    std::memcpy(profile.bytes.data(), e.data.data() + 2, kProfileSize);
    return !ProfileChecksumValid(profile);
  }
  return e.command == CmdSaveProfile && e.length >= 3 && e.data[2] == 0;
}

}  // namespace

bool TraceEvent::Failure() const {
  switch (kind) {
    case TraceKind::Frame: return reading == TraceReading::Refused;
    case TraceKind::Received: return reading != TraceReading::Answer || AnswerSaysNo(*this);
    case TraceKind::RequestEnded: return outcome != RequestOutcome::Completed || !trusted;
    case TraceKind::Break:
    case TraceKind::LineError: return true;
    case TraceKind::Report: return value == 0;
    case TraceKind::RequestBegun:
    case TraceKind::Verify:
    case TraceKind::PortOpened:
    case TraceKind::PortClosed:
    case TraceKind::LineSpeed: break;
  }
  return false;
}

std::string HexBytes(const TraceEvent& event) {
  if (!event.IsBytes()) return std::string();
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(event.length * 3u);
  for (std::size_t i = 0; i < event.length; ++i) {
    if (i > 0) s += ' ';
    s += kDigits[event.data[i] >> 4];
    s += kDigits[event.data[i] & 0xF];
  }
  return s;
}

std::string DescribeEvent(const TraceEvent& e) {
  std::string w;
  if (e.request != 0) {
    w = "#" + std::to_string(e.request) + " " + TraceRequestName(e.requestKind);
    if (e.step != 0 && e.IsBytes()) w += " step " + std::to_string(e.step) + " of " + std::to_string(e.count);
    w += e.kind == TraceKind::RequestEnded ? " " : ": ";
  }
  switch (e.kind) {
    case TraceKind::Frame:
      w += FrameWords(e);
      if (e.reading == TraceReading::Refused) w += std::string(" - ") + ReadingWords(e.reading);
      return w;
    case TraceKind::Received: {
      const std::string bytes = std::to_string(e.length) + (e.length == 1 ? " byte" : " bytes");
      if (e.reading == TraceReading::Answer) return w + "answer " + AnswerWords(e);
      if (e.reading == TraceReading::BadCode && e.length > 0)
        return w + Hex2(e.data[0]) + " is " + ReadingWords(e.reading) + " (" + bytes + ")";
      return w + ReadingWords(e.reading) + " (" + bytes + ")";
    }
    case TraceKind::RequestBegun:
      w += std::to_string(e.count) + (e.count == 1 ? " step" : " steps");
      if (e.holding) w += "; the first frame waits for the line to fall quiet";
      return w;
    case TraceKind::Verify:
      return w + "every answer in; the line must stay quiet " + std::to_string(e.value) +
             " ms more to prove them its own";
    case TraceKind::RequestEnded: {
      RequestEnd end{e.outcome, e.step, e.count, e.trusted};
      w += "ended: " + OutcomeWords(end);
      if (!e.trusted && e.outcome == RequestOutcome::Completed) w += ", answers not proven its own";
      return w;
    }
    case TraceKind::PortOpened: return w + "port opened: " + e.Text() + ", " + std::to_string(e.value) + " bit/s";
    case TraceKind::PortClosed: return w + "port closed";
    case TraceKind::LineSpeed: return w + "line speed now " + std::to_string(e.value) + " bit/s";
    case TraceKind::Break: return w + "break received on the line";
    case TraceKind::LineError: return w + "receive error on the line (framing, overrun or parity)";
    case TraceKind::Report: return w + "port " + ReportType(e.value) + ": " + e.Text();
  }
  return w;
}

// ---- TraceRing ----------------------------------------------------------------

TraceRing::TraceRing(std::size_t capacity)
    : capacity_(capacity > 0 ? capacity : 1),
      slots_(static_cast<TraceEvent*>(::operator new[](capacity_ * sizeof(TraceEvent)))) {
  static_assert(std::is_aggregate_v<TraceEvent> && std::is_trivially_destructible_v<TraceEvent>);
}

void TraceRing::Commit() {
  ++end_;
  if (++next_ == capacity_) next_ = 0;
  if (end_ - first_ > capacity_) first_ = end_ - capacity_;
}

// ---- LinkRecorder ---------------------------------------------------------------

LinkRecorder::LinkRecorder(const LinkPort* port, std::size_t capacity) : ring_(capacity), port_(port) {
  using namespace std::chrono;
  const std::int64_t wall = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  wallOffsetUs_ = wall - NowUs();
}

void LinkRecorder::Clear() {
  open_ = nullptr;
  ring_.Clear();
}

TraceEvent& LinkRecorder::Start(TraceKind kind) {
  const std::int64_t now = NowUs();
  if (open_ != nullptr) CloseBytes(TraceReading::None, now);
  TraceEvent& e = ring_.Next();
  e.timeUs = now;
  e.spanUs = 0;
  e.request = request_;
  e.value = 0;
  e.kind = kind;
  e.reading = TraceReading::None;
  e.requestKind = request_ != 0 ? requestKind_ : TraceRequest::Unknown;
  e.outcome = RequestOutcome::None;
  e.trusted = true;
  e.holding = false;
  e.step = request_ != 0 ? step_ : 0;
  e.count = request_ != 0 ? count_ : 0;
  e.command = request_ != 0 && step_ > 0 ? steps_[step_ - 1].command : 0;
  e.length = 0;
  return e;
}

void LinkRecorder::Commit() { ring_.Commit(); }

void LinkRecorder::CloseBytes(TraceReading reading, std::int64_t answerEndUs) {
  TraceEvent& e = *open_;
  open_ = nullptr;
  if (reading == TraceReading::None) {
    switch (firstUse_) {
      case ByteUse::WhileHolding: reading = TraceReading::Dropped; break;
      case ByteUse::AfterLast: reading = TraceReading::OneTooMany; break;
      case ByteUse::BadCode: reading = TraceReading::BadCode; break;
      case ByteUse::Part: reading = e.request != 0 ? TraceReading::Partial : TraceReading::Stray; break;
    }
  }
  // The bytes of an answer are not timed one by one (they are the link's
  // busiest path): its last byte came when the caller says.
  const std::int64_t last = firstUse_ == ByteUse::Part ? answerEndUs : lastByteUs_;
  e.spanUs = last > e.timeUs ? static_cast<std::uint32_t>(last - e.timeUs) : 0;
  e.reading = reading;
  Commit();
}

void LinkRecorder::Text(TraceKind kind, const std::string& text, std::int32_t value) {
  TraceEvent& e = Start(kind);
  e.value = value;
  e.length = static_cast<std::uint16_t>(std::min(text.size(), kTraceDataSize));
  std::memcpy(e.data.data(), text.data(), e.length);
  Commit();
}

void LinkRecorder::RequestBegun(const RequestStep* steps, std::uint32_t count, bool holding) {
  if (open_ != nullptr) CloseBytes(TraceReading::None, NowUs());
  request_ = ++requests_;
  requestKind_ = TraceRequestOf(steps, count);
  steps_ = steps;
  count_ = static_cast<std::uint8_t>(std::min<std::uint32_t>(count, 255));
  step_ = 0;
  stepRefused_ = false;
  TraceEvent& e = Start(TraceKind::RequestBegun);
  e.holding = holding;
  Commit();
}

void LinkRecorder::FrameSent(std::uint32_t step, const std::uint8_t* frame, std::uint32_t length, bool accepted) {
  if (open_ != nullptr) CloseBytes(TraceReading::None, NowUs());
  step_ = static_cast<std::uint8_t>(std::min<std::uint32_t>(step, 255));
  stepRefused_ = !accepted;
  // The speed set while the port is open (the settings window) shows with
  // the first frame sent at it.
  if (port_ != nullptr && port_->BitsPerSecond() != bitsPerSecond_) {
    const bool known = bitsPerSecond_ != 0;
    bitsPerSecond_ = port_->BitsPerSecond();
    if (known) {
      TraceEvent& speed = Start(TraceKind::LineSpeed);
      speed.value = static_cast<std::int32_t>(bitsPerSecond_);
      Commit();
    }
  }
  TraceEvent& e = Start(TraceKind::Frame);
  e.reading = accepted ? TraceReading::Sent : TraceReading::Refused;
  e.length = static_cast<std::uint16_t>(std::min<std::size_t>(length, kTraceDataSize));
  if (e.length > 0) std::memcpy(e.data.data(), frame, e.length);
  Commit();
}

void LinkRecorder::ByteReceived(std::uint8_t byte, ByteUse use) {
  // A run of bytes is one use: another use starts another run, as does a
  // full event. Where a run ends otherwise the engine says (an answer
  // complete, a request ended, what the parser held dropped).
  if (open_ != nullptr && (use != firstUse_ || open_->length >= kTraceDataSize))
    CloseBytes(TraceReading::None, NowUs());
  if (open_ == nullptr) {
    open_ = &Start(TraceKind::Received);
    lastByteUs_ = open_->timeUs;
    firstUse_ = use;
  } else if (use != ByteUse::Part) {
    lastByteUs_ = NowUs();  // bytes nobody can use are rare: each is timed
  }
  open_->data[open_->length++] = byte;
}

void LinkRecorder::ResponseComplete(const Response&, bool taken) {
  if (open_ == nullptr) return;  // its bytes were already written out (a full event)
  // Not taken while a request runs: its step's frame was refused, so this
  // cannot be the answer to it.
  CloseBytes(taken                           ? TraceReading::Answer
             : request_ != 0 && stepRefused_ ? TraceReading::NotItsAnswer
                                             : TraceReading::Unasked,
             NowUs());
}

void LinkRecorder::VerifyBegun(int ms) {
  TraceEvent& e = Start(TraceKind::Verify);
  e.value = ms;
  Commit();
}

void LinkRecorder::RequestEnded(const RequestEnd& end) {
  // An answer cut off by the timeout: its last byte came one inter-byte
  // timeout before.
  const bool timedOut = end.outcome == RequestOutcome::Timeout || end.outcome == RequestOutcome::FrameRefused;
  if (open_ != nullptr) CloseBytes(TraceReading::None, NowUs() - (timedOut ? kInterByteTimeoutUs : 0));
  TraceEvent& e = Start(TraceKind::RequestEnded);
  e.outcome = end.outcome;
  e.trusted = end.trusted;
  e.step = static_cast<std::uint8_t>(std::min<std::uint32_t>(end.step, 255));
  Commit();
  request_ = 0;
  steps_ = nullptr;
  step_ = 0;
}

void LinkRecorder::PortOpened(const std::string& device, std::uint32_t bitsPerSecond) {
  bitsPerSecond_ = bitsPerSecond;
  Text(TraceKind::PortOpened, device, static_cast<std::int32_t>(bitsPerSecond));
}

void LinkRecorder::InputDropped(bool timedOut) {
  if (open_ != nullptr) CloseBytes(TraceReading::None, NowUs() - (timedOut ? kInterByteTimeoutUs : 0));
}

void LinkRecorder::PortClosed() { Mark(TraceKind::PortClosed); }
void LinkRecorder::LineBreak() { Mark(TraceKind::Break); }
void LinkRecorder::LineError() { Mark(TraceKind::LineError); }
void LinkRecorder::Report(int type, const std::string& text) { Text(TraceKind::Report, text, type); }

void LinkRecorder::Mark(TraceKind kind) {
  Start(kind);
  Commit();
}

}  // namespace mv
