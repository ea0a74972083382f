#include "tools/sim/sim_drive.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace mvsim {

namespace {

constexpr std::uint8_t kAck = 0x07;      // two-byte answer: [what, result]
constexpr std::uint8_t kNak = 0x00;      // one-byte answer to an unknown command
constexpr std::uint8_t kBadCode = 0xFF;  // not a response code
constexpr char kDriveName[] = "Morvane SIM-1";

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
void PutLe16(std::vector<std::uint8_t>& v, std::uint32_t x) {
  const auto c = static_cast<std::uint16_t>(std::min<std::uint32_t>(x, 0xFFFF));
  v.push_back(static_cast<std::uint8_t>(c & 0xFF));
  v.push_back(static_cast<std::uint8_t>(c >> 8));
}

bool ParseNumber(const std::string& s, long& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  out = std::strtol(s.c_str(), &end, 0);
  return end != nullptr && *end == '\0';
}

}  // namespace

int CommandDataLength(std::uint8_t command) {
  switch (command) {
    case 0x10: return 2;    // hardware id
    case 0x35: return 1;    // get profile
    case 0x34: return 223;  // save profile
    case 0x90: return 1;    // activate profile
    case 0x39: return 2;    // reset
    case 0x01: return 2;    // speed
    case 0xF1: return 2;    // internal status
    default: return 0;
  }
}

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::NoAnswer: return "none";
    case FaultKind::Late: return "late";
    case FaultKind::Gap: return "gap";
    case FaultKind::BadCode: return "badcode";
    case FaultKind::BadSum: return "badsum";
    case FaultKind::Refuse: return "refuse";
    case FaultKind::Garbage: return "garbage";
  }
  return "?";
}

bool ParseFault(const std::string& text, Fault& out, std::string& error) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() > 3) {
    error = "too many ':' parts in '" + text + "' (KIND[:COMMAND[:NTH]])";
    return false;
  }
  Fault f;
  static const FaultKind kinds[] = {FaultKind::NoAnswer, FaultKind::Late,   FaultKind::Gap,    FaultKind::BadCode,
                                    FaultKind::BadSum,   FaultKind::Refuse, FaultKind::Garbage};
  bool known = false;
  for (FaultKind k : kinds)
    if (parts[0] == FaultName(k)) {
      f.kind = k;
      known = true;
    }
  if (!known) {
    error = "unknown fault kind '" + parts[0] + "' (none, late, gap, badcode, badsum, refuse, garbage)";
    return false;
  }
  long n = 0;
  if (parts.size() >= 2) {
    if (!ParseNumber(parts[1], n) || n < 0 || n > 255) {
      error = "fault command '" + parts[1] + "' is not a byte (0..255, 0x.. for hex)";
      return false;
    }
    f.command = static_cast<int>(n);
  }
  if (parts.size() == 3) {
    if (!ParseNumber(parts[2], n) || n < 1 || n > 1000000) {
      error = "fault frame number '" + parts[2] + "' is not a count from 1";
      return false;
    }
    f.nth = static_cast<int>(n);
  }
  out = f;
  return true;
}

SimDrive::SimDrive(const DriveOptions& options) : options_(options), rng_(options.seed) {
  for (int i = 0; i < mv::kSlotCount; ++i) profiles_[static_cast<std::size_t>(i)] = mv::MotorProfileDefaults(i);
}

const mv::MotorProfile& SimDrive::Active() const {
  return profiles_[static_cast<std::size_t>(active_ < mv::kSlotCount ? active_ : 0)];
}

double SimDrive::TargetRpm() const {
  if (!running_) return 0;
  const double lo = Active().U16(mv::off::motor_speed_min) * 10.0;
  const double hi = Active().U16(mv::off::motor_speed_max) * 10.0;
  return std::clamp(static_cast<double>(setRpm_), lo, std::max(lo, hi));
}

