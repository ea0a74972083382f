// The link's flight recorder: every frame that crossed the line in either
// direction, with its time, its bytes and what the request engine made of it
// (which request and step, answer, refused, cut off, dropped while the line
// fell quiet, one answer too many, ...), and the port's own events (opened,
// closed, line speed, break, line error, reports), in a ring of the last
// kTraceCapacity events.
//
// The drive session owns one and keeps it on for the whole run: the engine
// tells it what it does through its LinkTrace seam, the session adds the
// port's events. Everything runs on the session's GUI thread, so whoever
// reads the ring (the Link Trace window, the trace file writer, the drive
// client) reads it there. The ring is allocated once; recording allocates
// nothing, per byte or per request.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "link/engine.h"
#include "link/link_trace.h"

namespace mv {

inline constexpr std::size_t kTraceCapacity = 20000;
// Bytes one event holds: a whole frame (command and a slot block) or a whole
// answer (code and a slot block). Longer runs of received bytes take more
// than one event.
inline constexpr std::size_t kTraceDataSize = 224;

enum class TraceKind : std::uint8_t {
  Frame,         // bytes to the drive (a frame handed to the port)
  Received,      // bytes from the drive
  RequestBegun,  // a request was accepted
  Verify,        // every answer in; the line must stay quiet a little longer
  RequestEnded,  // how it ended
  PortOpened,    // data: the device path; value: bits per second
  PortClosed,
  LineSpeed,  // value: bits per second, changed while open
  Break,      // a break on the line
  LineError,  // framing, overrun or parity error
  Report,     // a report of the port; data: its words; value: its type (0 error .. 3 debug)
};

// What the engine made of a frame or of received bytes.
enum class TraceReading : std::uint8_t {
  None,
  Sent,          // Frame: handed to the port
  Refused,       // Frame: the port refused it, nothing was sent
  Answer,        // a complete answer, taken by the step that waited for it
  Unasked,       // a complete response no step waited for
  NotItsAnswer,  // completed while its step's frame had been refused
  Partial,       // an answer cut off by the end of its request
  BadCode,       // begins with a byte that is no response code
  Dropped,       // arrived while a request waited for the line to fall quiet
  OneTooMany,    // came after the last answer: the answers were one request late
  Stray,         // bytes while no request ran, not a complete response
};

// The requests by the names the command-line tool and scripts use.
enum class TraceRequest : std::uint8_t {
  Unknown,
  Info,
  GetProfile,
  SaveProfile,
  GetAll,
  SaveAll,
  Activate,
  Start,
  Stop,
  Reset,
  Speed,
  Status,
};
inline constexpr std::size_t kTraceRequestCount = 12;
const char* TraceRequestName(TraceRequest request);  // "get-all", "status", ...
// The request a step table is, by its first command and its length.
TraceRequest TraceRequestOf(const RequestStep* steps, std::uint32_t count);
// The drive's name for a command byte ("get profile"), nullptr when unknown.
const char* CommandName(std::uint8_t command);

struct TraceEvent {
  // Every field is written by LinkRecorder::Start (data up to length).
  std::int64_t timeUs = 0;    // monotonic; received bytes: when the first came
  std::uint32_t spanUs = 0;   // received bytes: from the first to the last
  std::uint32_t request = 0;  // number of the request it belongs to (from 1; 0: none)
  std::int32_t value = 0;     // Verify: ms; PortOpened, LineSpeed: bit/s; Report: type
  TraceKind kind = TraceKind::Frame;
  TraceReading reading = TraceReading::None;
  TraceRequest requestKind = TraceRequest::Unknown;
  RequestOutcome outcome = RequestOutcome::None;  // RequestEnded
  bool trusted = true;                            // RequestEnded
  bool holding = false;                           // RequestBegun: waits for a quiet line
  std::uint8_t step = 0;                          // 1-based; 0: none
  std::uint8_t count = 0;                         // steps in the request
  std::uint8_t command = 0;                       // the step's command (Frame, Received)
  std::uint16_t length = 0;                       // bytes (or characters) in data
  std::array<std::uint8_t, kTraceDataSize> data;  // left uninitialised: written before use

