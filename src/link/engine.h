// The stop-and-wait request engine of the controller link.
//
// A request is a fixed array of steps; each step is one frame to the drive
// (command byte then data) and one response from it (code byte then a payload
// whose length the code fixes, see ResponseLengthTable). The engine sends a
// step, collects its response byte by byte, calls the step's handler and sends
// the next step. A timeout, an unknown response code, a receive error or a
// break abandons the request; nothing is retried.
//
// Everything runs on one thread (the GUI thread, or the command-line tool's
// loop): the port's received bytes, the timer and the callers. No allocation
// happens per request or per byte: frames are built in two fixed buffers and
// the response is assembled in one fixed buffer that handlers read in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/timer.h"

namespace mv {

struct RequestStep;

// One complete response. `payload` points into the parser's receive buffer and
// stays valid only until the next received byte; handlers copy what they keep.
struct Response {
  std::uint8_t code = 0;
  const std::uint8_t* payload = nullptr;
  std::uint32_t length = 0;  // payload length fixed by the code
};

// A bound callback without allocation: a plain function plus the object it is
// bound to. The engine calls it with (owner, step, response).
struct StepHandler {
  using Fn = void (*)(void* owner, const RequestStep& step, const Response& response);
  Fn fn = nullptr;
  void* owner = nullptr;

  explicit operator bool() const { return fn != nullptr; }
  void operator()(const RequestStep& step, const Response& response) const { fn(owner, step, response); }

  // StepHandler::Bind<&Class::Method>(object) for a member
  // `void Method(const RequestStep&, const Response&)`.
  template <auto Method, class T>
  static StepHandler Bind(T* object) {
    return StepHandler{[](void* o, const RequestStep& s, const Response& r) { (static_cast<T*>(o)->*Method)(s, r); },
                       object};
  }
};

// One step of a request. `data` may be null when `length` is 0. The array of
// steps and the data they point to must stay unchanged until the request ends.
struct RequestStep {
  std::uint8_t command = 0;
  const std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  StepHandler handler{};
};

// Frame and receive buffer sizes.
inline constexpr std::size_t kFrameBufferSize = 258;                 // one transmit buffer
inline constexpr std::uint32_t kMaxStepData = kFrameBufferSize - 1;  // largest data a frame buffer holds
inline constexpr std::size_t kReceiveBufferSize = 259;
inline constexpr std::uint32_t kReceiveWriteLimit = 258;  // write position saturates here

// Response code -> payload length; -1 marks a code the drive never sends.
namespace detail {
constexpr std::array<std::int16_t, 256> MakeResponseLengthTable() {
  std::array<std::int16_t, 256> t{};
  for (auto& v : t) v = -1;
  t[0x00] = 1;
  t[0x07] = 2;
  t[0x09] = 1;
  t[0x0B] = 0;
  t[0x19] = 2;
  t[0x27] = 2;
  t[0x37] = 2;
  t[0x43] = 2;
  t[0x47] = 2;
  t[0x53] = 223;
  t[0x57] = 2;
  t[0x62] = 2;
  t[0x63] = 2;
  t[0x67] = 2;
  t[0x72] = 2;
  t[0x73] = 2;
  t[0x77] = 16;
  t[0x83] = 2;
  t[0x87] = 2;
  t[0x93] = 2;
  t[0xC0] = 2;
  t[0xC1] = 2;
  t[0xC2] = 2;
  t[0xCA] = 2;
  t[0xCB] = 2;
  t[0xDD] = 6;
  t[0xE0] = 2;
  t[0xE4] = 2;
  t[0xE5] = 2;
  t[0xFA] = 2;
  return t;
}
}  // namespace detail
inline constexpr std::array<std::int16_t, 256> ResponseLengthTable = detail::MakeResponseLengthTable();

inline constexpr bool IsResponseCode(std::uint8_t code) { return ResponseLengthTable[code] >= 0; }

// Writes the command byte then the step's data; returns the frame length
// (1 + length), or 0 when the step does not fit a frame buffer (length above
// kMaxStepData, or data missing for a non-zero length). `buffer` holds
// kFrameBufferSize bytes.
std::uint32_t EncodeFrame(const RequestStep& step, std::uint8_t* buffer);

enum class ParseResult : std::uint8_t { Ignored = 0, NeedMore = 1, Complete = 2, BadCode = 3 };
enum class ParserState : std::uint8_t { Unbound = 0, AwaitCode = 1, AwaitPayload = 2, Completed = 3, Delivered = 4 };

// Assembles responses from single bytes.
class ResponseParser {
 public:
  // Only while Unbound: remembers the response record and starts waiting for a code.
  bool BindResponse(Response* response);
  ParseResult ParseByte(std::uint8_t byte);
  // Back to waiting for a code; a partly received response is dropped.
  void ResetParser();
  // After a delivered response has been handled: wait for the next code.
  void EndDelivery();

