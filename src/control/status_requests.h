// The control/status window's requests to the drive, headless: the one-step
// commands (change profile, start, stop, reset, speed), the nine-step status
// poll, the decoding of its answers into field texts, values and lamps.
// Each request ends in a ControlResult that the window renders and the drive
// client returns.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/engine.h"

namespace mv {

inline constexpr std::uint8_t CmdStart = 0x24;
inline constexpr std::uint8_t CmdStop = 0x25;
inline constexpr std::uint8_t CmdReset = 0x39;
inline constexpr std::uint8_t CmdSetSpeed = 0x01;

// The nine status fields in poll order.
enum class StatusField : std::uint8_t {
  PhaseCurrent = 0,
  MotorSpeed,
  PhasePower,
  Status,
  ControllerTemp,
  InternalStatus,
  MotorTemp,
  MotorTorque,
  BusVoltage,
};
inline constexpr std::size_t kStatusFieldCount = 9;

enum class StatusFormat : std::uint8_t {
  Tenths,   // v x 0.1 as "%0.1f"
  Times10,  // v x 10 as "%lu"
  Plain,    // v as "%lu"
  Hex4,     // v as "%04X"
};

struct StatusFieldInfo {
  StatusField field;
  const char* objectName;  // the window's read-only edit
  const char* label;       // its caption
  std::uint8_t command;    // poll step command byte
  StatusFormat format;
};
extern const std::array<StatusFieldInfo, kStatusFieldCount> kStatusFields;

struct LampColour {
  std::uint8_t r, g, b;
  bool operator==(const LampColour&) const = default;
};
inline constexpr LampColour kLampGreen{0, 128, 0};
inline constexpr LampColour kLampRed{255, 0, 0};
inline constexpr LampColour kLampWhite{255, 255, 255};

struct LampInfo {
  const char* objectName;  // the lamp shape
  const char* label;       // its caption
  std::uint16_t mask;
  LampColour colour;  // when the bit is set; white when clear
};
inline constexpr std::size_t kStatusLampCount = 8;
inline constexpr std::size_t kInternalLampCount = 3;
extern const std::array<LampInfo, kStatusLampCount> kStatusLamps;      // group "Status Bits"
extern const std::array<LampInfo, kInternalLampCount> kInternalLamps;  // group "Internal Status Bits"
inline constexpr const char* kStatusLampGroup = "Status Bits";
inline constexpr const char* kInternalLampGroup = "Internal Status Bits";

inline LampColour LampColourFor(const LampInfo& lamp, std::uint16_t word) {
  return (word & lamp.mask) != 0 ? lamp.colour : kLampWhite;
}

// Text of a field for the value v; `out` holds at least kStatusTextSize chars.
inline constexpr std::size_t kStatusTextSize = 32;
void FormatStatusValue(StatusField field, std::uint16_t v, char* out);

// One poll's results, for logging. `raw[i]` is the 16-bit value of field i;
// bit i of `received` is set when field i got a full two-byte answer.
struct StatusValues {
  std::array<std::uint16_t, kStatusFieldCount> raw{};
  std::uint16_t received = 0;

  bool Has(StatusField f) const { return (received >> static_cast<unsigned>(f)) & 1u; }
  std::uint16_t Raw(StatusField f) const { return raw[static_cast<std::size_t>(f)]; }
  // Tenths divided by ten: the nearest double to the value shown (12.3, not
  // 12.300000000000001 as a product with 0.1 can give).
  double PhaseCurrentA() const { return Raw(StatusField::PhaseCurrent) / 10.0; }
  std::uint32_t SpeedRpm() const { return Raw(StatusField::MotorSpeed) * 10u; }
  std::uint32_t PhasePowerW() const { return Raw(StatusField::PhasePower); }
  std::uint16_t StatusWord() const { return Raw(StatusField::Status); }
  std::uint32_t ControllerTempC() const { return Raw(StatusField::ControllerTemp); }
  std::uint16_t InternalStatusWord() const { return Raw(StatusField::InternalStatus); }
  std::uint32_t MotorTempR() const { return Raw(StatusField::MotorTemp); }
  std::uint32_t Torque() const { return Raw(StatusField::MotorTorque); }
  double BusVoltageV() const { return Raw(StatusField::BusVoltage) / 10.0; }
};

// One status poll as it came: the values, the texts the fields show for
// them, and which fields got an answer at all.
struct StatusReading {
  StatusValues values{};
  std::array<std::array<char, kStatusTextSize>, kStatusFieldCount> texts{};
  std::uint16_t answered = 0;  // bit i: field i got an answer (a short one too)
  bool Answered(StatusField f) const { return (answered >> static_cast<unsigned>(f)) & 1u; }
  const char* Text(StatusField f) const { return texts[static_cast<std::size_t>(f)].data(); }
};

enum class ControlRequestKind : std::uint8_t {
  ChangeProfile,  // the profile combo box
  Start,
  Stop,
  Reset,
  SetSpeed,
  Status,       // the "Get" button's poll
  TimerStatus,  // the continuous poll's tick
};

// How one of the control/status window's requests ended.
struct ControlResult {
  ControlRequestKind kind = ControlRequestKind::Status;
  RequestEnd end{};
  int profileIndex = -1;   // ChangeProfile: 0..5
  std::uint32_t rpm = 0;   // SetSpeed: the speed sent
  StatusReading status{};  // Status, TimerStatus