  bool IsBytes() const { return kind == TraceKind::Frame || kind == TraceKind::Received; }
  // Did not go well: a refused frame, bytes the engine could not use, a
  // request that failed, a break, a line error, an error report.
  bool Failure() const;
  std::string Text() const { return std::string(reinterpret_cast<const char*>(data.data()), length); }
};

// What the event was, in words ("#12 get-all step 1 of 6: 0x35 get profile,
// slot 1"; "#12 get-all ended: no answer from the drive (timeout) at step 2 of 6").
std::string DescribeEvent(const TraceEvent& event);
// The bytes in hex, "35 00".
std::string HexBytes(const TraceEvent& event);

// The events kept, oldest first, addressed by a sequence number that keeps
// counting across the ring's turns (so a reader knows what it has seen).
class TraceRing {
 public:
  explicit TraceRing(std::size_t capacity = kTraceCapacity);
  std::size_t Capacity() const { return capacity_; }
  // Sequence number of the oldest event kept, and one past the newest.
  std::uint64_t First() const { return first_; }
  std::uint64_t End() const { return end_; }
  std::size_t Size() const { return static_cast<std::size_t>(end_ - first_); }
  // Only for First() <= seq < End().
  const TraceEvent& At(std::uint64_t seq) const { return slots_[seq % capacity_]; }
  // The slot the next event is written in; it counts once committed (the
  // oldest one then goes when the ring is full).
  TraceEvent& Next() { return slots_[next_]; }
  void Commit();
  // Drops every event kept; the numbers go on.
  void Clear() { first_ = end_; }

 private:
  // The slots are bare memory (an event is a plain aggregate, so writing its
  // fields brings it to life): a page of the ring is touched only when an
  // event first lands in it, and a recorder that records little costs
  // little memory.
  struct FreeSlots {
    void operator()(TraceEvent* memory) const { ::operator delete[](memory); }
  };
  std::size_t capacity_;
  std::unique_ptr<TraceEvent[], FreeSlots> slots_;
  std::uint64_t first_ = 0;
  std::uint64_t end_ = 0;
  std::size_t next_ = 0;  // end_ % capacity_, kept without a division per byte
};

class LinkRecorder final : public LinkTrace {
 public:
  // `port` tells the line's speed as frames go (a change is recorded).
  explicit LinkRecorder(const LinkPort* port = nullptr, std::size_t capacity = kTraceCapacity);

  const TraceRing& Ring() const { return ring_; }
  // Drops what was recorded; a request running goes on being recorded.
  void Clear();
  // Wall-clock microseconds (since 1970) of a monotonic event time.
  std::int64_t WallTimeUs(std::int64_t monotonicUs) const { return monotonicUs + wallOffsetUs_; }
  // Replaces the monotonic clock (tests).
  void SetClock(MonotonicClock clock) { clock_ = clock != nullptr ? clock : &SteadyClockNs; }

  // LinkTrace
  void RequestBegun(const RequestStep* steps, std::uint32_t count, bool holding) override;
  void FrameSent(std::uint32_t step, const std::uint8_t* frame, std::uint32_t length, bool accepted) override;
  void ByteReceived(std::uint8_t byte, ByteUse use) override;
  void ResponseComplete(const Response& response, bool taken) override;
  void VerifyBegun(int ms) override;
  void RequestEnded(const RequestEnd& end) override;
  void InputDropped(bool timedOut) override;

  // The port's events.
  void PortOpened(const std::string& device, std::uint32_t bitsPerSecond);
  void PortClosed();
  void LineBreak();
  void LineError();
  // A report: its type (0 error, 1 warning, 2 info, 3 debug) and its words.
  void Report(int type, const std::string& text);

 private:
  std::int64_t NowUs() const { return clock_() / 1000; }
  // A new event of this kind, stamped now and with the request it belongs to.
  TraceEvent& Start(TraceKind kind);
  void Commit();
  static constexpr std::int64_t kInterByteTimeoutUs = std::int64_t{kInterByteTimeoutMs} * 1000;
  // Ends the run of received bytes being gathered, with what it was (None:
  // by the use of its bytes); a run of answer bytes ended at `answerEndUs`.
  void CloseBytes(TraceReading reading, std::int64_t answerEndUs);
  void Text(TraceKind kind, const std::string& text, std::int32_t value);
  void Mark(TraceKind kind);

  TraceRing ring_;
  const LinkPort* port_;
  MonotonicClock clock_ = &SteadyClockNs;
  std::int64_t wallOffsetUs_ = 0;
  // The request running.
  std::uint32_t requests_ = 0;  // numbers given so far
  std::uint32_t request_ = 0;   // 0: none runs
  TraceRequest requestKind_ = TraceRequest::Unknown;
  const RequestStep* steps_ = nullptr;
  std::uint8_t count_ = 0;
  std::uint8_t step_ = 0;
  bool stepRefused_ = false;  // the port refused the frame of step_
  std::uint32_t bitsPerSecond_ = 0;
  // Received bytes being gathered: the ring's next slot, not yet committed.
  TraceEvent* open_ = nullptr;
  ByteUse firstUse_ = ByteUse::Part;
  std::int64_t lastByteUs_ = 0;  // runs of other bytes than an answer's: when the last came
};

}  // namespace mv
