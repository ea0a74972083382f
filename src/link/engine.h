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
#include <string>

#include "core/timer.h"
#include "link/link_trace.h"

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
  // Withdraws whatever of the frames handed over has not left yet (a frame
  // that waits in the driver while the other end does not read): after a
  // request has been reported as failed, the drive must never act on it.
  virtual void DiscardOutput() {}
  // Throws away what has been received and not yet delivered.
  virtual void DiscardInput() {}
};

// The five activity counters of the status bar.
struct LinkCounters {
  std::uint32_t tx = 0;    // frames sent
  std::uint32_t rx = 0;    // complete responses received
  std::uint32_t to = 0;    // response timeouts
  std::uint32_t errs = 0;  // unknown response codes, receive errors, breaks, answers nobody asked for
  std::uint32_t busy = 0;  // requests refused because one was in progress
};

// How a request ended, or why it was refused. Decided by the engine; the
// request tables add what the drive's answers meant.
enum class RequestOutcome : std::uint8_t {
  None = 0,   // no request has ended yet
  Completed,  // every step answered
  Timeout,    // no (further) byte in time
  BadCode,    // a response code not in the table
  RxError,    // framing, overrun or parity error on the line
  RxBreak,    // break on the line
  // The port refused a frame: nothing of it was sent; the request ended by
  // its timeout.
  FrameRefused,
  // A byte came that no frame of the request asked for: its answers may
  // belong to an earlier request, so none of them counts.
  Shifted,
  // The line did not fall quiet before the first frame could go.
  LineNotQuiet,
  Abandoned,   // given up by its caller once the step in flight had ended
  Preempted,   // given up for a request that jumped the queue (Stop)
  DeviceGone,  // the device went away while the request waited
  // Refused before anything was sent:
  RefusedPortClosed,  // the port is not open ("COM port not opened")
  RefusedBusy,        // another request is in progress
  RefusedInvalid,     // a step table the frame buffers cannot hold
  Pending,            // accepted and not ended yet
};
// Words for people ("no answer from the drive (timeout)").
const char* RequestOutcomeText(RequestOutcome outcome);
inline constexpr bool IsRefusal(RequestOutcome o) {
  return o == RequestOutcome::RefusedPortClosed || o == RequestOutcome::RefusedBusy ||
         o == RequestOutcome::RefusedInvalid;
}

// The end of an accepted request as the engine saw it.
struct RequestEnd {
  RequestOutcome outcome = RequestOutcome::None;
  std::uint32_t step = 0;   // 1-based step it ended at (0: no frame was sent)
  std::uint32_t count = 0;  // steps in the request
  // The answers it took are its own. False when the line could still carry
  // an earlier request's answer and this request did not prove otherwise.
  bool trusted = true;
};

// The outcome with where it happened: "no answer from the drive (timeout) at
// step 2 of 6"; a refusal without a step.
std::string OutcomeWords(const RequestEnd& end);

// Called when a request ends; given with the request, so that the code that
// sent it learns its end whatever else is sent meanwhile.
struct RequestCompletion {
  using Fn = void (*)(void* owner, const RequestEnd& end);
  Fn fn = nullptr;
  void* owner = nullptr;
  void operator()(const RequestEnd& end) const {
    if (fn != nullptr) fn(owner, end);
  }
  template <auto Method, class T>
  static RequestCompletion Bind(T* object) {
    return RequestCompletion{[](void* o, const RequestEnd& e) { (static_cast<T*>(o)->*Method)(e); }, object};
  }
};

// The engine's trace on the status bar, and the end of each request.
class LinkView {
 public:
  virtual ~LinkView() = default;
  // Panel 0: "COM port not opened" when a request finds the port closed.
  virtual void SetPortStatusText(const char* text) = 0;
  virtual void CountersChanged(const LinkCounters& counters) = 0;
  // A request that was accepted has ended (after its last handler ran).
  virtual void RequestEnded(const RequestEnd&) {}
};

inline constexpr const char* kPortNotOpenedText = "COM port not opened";
inline constexpr int kFirstByteTimeoutMs = 100;
inline constexpr int kInterByteTimeoutMs = 80;
inline constexpr std::uint32_t kLineBitsPerByte = 10;  // start bit, 8 data bits, stop bit
// After a failed request the line may still carry its answer: the next first
// frame waits until nothing has arrived for this long (what arrives meanwhile
// is dropped), but never longer than kHoldLimitMs in all.
inline constexpr int kQuietLineMs = kInterByteTimeoutMs;
inline constexpr int kHoldLimitMs = 1000;

// The first-byte timeout of a frame of `frameLength` bytes: 100 ms counted
// from the hand-over plus the time the frame itself takes on a line of
// `bitsPerSecond` (rounded to the nearest millisecond; nothing added when the
// speed is unknown). At 9600 bit/s a 224-byte frame takes about 233 ms on the
// line, so without it the answer could never arrive in time.
int FirstByteTimeoutMs(std::uint32_t frameLength, std::uint32_t bitsPerSecond);

enum class RequestPriority : std::uint8_t {
  Normal,     // refused while another request runs
  JumpQueue,  // sent as soon as the step in flight has ended; the rest of the running request is given up
};