void SimDrive::Update(Clock now) {
  if (last_ < 0) last_ = now;
  double dt = now - last_;
  last_ = now;
  const mv::MotorProfile& p = Active();

  // Supply supervision: outside the trips the drive stops and latches.
  const std::uint16_t under = p.U16(mv::off::cont_under_voltage_trip);
  const std::uint16_t over = p.U16(mv::off::cont_over_voltage_trip);
  if (options_.supplyDeciVolt < under) underVoltage_ = true;
  if (options_.supplyDeciVolt > over) overVoltage_ = true;
  if (underVoltage_ || overVoltage_ || overload_) running_ = false;

  // Ramp in small pieces so the thermal lags stay stable over long idle times.
  while (dt > 0) {
    const double step = std::min(dt, 0.05);
    dt -= step;
    const double poles = std::max<std::uint16_t>(1, p.U16(mv::off::motor_pole_pairs));
    const double period = std::max<std::uint16_t>(1, p.U16(mv::off::motor_dec_acc_period)) / 1000.0;
    const double accel = p.U16(mv::off::motor_acc_step) * 60.0 / poles / period;  // rpm per second
    const double decel = p.U16(mv::off::motor_dec_step) * 60.0 / poles / period;
    const double target = TargetRpm();
    if (speedRpm_ < target)
      speedRpm_ = std::min(target, speedRpm_ + accel * step);
    else
      speedRpm_ = std::max(target, speedRpm_ - decel * step);

    const double power = speedRpm_ < 1 ? 0.0 : 48.0 * (0.7 + 9.3 * speedRpm_ / 75000.0) * 0.8;
    controllerTemp_ += (25.0 + power / 8.0 - controllerTemp_) * std::min(1.0, step / 10.0);
    motorTempRise_ += (power / 4.0 - motorTempRise_) * std::min(1.0, step / 20.0);
    if (power > p.U16(mv::off::motor_over_power_trip)) {
      overload_ = true;
      running_ = false;
    }
  }
}

std::uint16_t SimDrive::StatusWord() const {
  std::uint16_t w = 0x0004;  // motor connected
  if (running_) w |= 0x0002;
  const double target = TargetRpm();
  if (running_ && std::fabs(speedRpm_ - target) <= std::max(1.0, target * 0.01)) w |= 0x0020;
  if (speedRpm_ < 1) w |= 0x0040;
  if (underVoltage_) w |= 0x0080;
  if (overVoltage_) w |= 0x0100;
  if (overload_) w |= 0x2000;
  return w;
}

std::uint16_t SimDrive::InternalStatusWord() const {
  return static_cast<std::uint16_t>((underVoltage_ ? 1 : 0) | (overVoltage_ ? 2 : 0) | (overload_ ? 4 : 0));
}

const Fault* SimDrive::PickFault(std::uint8_t command, int occurrence) {
  for (const Fault& f : options_.faults) {
    if (f.command >= 0 && f.command != command) continue;
    if (f.nth != 0 && f.nth != occurrence) continue;
    if (f.kind == FaultKind::BadSum && command != 0x35) continue;
    if (f.kind == FaultKind::Refuse && command != 0x34) continue;
    if (options_.faultRate < 1.0 && std::uniform_real_distribution<double>(0, 1)(rng_) >= options_.faultRate) continue;
    return &f;
  }
  return nullptr;
}