  bool Completed() const { return end.outcome == RequestOutcome::Completed; }
  // Completed with answers that are its own.
  bool Ok() const { return Completed() && end.trusted; }
  // Whether what the poll brought may be shown: its answers are its own.
  bool Trusted() const { return end.trusted; }
};

// Receives every result of the control requests, refusals included.
struct ControlResultSink {
  using Fn = void (*)(void* owner, const ControlResult& result);
  Fn fn = nullptr;
  void* owner = nullptr;
  template <auto Method, class T>
  static ControlResultSink Bind(T* object) {
    return ControlResultSink{[](void* o, const ControlResult& r) { (static_cast<T*>(o)->*Method)(r); }, object};
  }
};

class ControlStatusRequests {
 public:
  ControlStatusRequests();
  ControlStatusRequests(const ControlStatusRequests&) = delete;
  ControlStatusRequests& operator=(const ControlStatusRequests&) = delete;

  void SetRequestSender(RequestSender sender) { sender_ = sender; }
  // Where results go from now on (refusals at once, the rest when the
  // request ends).
  void SetResultSink(ControlResultSink sink) { sink_ = sink; }
  const RequestSender& Sender() const { return sender_; }

  // Each sends its request (one step, or the nine-step poll) and returns
  // RequestOutcome::Pending when the engine accepted it, else the refusal.
  RequestOutcome Change(int profileIndex);  // 0..5 from the profile combo box
  RequestOutcome Start();
  // Never refused while the port is open: jumps the queue (sent once the
  // step in flight has ended). A Stop that is already waiting or running
  // takes a second one in.
  RequestOutcome Stop();
  RequestOutcome Reset();
  RequestOutcome Speed(std::uint32_t rpm);  // sends rpm / 10, little-endian
  RequestOutcome GetStatus();               // the "Get" button's poll
  RequestOutcome TimerStatus();             // the timer's own copy of the poll

  // The running request of this kind is given up once its step in flight has
  // ended (its result then says Abandoned).
  void Abandon(ControlRequestKind kind);

  const RequestStep* StatusRequest() const { return getStatus_.data(); }
  const RequestStep* TimerStatusRequest() const { return timerStatus_.data(); }
  // The last poll's values (the one running: as far as it has come).
  const StatusValues& LastValues() const { return poll_.result.status.values; }

  // The status step handler (the field comes from the step's command).
  void StatusStepReceived(const RequestStep& step, const Response& response);

 private:
  struct Record {
    ControlResult result{};
    RequestCompletion completion{};
    bool active = false;
  };
  void FillPoll(std::array<RequestStep, kStatusFieldCount>& poll);
  RequestOutcome Send(Record& record, ControlRequestKind kind, const RequestStep* steps, std::uint32_t count,
                      RequestPriority priority = RequestPriority::Normal);
  void Ended(Record& record, const RequestEnd& end);
  void PollEnded(const RequestEnd& end) { Ended(poll_, end); }
  void CommandEnded(const RequestEnd& end) { Ended(command_, end); }
  void StopEnded(const RequestEnd& end) { Ended(stop_, end); }
  void Deliver(const ControlResult& result) const {
    if (sink_.fn != nullptr) sink_.fn(sink_.owner, result);
  }

  RequestSender sender_{};
  ControlResultSink sink_{};
  // One record per kind of request that may be in flight at once: a poll or
  // a command, and a Stop that jumped the queue.
  Record poll_, command_, stop_;

  std::uint8_t changeData_ = 0;
  std::array<std::uint8_t, 2> speedData_{};
  std::array<std::uint8_t, 2> resetData_{0x07, 0x77};
  std::array<std::uint8_t, 2> internalStatusData_{0x00, 0x00};

  RequestStep change_{};
  RequestStep start_{};
  RequestStep stopStep_{};
  RequestStep reset_{};
  RequestStep speed_{};
  std::array<RequestStep, kStatusFieldCount> getStatus_{};
  std::array<RequestStep, kStatusFieldCount> timerStatus_{};
};

}  // namespace mv