// A request start bound to its engine, handed to the request tables.
// `busy` tells whether a request is in progress, so that a caller does not
// rewrite data a running request still reads.
struct RequestSender {
  using Fn = RequestOutcome (*)(void* owner, const RequestStep* steps, std::uint32_t count, RequestPriority priority,
                                const RequestCompletion* done);
  using BusyFn = bool (*)(const void* owner);
  using RoundTripFn = std::int64_t (*)(const void* owner);
  using AbandonFn = void (*)(void* owner, const RequestCompletion* done);
  Fn fn = nullptr;
  void* owner = nullptr;
  BusyFn busy = nullptr;
  RoundTripFn roundTrip = nullptr;  // optional: the engine's LastRoundTripNs
  AbandonFn abandon = nullptr;      // optional: the engine's Abandon
  explicit operator bool() const { return fn != nullptr; }
  // RequestOutcome::Pending when accepted, else why it was refused.
  RequestOutcome Start(const RequestStep* steps, std::uint32_t count,
                       RequestPriority priority = RequestPriority::Normal,
                       const RequestCompletion* done = nullptr) const {
    return fn != nullptr ? fn(owner, steps, count, priority, done) : RequestOutcome::RefusedPortClosed;
  }
  bool operator()(const RequestStep* steps, std::uint32_t count) const {
    return Start(steps, count) == RequestOutcome::Pending;
  }
  bool Busy() const { return busy != nullptr && busy(owner); }
  // Gives up the request started with `done` (see RequestEngine::Abandon).
  void Abandon(const RequestCompletion* done) const {
    if (abandon != nullptr) abandon(owner, done);
  }
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

  // Starts a request of `count` steps; `done` (may be null) is called when it
  // ends and must live until then. Returns Pending when accepted, else the
  // refusal: the port is closed (panel 0 shows "COM port not opened", no
  // counter changes), a request is in progress ("Busy" + 1), or the step
  // table cannot be sent (nothing changes).
  //
  // JumpQueue (Stop): while another request runs, it is accepted all the same
  // and sent as soon as the step in flight has ended (by its answer or its
  // timeout); the running request ends as Preempted. One request at a time
  // still: only one may wait to jump, a second one is refused as busy.
  //
  // After a request failed, its answer may still be on its way (the engine
  // does not compare response codes with commands). So the next request's
  // first frame waits until the line has been quiet for kQuietLineMs (what
  // arrives meanwhile is dropped, then the input is purged), and once its
  // last answer is in, the line must stay quiet for one more first-byte
  // timeout: a byte then means its answers were one late (Shifted). A
  // request that ends by a timeout withdraws what of its frame has not left.
  RequestOutcome Start(const RequestStep* steps, std::uint32_t count,
                       RequestPriority priority = RequestPriority::Normal, const RequestCompletion* done = nullptr);
  bool SendRequest(const RequestStep* steps, std::uint32_t count) {
    return Start(steps, count) == RequestOutcome::Pending;
  }
  RequestSender Sender();

  // The caller gives up the request that `done` was given with (the running
  // one, or one waiting to jump): it ends as Abandoned once the step in
  // flight has ended, or at once when no frame of it is in flight.
  void Abandon(const RequestCompletion* done);
  // The device has gone: the running request and one waiting to jump end now
  // with this outcome.
  void EndNow(RequestOutcome outcome);

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
  // Whether the line may still carry an answer nobody waits for (the next
  // request waits for quiet and proves its answers are its own).
  bool LineSuspect() const { return suspect_; }

  // Link health: the time from an accepted SendRequest to the completion of
  // its last step's response (before that step's handler runs), for the last
  // request that completed; -1 until one has. Abandoned requests leave it.
  std::int64_t LastRoundTripNs() const { return lastRoundTripNs_; }
  // Replaces the clock the round trip is measured with (tests).
  void SetClock(MonotonicClock clock) { clock_ = clock != nullptr ? clock : &SteadyClockNs; }
  // Who is told what happened to each frame and byte (null: nobody).
  void SetTrace(LinkTrace* trace) { trace_ = trace; }
  LinkTrace* Trace() const { return trace_; }

 private:
  enum class Phase : std::uint8_t {
    Idle,
    Holding,    // accepted; the first frame waits for a quiet line
    Running,    // a frame is out, its answer awaited
    Verifying,  // every answer in; the line must stay quiet a little longer
  };
  struct Queued {
    const RequestStep* steps = nullptr;
    std::uint32_t count = 0;
    const RequestCompletion* done = nullptr;
    RequestPriority priority = RequestPriority::Normal;
  };

  void Begin(const Queued& request);
  void Fail(RequestOutcome outcome, std::uint32_t& counter, bool resetParser);
  // Ends the current request at `step` (1-based, 0: nothing sent); starts
  // the one waiting to jump, if any.
  void End(RequestOutcome outcome, bool trusted, std::uint32_t step);
  // Ends the request waiting to jump before any frame of it has gone out.
  void EndJumper(RequestOutcome outcome);
  std::uint32_t StepInFlight() const;
  void OnComplete();
  void OnTimer();
  void LeaveHold();
  // Encodes the step at stepIndex_, hands it to the port and arms the
  // first-byte timeout.
  void SendStep();
  void ArmTimer(int ms);
  void Changed();

  LinkPort& port_;
  Timer& timer_;
  LinkView* view_;
  LinkTrace* trace_ = nullptr;
  ResponseParser parser_;
  Response lastResponse_{};
  bool busy_ = false;
  Phase phase_ = Phase::Idle;
  const RequestStep* steps_ = nullptr;
  std::uint32_t stepCount_ = 0;
  std::uint32_t stepIndex_ = 0;
  const RequestCompletion* done_ = nullptr;
  Queued jumper_{};  // a JumpQueue request waiting for the step in flight
  bool abandonRequested_ = false;
  // The running request jumped the queue (Stop): when it times out its frame
  // is left to arrive, since a drive that stops late is still the one asked.
  bool keepOnTimeout_ = false;
  bool suspect_ = false;    // a request failed or an unasked byte came: hold and verify the next
  bool verifying_ = false;  // the current request started on a suspect line
  std::int64_t holdStartNs_ = 0;
  std::uint32_t lastFrameLength_ = 0;
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
