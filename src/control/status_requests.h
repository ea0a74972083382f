// The control/status window's requests to the drive, headless: the one-step
// commands (change profile, start, stop, reset, speed), the nine-step status
// poll, the decoding of its answers into field texts, values and lamps.
// The window (or the command-line tool) implements ControlStatusView.
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

class ControlStatusView {
 public:
  virtual ~ControlStatusView() = default;
  virtual void SetStatusFieldText(StatusField field, const char* text) = 0;
  // Colour each lamp of the group from the word (set: its colour, clear: white).
  virtual void SetStatusLamps(std::uint16_t statusWord) = 0;
  virtual void SetInternalStatusLamps(std::uint16_t internalStatusWord) = 0;
  // The ninth step of a poll has been handled.
  virtual void StatusPollDone(const StatusValues&) {}
};

class ControlStatusRequests {
 public:
  explicit ControlStatusRequests(ControlStatusView& view);
  // No window yet: the values are kept, nothing is shown until SetView.
  ControlStatusRequests();
  ControlStatusRequests(const ControlStatusRequests&) = delete;
  ControlStatusRequests& operator=(const ControlStatusRequests&) = delete;

  void SetRequestSender(RequestSender sender) { sender_ = sender; }
  // The window the handlers change from now on.
  void SetView(ControlStatusView& view) { view_ = &view; }
  const RequestSender& Sender() const { return sender_; }

  // Each sends its request (one step, or the nine-step poll) and returns
  // whether the engine accepted it.
  bool Change(int profileIndex);  // 0..5 from the profile combo box
  bool Start();
  bool Stop();
  bool Reset();
  bool Speed(std::uint32_t rpm);  // sends rpm / 10, little-endian
  bool GetStatus();               // the "Get" button's poll
  bool TimerStatus();             // the timer's own copy of the poll

  const RequestStep* StatusRequest() const { return getStatus_.data(); }
  const RequestStep* TimerStatusRequest() const { return timerStatus_.data(); }
  const StatusValues& LastValues() const { return values_; }

  // The status step handler (the field comes from the step's command).
  void StatusStepReceived(const RequestStep& step, const Response& response);

 private:
  void FillPoll(std::array<RequestStep, kStatusFieldCount>& poll);

  ControlStatusView* view_ = nullptr;
  RequestSender sender_{};
  StatusValues values_{};

  std::uint8_t changeData_ = 0;
  std::array<std::uint8_t, 2> speedData_{};
  std::array<std::uint8_t, 2> resetData_{0x07, 0x77};
  std::array<std::uint8_t, 2> internalStatusData_{0x00, 0x00};

  RequestStep change_{};
  RequestStep start_{};
  RequestStep stop_{};
  RequestStep reset_{};
  RequestStep speed_{};
  std::array<RequestStep, kStatusFieldCount> getStatus_{};
  std::array<RequestStep, kStatusFieldCount> timerStatus_{};
};

}  // namespace mv
