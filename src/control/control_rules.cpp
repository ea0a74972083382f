#include "control/control_rules.h"

#include "core/field_parse.h"

namespace mv {

std::int32_t SpeedOnExit(const std::string& text, std::int32_t previous) {
  return ClampIntText(text, kSpeedMinRpm, kSpeedMaxRpm, previous);
}

std::int32_t SpeedOnUp(const std::string& text) {
  std::int32_t v = ClampIntText(text, kSpeedMinRpm, kSpeedMaxRpm, 0);
  if (v < kSpeedMaxRpm) {
    v += kSpeedStepRpm;
    if (v > kSpeedMaxRpm) v = kSpeedMaxRpm;
  }
  return v;
}

std::int32_t SpeedOnDown(const std::string& text) {
  std::int32_t v = ClampIntText(text, kSpeedMinRpm, kSpeedMaxRpm, 0);
  if (v > 0) {
    v -= kSpeedStepRpm;
    if (v < kSpeedMinRpm) v = kSpeedMinRpm;
  }
  return v;
}

std::int32_t SpeedOnEnter(const std::string& text) { return ClampIntText(text, kSpeedMinRpm, kSpeedMaxRpm, 0); }

std::int32_t PeriodOnExit(const std::string& text, std::int32_t previous) {
  return ClampIntText(text, kPeriodMinMs, kPeriodMaxMs, previous);
}

std::int32_t ClampPeriod(std::int64_t ms) {
  if (ms < kPeriodMinMs) return kPeriodMinMs;
  if (ms > kPeriodMaxMs) return kPeriodMaxMs;
  return static_cast<std::int32_t>(ms);
}

std::int32_t ClampSpeed(std::int64_t rpm) {
  if (rpm < kSpeedMinRpm) return kSpeedMinRpm;
  if (rpm > kSpeedMaxRpm) return kSpeedMaxRpm;
  return static_cast<std::int32_t>(rpm);
}

std::array<std::uint8_t, 2> SpeedCommandData(std::uint32_t rpm) {
  // Never wraps: a speed beyond the 16-bit range is sent as the largest one.
  const std::uint32_t units = rpm / 10 > 0xFFFF ? 0xFFFF : rpm / 10;
  return {static_cast<std::uint8_t>(units % 256), static_cast<std::uint8_t>((units / 256) & 0xFF)};
}

}  // namespace mv