  ParserState State() const { return state_; }
  std::uint32_t WritePosition() const { return writePos_; }

 private:
  void Complete();

  ParserState state_ = ParserState::Unbound;
  std::array<std::uint8_t, kReceiveBufferSize> buffer_{};
  std::uint32_t writePos_ = 0;
  std::uint8_t code_ = 0;
  std::int32_t payloadLength_ = 0;
  std::int32_t remaining_ = 0;
  Response* bound_ = nullptr;
};

// What the engine needs of the serial port.
class LinkPort {
 public:
  virtual ~LinkPort() = default;
  virtual bool GetOpened() const = 0;
  // Starts sending a frame. The port copies the bytes when it accepts them,
  // so the buffer may be written again as soon as this returns; false when
  // the port refused the frame (nothing of it is sent).
  virtual bool TxData(const std::uint8_t* buffer, int length) = 0;
  // The line's speed in bits per second; 0 when unknown (no line time is
  // added to the first-byte timeout).
  virtual std::uint32_t BitsPerSecond() const { return 0; }
};

// The five activity counters of the status bar.
struct LinkCounters {
  std::uint32_t tx = 0;    // frames sent
  std::uint32_t rx = 0;    // complete responses received
  std::uint32_t to = 0;    // response timeouts
  std::uint32_t errs = 0;  // unknown response codes, receive errors, breaks
  std::uint32_t busy = 0;  // requests refused because one was in progress
};

// How the last accepted request ended.
enum class RequestOutcome : std::uint8_t {
  None = 0,   // no request has ended yet
  Completed,  // every step answered
  Timeout,    // no (further) byte in time
  BadCode,    // a response code not in the table
  RxError,    // framing, overrun or parity error on the line
  RxBreak,    // break on the line
};
const char* RequestOutcomeText(RequestOutcome outcome);

// The engine's trace on the status bar, and the end of each request.
class LinkView {
 public:
  virtual ~LinkView() = default;
  // Panel 0: "COM port not opened" when a request finds the port closed.
  virtual void SetPortStatusText(const char* text) = 0;
  virtual void CountersChanged(const LinkCounters& counters) = 0;
  // A request that was accepted has ended (after its last handler ran).
  virtual void RequestEnded(RequestOutcome) {}
};

inline constexpr const char* kPortNotOpenedText = "COM port not opened";
inline constexpr int kFirstByteTimeoutMs = 100;
inline constexpr int kInterByteTimeoutMs = 80;
inline constexpr std::uint32_t kLineBitsPerByte = 10;  // start bit, 8 data bits, stop bit

// The first-byte timeout of a frame of `frameLength` bytes: 100 ms counted
// from the hand-over plus the time the frame itself takes on a line of
// `bitsPerSecond` (rounded to the nearest millisecond; nothing added when the
// speed is unknown). At 9600 bit/s a 224-byte frame takes about 233 ms on the
// line, so without it the answer could never arrive in time.
int FirstByteTimeoutMs(std::uint32_t frameLength, std::uint32_t bitsPerSecond);

// A SendRequest bound to its engine, handed to windows that send through it.
// `busy` tells whether a request is in progress, so that a caller does not
// rewrite data a running request still reads.
struct RequestSender {
  using Fn = bool (*)(void* owner, const RequestStep* steps, std::uint32_t count);
  using BusyFn = bool (*)(const void* owner);
  using RoundTripFn = std::int64_t (*)(const void* owner);
  Fn fn = nullptr;
  void* owner = nullptr;
  BusyFn busy = nullptr;
  RoundTripFn roundTrip = nullptr;  // optional: the engine's LastRoundTripNs
  explicit operator bool() const { return fn != nullptr; }
  bool operator()(const RequestStep* steps, std::uint32_t count) const { return fn && fn(owner, steps, count); }
  bool Busy() const { return busy != nullptr && busy(owner); }
  // Round trip of the last completed request in nanoseconds, -1 when unknown.
  std::int64_t LastRoundTripNs() const { return roundTrip != nullptr ? roundTrip(owner) : -1; }
};

// Nanoseconds on a monotonic clock; the engine's default reads steady_clock.
using MonotonicClock = std::int64_t (*)();
std::int64_t SteadyClockNs();

class RequestEngine {
 public:
  // The timer is the engine's response timer (disabled here; the engine sets
  // its OnTimer). `view` may be null.
  RequestEngine(LinkPort& port, Timer& timer, LinkView* view);
  RequestEngine(const RequestEngine&) = delete;
  RequestEngine& operator=(const RequestEngine&) = delete;