std::vector<std::uint8_t> SimDrive::Answer(std::uint8_t command, const std::uint8_t* data, int length,
                                           const Fault* fault) {
  std::vector<std::uint8_t> a;
  const double speed = speedRpm_;
  const double current = speed < 1 ? 0.0 : 7.0 + 93.0 * speed / 75000.0;      // 0.1 A
  const double bus = std::max(0.0, options_.supplyDeciVolt - current / 5.0);  // 0.1 V
  const double power = speed < 1 ? 0.0 : bus / 10.0 * current / 10.0 * 0.8;   // W
  // In N m, the unit the window's caption "Torque (NM)" gives: a spindle this
  // fast and light turns with well under 1 N m, so it reads 0 once running.
  const double torque = speed < 1 ? 0.0 : power / (speed * 2 * M_PI / 60.0);
  auto ack = [&](std::uint8_t what, bool ok) { a = {kAck, what, static_cast<std::uint8_t>(ok ? 1 : 0)}; };
  switch (command) {
    case 0x77: {
      a.assign(17, 0);
      a[0] = 0x77;
      std::memcpy(a.data() + 1, kDriveName, std::strlen(kDriveName));
      break;
    }
    case 0x0D: a = {0xDD, 0x01, 0x00, 0x03, 0x02, 0x00, 0x01}; break;  // S0001-03, H0002-01
    case 0x78:
      a = {kAck};
      PutLe16(a, options_.serialNo);
      break;
    case 0x10: a = {0xC1, 0x12, 0xAB}; break;
    case 0x35: {
      const std::uint8_t slot = data[0];
      if (slot >= mv::kSlotCount) {
        ack(static_cast<std::uint8_t>(slot + 1), false);
        break;
      }
      a.assign(2 + mv::kProfileSize, 0);
      a[0] = 0x53;
      a[1] = slot;
      std::memcpy(a.data() + 2, profiles_[slot].bytes.data(), mv::kProfileSize);
      if (fault != nullptr && fault->kind == FaultKind::BadSum) a[2 + 30] ^= 0x5A;  // a data byte, not the sum
      break;
    }
    case 0x34: {
      const std::uint8_t slot = data[0];
      mv::MotorProfile p;
      std::memcpy(p.bytes.data(), data + 1, mv::kProfileSize);
      const bool ok = slot < mv::kSlotCount && mv::ProfileChecksumValid(p) &&
                      !(fault != nullptr && fault->kind == FaultKind::Refuse);
      if (ok) profiles_[slot] = p;
      ack(static_cast<std::uint8_t>(slot + 1), ok);
      break;
    }
    case 0x90: {
      const std::uint8_t slot = data[0];
      const bool ok = slot <= mv::kSlotCount;
      if (ok) active_ = slot;
      if (slot == mv::kSlotCount) running_ = false;
      ack(slot, ok);
      break;
    }
    case 0x24: {
      const bool ok = active_ < mv::kSlotCount && !underVoltage_ && !overVoltage_ && !overload_;
      if (ok) running_ = true;
      ack(command, ok);
      break;
    }
    case 0x25:
      running_ = false;
      ack(command, true);
      break;
    case 0x39: {
      const bool ok = data[0] == 0x07 && data[1] == 0x77;
      if (ok) {
        running_ = false;
        underVoltage_ = overVoltage_ = overload_ = false;
      }
      ack(command, ok);
      break;
    }
    case 0x01:
      setRpm_ = Le16(data) * 10u;
      ack(command, true);
      break;
    case 0x74:
      a = {kAck};
      PutLe16(a, static_cast<std::uint32_t>(std::lround(current)));
      break;
    case 0x42:
      a = {kAck};
      PutLe16(a, static_cast<std::uint32_t>(std::lround(speed / 10.0)));
      break;
    case 0x70:
      a = {kAck};
      PutLe16(a, static_cast<std::uint32_t>(std::lround(power)));
      break;
    case 0x60:
      a = {kAck};
      PutLe16(a, StatusWord());
      break;
    case 0x76:
      a = {kAck};
      PutLe16(a, static_cast<std::uint32_t>(std::lround(controllerTemp_)));
      break;
    case 0xF1:
      a = {kAck};
      PutLe16(a, InternalStatusWord());
      break;
    case 0x75: {
      const double rMin = Active().U16(mv::off::motor_temp_resistance_min);
      a = {kAck};
      PutLe16(a, static_cast<std::uint32_t>(std::lround(rMin + motorTempRise_ * 0.4)));
      break;
    }
    case 0x73:
      a = {0x73};
      PutLe16(a, static_cast<std::uint32_t>(std::lround(torque)));
      break;
    case 0x72:
      a = {0x72};
      PutLe16(a, static_cast<std::uint32_t>(std::lround(bus)));
      break;
    default: a = {kNak, command}; break;
  }
  (void)length;
  return a;
}

void SimDrive::HandleFrame(std::uint8_t command, const std::uint8_t* data, int length, Clock now,
                           std::vector<Chunk>& out) {
  Update(now);
  const int occurrence = ++seen_[command];
  const Fault* fault = PickFault(command, occurrence);
  std::vector<std::uint8_t> answer = Answer(command, data, length, fault);
  if (fault == nullptr) {
    out.push_back({now, std::move(answer)});
    return;
  }
  switch (fault->kind) {
    case FaultKind::NoAnswer: return;  // no answer at all
    case FaultKind::Late: out.push_back({now + 0.150, std::move(answer)}); return;
    case FaultKind::Gap: {
      // Code and half the payload, then a pause longer than the host's 80 ms.
      const std::size_t split = 1 + (answer.size() - 1) / 2;
      out.push_back({now, std::vector<std::uint8_t>(answer.begin(), answer.begin() + static_cast<long>(split))});
      out.push_back({now + 0.120, std::vector<std::uint8_t>(answer.begin() + static_cast<long>(split), answer.end())});
      return;
    }
    case FaultKind::BadCode: out.push_back({now, {kBadCode}}); return;
    case FaultKind::Garbage: {
      // Random bytes; the first one is never a response code, so the host
      // cannot take the noise for an answer.
      std::uniform_int_distribution<int> len(1, 24), byte(0, 255);
      std::vector<std::uint8_t> noise(static_cast<std::size_t>(len(rng_)));
      for (auto& b : noise) b = static_cast<std::uint8_t>(byte(rng_));
      noise[0] = kBadCode;
      out.push_back({now, std::move(noise)});
      return;
    }
    case FaultKind::BadSum:  // already in the answer's content
    case FaultKind::Refuse: out.push_back({now, std::move(answer)}); return;
  }
}

}  // namespace mvsim
