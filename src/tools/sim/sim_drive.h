// The simulated drive behind morvane-sim: frames in, timed answers out.
// Knows each command's data length, answers every frame with one response
// whose code is in the host's code table, keeps six profiles and runs a small
// motor model; faults can be injected per command.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "profiles/motor_profile.h"

namespace mvsim {

using Clock = double;  // seconds on a monotonic clock

enum class FaultKind { NoAnswer, Late, Gap, BadCode, BadSum, Refuse, Garbage };

struct Fault {
  FaultKind kind = FaultKind::NoAnswer;  // "none": the frame gets no answer
  int command = -1;                      // -1: every command the kind applies to
  int nth = 0;                           // 0: every matching frame; n: only the n-th frame of that command
};

// "late", "gap:0x35", "badsum:0x35:4" -> Fault; false with a reason on bad text.
bool ParseFault(const std::string& text, Fault& out, std::string& error);
const char* FaultName(FaultKind kind);

// Bytes to write at a given time.
struct Chunk {
  Clock due = 0;
  std::vector<std::uint8_t> bytes;
};

// Data bytes that follow a command byte (unknown commands carry none).
int CommandDataLength(std::uint8_t command);

struct DriveOptions {
  std::vector<Fault> faults;
  double faultRate = 1.0;  // probability that a matching fault is applied
  std::uint32_t seed = 1;
  std::uint16_t supplyDeciVolt = 480;  // supply voltage in 0.1 V
  std::uint16_t serialNo = 4242;
};

class SimDrive {
 public:
  explicit SimDrive(const DriveOptions& options);

  // One complete frame received at `now`; appends the answer's chunks.
  void HandleFrame(std::uint8_t command, const std::uint8_t* data, int length, Clock now, std::vector<Chunk>& out);

  // Motor model state (for tests and the trace).
  void Update(Clock now);
  bool Running() const { return running_; }
  double SpeedRpm() const { return speedRpm_; }
  std::uint16_t StatusWord() const;
  std::uint16_t InternalStatusWord() const;
  const mv::MotorProfile& Profile(int slot) const { return profiles_[static_cast<std::size_t>(slot)]; }

 private:
  std::vector<std::uint8_t> Answer(std::uint8_t command, const std::uint8_t* data, int length, const Fault* fault);
  const Fault* PickFault(std::uint8_t command, int occurrence);
  const mv::MotorProfile& Active() const;
  double TargetRpm() const;

  DriveOptions options_;
  std::mt19937 rng_;
  std::array<int, 256> seen_{};  // frames received per command
  std::array<mv::MotorProfile, mv::kSlotCount> profiles_;
  int active_ = 0;  // 0..5, 6 = none
  bool running_ = false;
  std::uint32_t setRpm_ = 6000;
  double speedRpm_ = 0;
  double controllerTemp_ = 25;
  double motorTempRise_ = 0;
  bool underVoltage_ = false, overVoltage_ = false, overload_ = false;
  Clock last_ = -1;
};

}  // namespace mvsim