  // Starts a request of `count` steps. False when refused: port closed (panel
  // 0 shows "COM port not opened", no counter changes), a request in progress
  // ("Busy" + 1), or an empty or unencodable step table (nothing changes).
  bool SendRequest(const RequestStep* steps, std::uint32_t count);
  RequestSender Sender();

  // Port events.
  void RxChar(std::uint8_t byte);
  void RxError();
  void RxBreak();
  // The response timer expired.
  void RxTimeout();
  // Status bar double click: all five counters back to 0; the request goes on.
  void ResetCounters();

  bool Busy() const { return busy_; }
  const LinkCounters& Counters() const { return counters_; }
  RequestOutcome LastOutcome() const { return lastOutcome_; }
  const Response& LastResponse() const { return lastResponse_; }
  const ResponseParser& Parser() const { return parser_; }
  std::uint32_t StepIndex() const { return stepIndex_; }

  // Link health: the time from an accepted SendRequest to the completion of
  // its last step's response (before that step's handler runs), for the last
  // request that completed; -1 until one has. Abandoned requests leave it.
  std::int64_t LastRoundTripNs() const { return lastRoundTripNs_; }
  // Replaces the clock the round trip is measured with (tests).
  void SetClock(MonotonicClock clock) { clock_ = clock != nullptr ? clock : &SteadyClockNs; }

 private:
  void Abandon(RequestOutcome outcome, std::uint32_t& counter, bool resetParser);
  void OnComplete();
  // Encodes the step at stepIndex_, hands it to the port and arms the
  // first-byte timeout.
  void SendStep();
  void ArmTimer(int ms);
  void Changed();

  LinkPort& port_;
  Timer& timer_;
  LinkView* view_;
  ResponseParser parser_;
  Response lastResponse_{};
  bool busy_ = false;
  const RequestStep* steps_ = nullptr;
  std::uint32_t stepCount_ = 0;
  std::uint32_t stepIndex_ = 0;
  LinkCounters counters_{};
  RequestOutcome lastOutcome_ = RequestOutcome::None;
  MonotonicClock clock_ = &SteadyClockNs;
  std::int64_t requestStartNs_ = 0;
  std::int64_t lastRoundTripNs_ = -1;
  // The port refused the current step's frame: nothing received until the
  // timeout can be its answer, so no handler runs for it.
  bool frameRefused_ = false;
  // The two transmit buffers, used in turn. The port copies a frame when it
  // accepts it, so either buffer is free again once TxData has returned.
  std::uint8_t* NextFrameBuffer() {
    std::uint8_t* b = frames_[nextFrame_].data();
    nextFrame_ ^= 1u;
    return b;
  }
  std::array<std::array<std::uint8_t, kFrameBufferSize>, 2> frames_{};
  unsigned nextFrame_ = 0;
};

}  // namespace mv
