// The main window's requests to the drive: drive information, profile
// activation and the profile transfer between the six slots and the drive.
// Headless: the window (or the command-line tool) implements MainRequestsView
// and calls the operations from its buttons.
#pragma once

#include <array>
#include <cstdint>

#include "link/engine.h"
#include "profiles/motor_profile.h"

namespace mv {

// Command bytes of the main window's requests.
inline constexpr std::uint8_t CmdGetName = 0x77;
inline constexpr std::uint8_t CmdGetVersion = 0x0D;
inline constexpr std::uint8_t CmdGetSerialNo = 0x78;
inline constexpr std::uint8_t CmdGetHardwareId = 0x10;
inline constexpr std::uint8_t CmdGetProfile = 0x35;
inline constexpr std::uint8_t CmdSaveProfile = 0x34;
inline constexpr std::uint8_t CmdActivateProfile = 0x90;
inline constexpr std::uint8_t kNoProfileIndex = 6;  // activate "none"

// What the handlers change on the window. Texts are plain, NUL-terminated.
class MainRequestsView {
 public:
  virtual ~MainRequestsView() = default;
  virtual void SetDriveName(const char* text) = 0;
  virtual void SetDriveVersion(const char* text) = 0;
  virtual void SetDriveSerialNo(const char* text) = 0;
  virtual void SetDriveHardwareId(const char* text) = 0;
  // A modal message box with this text.
  virtual void ShowMessage(const char* text) = 0;
  // Slot 0..5 as it is now (read when a save is clicked).
  virtual const MotorProfile& ProfileSlot(int slotIndex) const = 0;
  // Store a received profile; an index above 5 is ignored by the slot side.
  virtual void SetProfileSlot(int slotIndex, const MotorProfile& profile) = 0;
};

// Message texts.
inline constexpr const char* kInvalidChecksumFormat = "Motor profile %u\nInvalid Checksum";
inline constexpr const char* kProfileNotChangedFormat = "ERROR: Motor profile %u not changed";

// Payload formatting used by the handlers (also by tests and tools). Each
// reads at most `length` bytes. `out` holds at least kDriveTextSize chars.
inline constexpr std::size_t kDriveTextSize = 64;
void FormatDriveName(const std::uint8_t* payload, std::uint32_t length, char* out);
void FormatDriveVersion(const std::uint8_t* payload, std::uint32_t length, char* out);
void FormatDriveSerialNo(const std::uint8_t* payload, std::uint32_t length, char* out);
void FormatDriveHardwareId(std::uint8_t code, const std::uint8_t* payload, std::uint32_t length, char* out);

// A profile fetched from the drive for comparison only: it never goes into a
// slot. `state` tells how the last scratch request went.
struct ScratchProfile {
  enum class State : std::uint8_t {
    Empty,     // nothing asked yet
    Pending,   // asked; no answer yet (an engine that is idle again means none came)
    Received,  // a complete block arrived (checksumValid tells whether it is intact)
    Short,     // the answer was shorter than a slot block
  };
  State state = State::Empty;
  int askedSlot = -1;     // 0..5
  int answeredSlot = -1;  // byte 0 of the block as the drive sent it
  bool checksumValid = false;
  MotorProfile profile{};
};

class MainRequests {
 public:
  // The request tables live as long as this object; handlers are bound to it.
  MainRequests(RequestSender sender, MainRequestsView& view);
  MainRequests(const MainRequests&) = delete;
  MainRequests& operator=(const MainRequests&) = delete;

  void SetRequestSender(RequestSender sender) { sender_ = sender; }
  // The window the handlers change from now on.
  void SetView(MainRequestsView& view) { view_ = &view; }

  // Button operations; each returns whether the engine accepted the request.
  bool GetDriveData();              // "Get": name, version, serial number, hardware id
  bool Activate(int slotIndex);     // slot 0..5
  bool DeactivateAll();             // activate "none"
  bool GetProfile(int slotIndex);   // "Get Cont"
  bool SaveProfile(int slotIndex);  // "Save Cont": the slot as it is now
  bool GetAllProfiles();            // "Get all from Controller"
  bool SaveAllProfiles();           // "Save all to Controller"
  // Get profile of a slot into Scratch(), leaving the slots alone (compare).
  // A refused request leaves Scratch() as it was.
  bool GetProfileToScratch(int slotIndex);
  const ScratchProfile& Scratch() const { return scratch_; }
  // Whether a request of any kind is running on the engine.
  bool LinkBusy() const { return sender_.Busy(); }

  // The tables themselves (constant apart from the block buffers).
  const RequestStep* DriveInfoRequest() const { return driveInfo_.data(); }
  const RequestStep* GetProfileRequest(int slotIndex) const {
    return &getProfile_[static_cast<std::size_t>(slotIndex)];
  }
  const RequestStep* SaveProfileRequest(int slotIndex) const {
    return &saveProfile_[static_cast<std::size_t>(slotIndex)];
  }
  const RequestStep* GetAllProfilesRequest() const { return getAll_.data(); }
  const RequestStep* SaveAllProfilesRequest() const { return saveAll_.data(); }
  const RequestStep* ActivateProfileRequest(int slotIndex) const {
    return &activate_[static_cast<std::size_t>(slotIndex)];
  }
  const RequestStep* DeactivateAllRequest() const { return &deactivateAll_; }

  // Response handlers.
  void ShowDriveName(const RequestStep& step, const Response& response);
  void ShowDriveVersion(const RequestStep& step, const Response& response);
  void ShowDriveSerialNo(const RequestStep& step, const Response& response);
  void ShowDriveHardwareId(const RequestStep& step, const Response& response);
  void ProfileReceived(const RequestStep& step, const Response& response);
  void ProfileSaved(const RequestStep& step, const Response& response);
  void ScratchProfileReceived(const RequestStep& step, const Response& response);

 private:
  static bool ValidSlot(int slotIndex) { return slotIndex >= 0 && slotIndex < kSlotCount; }

  RequestSender sender_;
  MainRequestsView* view_;

  std::array<std::uint8_t, kSlotCount + 1> slotIndexBytes_{};  // 0..5 and 6 ("none")
  std::array<std::uint8_t, 2> hardwareIdData_{};
  std::array<SlotProfileBlock, kSlotCount> saveBlocks_{};     // "Save Cont", one per slot
  std::array<SlotProfileBlock, kSlotCount> saveAllBlocks_{};  // "Save all to Controller"

  std::array<RequestStep, 4> driveInfo_{};
  std::array<RequestStep, kSlotCount> getProfile_{};
  std::array<RequestStep, kSlotCount> saveProfile_{};
  std::array<RequestStep, kSlotCount> getAll_{};
  std::array<RequestStep, kSlotCount> saveAll_{};
  std::array<RequestStep, kSlotCount> activate_{};
  RequestStep deactivateAll_{};
  std::array<RequestStep, kSlotCount> getScratch_{};
  ScratchProfile scratch_{};
};

}  // namespace mv
