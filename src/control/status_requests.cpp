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

ControlStatusRequests::ControlStatusRequests() {
  poll_.completion = RequestCompletion::Bind<&ControlStatusRequests::PollEnded>(this);
  command_.completion = RequestCompletion::Bind<&ControlStatusRequests::CommandEnded>(this);
  stop_.completion = RequestCompletion::Bind<&ControlStatusRequests::StopEnded>(this);
  change_ = {CmdActivateProfile, &changeData_, 1, StepHandler{}};
  start_ = {CmdStart, nullptr, 0, StepHandler{}};
  stopStep_ = {CmdStop, nullptr, 0, StepHandler{}};
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

RequestOutcome ControlStatusRequests::Send(Record& record, ControlRequestKind kind, const RequestStep* steps,
                                           std::uint32_t count, RequestPriority priority) {
  ControlResult fresh{};
  fresh.kind = kind;
  fresh.end.count = count;
  if (record.active) {
    // The same record is in flight (a second click while a command runs):
    // the engine refuses and counts it; the running one keeps its result.
    fresh.end.outcome = sender_.Busy() ? sender_.Start(steps, count) : RequestOutcome::RefusedBusy;
    Deliver(fresh);
    return fresh.end.outcome;
  }
  fresh.end.outcome = RequestOutcome::Pending;
  const ControlResult before = record.result;
  record.result = fresh;
  record.active = true;
  const RequestOutcome started = sender_.Start(steps, count, priority, &record.completion);
  if (started != RequestOutcome::Pending) {
    record.active = false;
    fresh.end.outcome = started;
    if (&record == &poll_) record.result = before;  // a refused poll leaves the last one's values
    Deliver(fresh);
  }
  return started;
}

void ControlStatusRequests::Ended(Record& record, const RequestEnd& end) {
  record.active = false;
  record.result.end = end;
  Deliver(record.result);
}

void ControlStatusRequests::Abandon(ControlRequestKind kind) {
  const Record& r = kind == ControlRequestKind::Stop                                                  ? stop_
                    : (kind == ControlRequestKind::Status || kind == ControlRequestKind::TimerStatus) ? poll_
                                                                                                      : command_;
  if (r.active) sender_.Abandon(&r.completion);
}

RequestOutcome ControlStatusRequests::Change(int profileIndex) {
  if (profileIndex < 0 || profileIndex > 5) return RequestOutcome::RefusedInvalid;
  // A one-step request is framed at once, so its data may change afterwards;
  // still, leave it alone while another request is running.
  if (!sender_.Busy()) changeData_ = static_cast<std::uint8_t>(profileIndex);
  const RequestOutcome started = Send(command_, ControlRequestKind::ChangeProfile, &change_, 1);
  if (started == RequestOutcome::Pending) command_.result.profileIndex = profileIndex;
  return started;
}

RequestOutcome ControlStatusRequests::Start() { return Send(command_, ControlRequestKind::Start, &start_, 1); }

RequestOutcome ControlStatusRequests::Stop() {
  // A Stop already on its way stands for this one too.
  if (stop_.active) return RequestOutcome::Pending;
  return Send(stop_, ControlRequestKind::Stop, &stopStep_, 1, RequestPriority::JumpQueue);
}

RequestOutcome ControlStatusRequests::Reset() { return Send(command_, ControlRequestKind::Reset, &reset_, 1); }

RequestOutcome ControlStatusRequests::Speed(std::uint32_t rpm) {
  if (!sender_.Busy()) speedData_ = SpeedCommandData(rpm);
  const RequestOutcome started = Send(command_, ControlRequestKind::SetSpeed, &speed_, 1);
  if (started == RequestOutcome::Pending) command_.result.rpm = rpm;
  return started;
}

RequestOutcome ControlStatusRequests::GetStatus() {
  return Send(poll_, ControlRequestKind::Status, getStatus_.data(), kStatusFieldCount);
}

RequestOutcome ControlStatusRequests::TimerStatus() {
  return Send(poll_, ControlRequestKind::TimerStatus, timerStatus_.data(), kStatusFieldCount);
}

void ControlStatusRequests::StatusStepReceived(const RequestStep& step, const Response& r) {
  std::size_t index = kStatusFieldCount;
  for (std::size_t i = 0; i < kStatusFieldCount; ++i)
    if (kStatusFields[i].command == step.command) index = i;
  if (index == kStatusFieldCount) return;
  StatusReading& s = poll_.result.status;
  const StatusField field = kStatusFields[index].field;
  char* text = s.texts[index].data();
  s.answered = static_cast<std::uint16_t>(s.answered | (1u << index));
  if (r.length < 2) {
    // Too short to hold a value: show the byte that came, if any, and leave
    // the lamps as they were.
    if (r.length == 1)
      std::snprintf(text, kStatusTextSize, "0x%02X", r.payload[0]);
    else
      text[0] = '\0';
    return;
  }
  const auto v = static_cast<std::uint16_t>(r.payload[0] | (r.payload[1] << 8));
  s.values.raw[index] = v;
  s.values.received = static_cast<std::uint16_t>(s.values.received | (1u << index));
  FormatStatusValue(field, v, text);
}

}  // namespace mv
