// What the request handlers and the engine would show in the windows, kept
// for a program without windows (the command-line tool, the Python module):
// the drive's identity fields as their answers arrive, the messages a window
// would have shown, the six slots, the status fields and the last poll, the
// port status text and how requests ended.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/status_requests.h"
#include "link/engine.h"
#include "link/main_requests.h"
#include "profiles/motor_profile.h"

namespace mv {

class DriveRecord : public MainRequestsView, public ControlStatusView, public LinkView {
 public:
  struct Message {
    std::string text;
    std::uint32_t step = 0;  // the engine's step when it was shown (0 without an engine)
  };

  DriveRecord();

  std::optional<std::string> name, version, serialNo, hardwareId;  // set as their answers arrive
  std::vector<Message> messages;
  std::array<MotorProfile, kSlotCount> slots;  // the defaults until profiles arrive
  std::array<bool, kSlotCount> received{};
  int strayIndex = -1;  // a profile answered for a slot outside 0..5
  std::array<std::string, kStatusFieldCount> fields;
  StatusValues values{};  // the last completed poll
  std::int64_t pollsDone = 0;
  std::string portText;
  int failures = 0;  // requests that ended other than completed
  RequestOutcome firstFailure = RequestOutcome::None;
  const RequestEngine* engine = nullptr;  // tells a message's step, when set

  // MainRequestsView
  void SetDriveName(const char* t) override { name = t; }
  void SetDriveVersion(const char* t) override { version = t; }
  void SetDriveSerialNo(const char* t) override { serialNo = t; }
  void SetDriveHardwareId(const char* t) override { hardwareId = t; }
  void ShowMessage(const char* t) override;
  const MotorProfile& ProfileSlot(int i) const override { return slots[static_cast<std::size_t>(i)]; }
  void SetProfileSlot(int i, const MotorProfile& p) override;

  // ControlStatusView
  void SetStatusFieldText(StatusField f, const char* t) override { fields[static_cast<std::size_t>(f)] = t; }
  void SetStatusLamps(std::uint16_t) override {}
  void SetInternalStatusLamps(std::uint16_t) override {}
  void StatusPollDone(const StatusValues& v) override;

  // LinkView
  void SetPortStatusText(const char* t) override { portText = t; }
  void CountersChanged(const LinkCounters&) override {}
  void RequestEnded(RequestOutcome o) override;

 protected:
  // A poll has completed and is recorded.
  virtual void PollDone(const StatusValues&) {}
};

}  // namespace mv
