#include "control/status_requests.h"

#include <cstdio>

#include "control/control_rules.h"
#include "link/main_requests.h"

namespace mv {

const std::array<StatusFieldInfo, kStatusFieldCount> kStatusFields = {{
    {StatusField::PhaseCurrent, "PhaseCurrentLabeledEdit", "Phase Current (A)", 0x74, StatusFormat::Tenths},
    {StatusField::MotorSpeed, "MotorSpeedLabeledEdit", "Speed (RPM)", 0x42, StatusFormat::Times10},
    {StatusField::PhasePower, "PhasePowerLabeledEdit", "Phase Power (W)", 0x70, StatusFormat::Plain},
    {StatusField::Status, "StatusLabeledEdit", "Status", 0x60, StatusFormat::Hex4},
    {StatusField::ControllerTemp, "ControllerTempLabeledEdit", "Controller Temp (C)", 0x76, StatusFormat::Plain},
    {StatusField::InternalStatus, "InternalStatusLabeledEdit", "Internal Status", 0xF1, StatusFormat::Hex4},
    {StatusField::MotorTemp, "MotorTempLabeledEdit", "Motor Temp (R)", 0x75, StatusFormat::Plain},
    {StatusField::MotorTorque, "MotorTorqueLabeledEdit", "Torque (NM)", 0x73, StatusFormat::Plain},
    {StatusField::BusVoltage, "BusVoltageLabeledEdit", "Bus Voltage (V)", 0x72, StatusFormat::Tenths},
}};

const std::array<LampInfo, kStatusLampCount> kStatusLamps = {{
    {"StatusStartStopShape", "Start/Stop", 0x0002, kLampGreen},
    {"StatusMotorConnectShape", "Motor Connect", 0x0004, kLampGreen},
    {"StatusAtSpeedShape", "At Speed", 0x0020, kLampGreen},
    {"StatusStoppedShape", "Stopped", 0x0040, kLampGreen},
    {"StatusUnderVoltageShape", "Under Voltage", 0x0080, kLampRed},
    {"StatusOverVoltageShape", "Over Voltage", 0x0100, kLampRed},
    {"StatusInverterShape", "Inverter", 0x1000, kLampRed},
    {"StatusOverloadShape", "Overload (I/P)", 0x2000, kLampRed},
}};

const std::array<LampInfo, kInternalLampCount> kInternalLamps = {{
    {"IntStatusUnderVoltageShape", "Under Voltage", 0x0001, kLampRed},
    {"IntStatusOverVoltageShape", "Over Voltage", 0x0002, kLampRed},
    {"IntStatusOverloadShape", "Overload (I/P)", 0x0004, kLampRed},
}};

void FormatStatusValue(StatusField field, std::uint16_t v, char* out) {
  switch (kStatusFields[static_cast<std::size_t>(field)].format) {
    case StatusFormat::Tenths: std::snprintf(out, kStatusTextSize, "%0.1f", v * 0.1); break;
    case StatusFormat::Times10: std::snprintf(out, kStatusTextSize, "%lu", static_cast<unsigned long>(v) * 10ul); break;
    case StatusFormat::Plain: std::snprintf(out, kStatusTextSize, "%lu", static_cast<unsigned long>(v)); break;
    case StatusFormat::Hex4: std::snprintf(out, kStatusTextSize, "%04X", static_cast<unsigned>(v)); break;
  }
}

ControlStatusRequests::ControlStatusRequests(ControlStatusView& view) : ControlStatusRequests() { view_ = &view; }

ControlStatusRequests::ControlStatusRequests() {
  change_ = {CmdActivateProfile, &changeData_, 1, StepHandler{}};
  start_ = {CmdStart, nullptr, 0, StepHandler{}};
  stop_ = {CmdStop, nullptr, 0, StepHandler{}};
  reset_ = {CmdReset, resetData_.data(), 2, StepHandler{}};
  speed_ = {CmdSetSpeed, speedData_.data(), 2, StepHandler{}};
  FillPoll(getStatus_);
  FillPoll(timerStatus_);
}

void ControlStatusRequests::FillPoll(std::array<RequestStep, kStatusFieldCount>& poll) {
  for (std::size_t i = 0; i < kStatusFieldCount; ++i) {
    const StatusFieldInfo& f = kStatusFields[i];
    const bool withData = f.field == StatusField::InternalStatus;
    poll[i] = {f.command, withData ? internalStatusData_.data() : nullptr, withData ? 2u : 0u,
               StepHandler::Bind<&ControlStatusRequests::StatusStepReceived>(this)};
  }
}

bool ControlStatusRequests::Change(int profileIndex) {
  if (profileIndex < 0 || profileIndex > 5) return false;
  // A one-step request is framed at once, so its data may change afterwards;
  // still, leave it alone while another request is running.
  if (!sender_.Busy()) changeData_ = static_cast<std::uint8_t>(profileIndex);
  return sender_(&change_, 1);
}

bool ControlStatusRequests::Start() { return sender_(&start_, 1); }
bool ControlStatusRequests::Stop() { return sender_(&stop_, 1); }
bool ControlStatusRequests::Reset() { return sender_(&reset_, 1); }

bool ControlStatusRequests::Speed(std::uint32_t rpm) {
  if (!sender_.Busy()) speedData_ = SpeedCommandData(rpm);
  return sender_(&speed_, 1);
}

bool ControlStatusRequests::GetStatus() { return sender_(getStatus_.data(), kStatusFieldCount); }
bool ControlStatusRequests::TimerStatus() { return sender_(timerStatus_.data(), kStatusFieldCount); }

void ControlStatusRequests::StatusStepReceived(const RequestStep& step, const Response& r) {
  std::size_t index = kStatusFieldCount;
  for (std::size_t i = 0; i < kStatusFieldCount; ++i)
    if (kStatusFields[i].command == step.command) index = i;
  if (index == kStatusFieldCount) return;
  const StatusField field = kStatusFields[index].field;
  if (index == 0) values_.received = 0;  // a new poll begins

  char text[kStatusTextSize];
  std::uint16_t v = 0;
  if (r.length < 2) {
    // Too short to hold a value: show the byte that came, if any, and leave
    // the lamps as they were.
    if (r.length == 1)
      std::snprintf(text, sizeof text, "0x%02X", r.payload[0]);
    else
      text[0] = '\0';
  } else {
    v = static_cast<std::uint16_t>(r.payload[0] | (r.payload[1] << 8));
    values_.raw[index] = v;
    values_.received = static_cast<std::uint16_t>(values_.received | (1u << index));
    FormatStatusValue(field, v, text);
  }
  if (view_ == nullptr) return;  // no window yet: the values are kept
  view_->SetStatusFieldText(field, text);
  if (r.length >= 2 && field == StatusField::Status) view_->SetStatusLamps(v);
  if (r.length >= 2 && field == StatusField::InternalStatus) view_->SetInternalStatusLamps(v);
  if (index == kStatusFieldCount - 1) view_->StatusPollDone(values_);
}

}  // namespace mv
