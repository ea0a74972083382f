// The control/status window's edit rules as pure functions: the motor speed
// edit (3000..100000 RPM, Up/Down arrows in steps of 250) and the status
// repeat period (200..1500 ms).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace mv {

inline constexpr std::int32_t kSpeedMinRpm = 3000;
inline constexpr std::int32_t kSpeedMaxRpm = 100000;
inline constexpr std::int32_t kSpeedStepRpm = 250;
inline constexpr std::int32_t kSpeedDefaultRpm = 6000;
inline constexpr std::int32_t kPeriodMinMs = 200;
inline constexpr std::int32_t kPeriodMaxMs = 1500;
inline constexpr std::int32_t kPeriodDefaultMs = 250;

// Leaving the speed edit: the text clamped to the range, the previous
// accepted speed when the text is not a number.
std::int32_t SpeedOnExit(const std::string& text, std::int32_t previous);
// Up arrow: the text read with fallback 0 (so unreadable text counts as
// 3000), then 250 more, at most 100000.
std::int32_t SpeedOnUp(const std::string& text);
// Down arrow: read the same way, then 250 less, at least 3000.
std::int32_t SpeedOnDown(const std::string& text);
// Enter: read the same way.
std::int32_t SpeedOnEnter(const std::string& text);

// Leaving the period edit (or Enter): clamped, previous value as fallback.
std::int32_t PeriodOnExit(const std::string& text, std::int32_t previous);
// A period given as a number (command line): clamped to 200..1500.
std::int32_t ClampPeriod(std::int64_t ms);
// A speed given as a number (command line): clamped to 3000..100000.
std::int32_t ClampSpeed(std::int64_t rpm);

// The two data bytes of the speed command: rpm / 10, little-endian.
std::array<std::uint8_t, 2> SpeedCommandData(std::uint32_t rpm);

}  // namespace mv
