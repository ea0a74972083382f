// The main window's requests to the drive: drive information, profile
// activation and the profile transfer between the six slots and the drive.
// Headless: each request ends in a MainResult (the outcome the engine saw and
// what the drive's answers meant), which the window renders and the drive
// client returns to its caller.
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

enum class MainRequestKind : std::uint8_t {
  DriveInfo,        // "Get": name, version, serial number, hardware id
  Activate,         // a slot's "Activate"
  DeactivateAll,    // activate "none"
  GetProfile,       // "Get Cont"
  SaveProfile,      // "Save Cont"
  GetAllProfiles,   // "Get all from Controller"
  SaveAllProfiles,  // "Save all to Controller"
  ReadProfile,      // Get profile into the scratch copy (compare window)
};

// What the drive's answers meant for one slot.
enum class SlotOutcome : std::uint8_t {
  NotAsked = 0,
  NoAnswer,     // asked; the request ended before its answer came
  Received,     // a block with a valid checksum (in `profiles`, by the slot the block names)
  BadChecksum,  // a block whose checksum is wrong, or an answer too short to be a block
  OtherSlot,    // the answer was a block for another slot
  Saved,        // the drive confirmed the save
  NotChanged,   // the drive refused the save
};

// The drive's identity as the main window shows it; a field whose answer did
// not come stays empty (and Has() is false).
struct DriveIdentity {
  enum Field : std::uint8_t { kName, kVersion, kSerialNo, kHardwareId, kFieldCount };
  std::array<std::array<char, kDriveTextSize>, kFieldCount> text{};
  std::uint8_t arrived = 0;  // bit per field
  bool Has(Field f) const { return (arrived >> f) & 1u; }
  const char* Text(Field f) const { return text[f].data(); }
};

// How one of the main window's requests ended and what the drive said.
struct MainResult {
  MainRequestKind kind = MainRequestKind::DriveInfo;
  int slot = -1;  // the slot asked for (0..5, kNoProfileIndex for none), -1 for all slots or none
  RequestEnd end{};
  DriveIdentity identity{};
  std::array<SlotOutcome, kSlotCount> slotOutcome{};
  std::array<MotorProfile, kSlotCount> profiles{};      // Received and BadChecksum blocks as they came
  std::array<std::uint8_t, kSlotCount> answerNumber{};  // NotChanged: the profile number the answer named
  int strayIndex = -1;                                  // a valid block named a slot outside 0..5 (kept nowhere)
  ScratchProfile scratch{};                             // ReadProfile

  bool Completed() const { return end.outcome == RequestOutcome::Completed; }
  // Completed, its answers its own, and no slot refused or unreadable.
  bool Ok() const;
};

// The message box a slot's outcome shows ("Motor profile 3\nInvalid
// Checksum", "ERROR: Motor profile 2 not changed"); false when it shows none.
bool SlotMessage(const MainResult& result, int slotIndex, char* out, std::size_t size);

// Receives every result of the main requests, refusals included.
struct MainResultSink {
  using Fn = void (*)(void* owner, const MainResult& result);
  Fn fn = nullptr;
  void* owner = nullptr;
  template <auto Method, class T>
  static MainResultSink Bind(T* object) {
    return MainResultSink{[](void* o, const MainResult& r) { (static_cast<T*>(o)->*Method)(r); }, object};
  }
};

class MainRequests {
 public:
  // The request tables live as long as this object; handlers are bound to it.
  explicit MainRequests(RequestSender sender);
  MainRequests(const MainRequests&) = delete;
  MainRequests& operator=(const MainRequests&) = delete;

  void SetRequestSender(RequestSender sender) { sender_ = sender; }
  // Where results go from now on (refusals at once, the rest when the
  // request ends).
  void SetResultSink(MainResultSink sink) { sink_ = sink; }

  // Button operations; each returns RequestOutcome::Pending when the engine
  // accepted the request, else the refusal (which has also gone to the sink).
  RequestOutcome GetDriveData();
  RequestOutcome Activate(int slotIndex);  // slot 0..5
  RequestOutcome DeactivateAll();          // activate "none"
  RequestOutcome GetProfile(int slotIndex);
  // Sends the profile as it is now (copied when the request is accepted).
  RequestOutcome SaveProfile(int slotIndex, const MotorProfile& profile);
  RequestOutcome GetAllProfiles();
  RequestOutcome SaveAllProfiles(const std::array<MotorProfile, kSlotCount>& profiles);
  // Get profile of a slot into Scratch(), leaving the slots alone (compare).
  // A refused request leaves Scratch() as it was.
  RequestOutcome GetProfileToScratch(int slotIndex);
  const ScratchProfile& Scratch() const { return scratch_; }
  // The running main request is given up once its step in flight has ended
  // (its result then says Abandoned).
  void AbandonRunning() { sender_.Abandon(&completion_); }
  // Whether a request of any kind is running on the engine.
  bool LinkBusy() const { return sender_.Busy(); }
  // The result of the running (or last) main request.
  const MainResult& Current() const { return result_; }

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
  // Starts the request with a fresh result; a refusal is delivered at once.
  RequestOutcome Send(MainRequestKind kind, int slot, const RequestStep* steps, std::uint32_t count);
  void Ended(const RequestEnd& end);
  void Deliver();
  void Identity(DriveIdentity::Field field, const char* text);

  RequestSender sender_;
  MainResultSink sink_{};
  MainResult result_{};
  RequestCompletion completion_{};

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
