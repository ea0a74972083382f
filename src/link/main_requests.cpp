#include "link/main_requests.h"

#include <cstdio>
#include <cstring>

namespace mv {

namespace {

// "0x12 0xAB ..." for the bytes that did arrive (an answer shorter than the
// command's own answer shows its bytes rather than a made-up value).
void HexList(const std::uint8_t* bytes, std::uint32_t length, char* out, std::size_t pos = 0) {
  out[pos] = '\0';
  for (std::uint32_t i = 0; i < length && pos + 6 < kDriveTextSize; ++i) {
    pos += static_cast<std::size_t>(
        std::snprintf(out + pos, kDriveTextSize - pos, pos == 0 ? "0x%02X" : " 0x%02X", bytes[i]));
  }
}

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

void FormatDriveName(const std::uint8_t* payload, std::uint32_t length, char* out) {
  std::uint32_t n = 0;
  const std::uint32_t limit = length < 16 ? length : 16;
  while (n < limit && payload[n] != 0) {
    out[n] = static_cast<char>(payload[n]);
    ++n;
  }
  out[n] = '\0';
}

void FormatDriveVersion(const std::uint8_t* payload, std::uint32_t length, char* out) {
  if (length < 6) {
    HexList(payload, length, out);
    return;
  }
  std::snprintf(out, kDriveTextSize, "S%04d-%02d, H%04d-%02d", Le16(payload), payload[2], Le16(payload + 3),
                payload[5]);
}

void FormatDriveSerialNo(const std::uint8_t* payload, std::uint32_t length, char* out) {
  if (length < 2) {
    HexList(payload, length, out);
    return;
  }
  std::snprintf(out, kDriveTextSize, "%u", static_cast<unsigned>(Le16(payload)));
}

void FormatDriveHardwareId(std::uint8_t code, const std::uint8_t* payload, std::uint32_t length, char* out) {
  if (length < 2) {
    const int n = std::snprintf(out, kDriveTextSize, "0x%02X", code);
    if (length > 0) HexList(payload, length, out, static_cast<std::size_t>(n));
    return;
  }
  std::snprintf(out, kDriveTextSize, "0x%02X 0x%02X 0x%02X", code, payload[0], payload[1]);
}

bool MainResult::Ok() const {
  if (!Completed() || !end.trusted) return false;
  for (SlotOutcome o : slotOutcome)
    if (o == SlotOutcome::NoAnswer || o == SlotOutcome::BadChecksum || o == SlotOutcome::OtherSlot ||
        o == SlotOutcome::NotChanged)
      return false;
  return true;
}

bool SlotMessage(const MainResult& result, int slotIndex, char* out, std::size_t size) {
  if (slotIndex < 0 || slotIndex >= kSlotCount || size == 0) return false;
  const auto i = static_cast<std::size_t>(slotIndex);
  switch (result.slotOutcome[i]) {
    case SlotOutcome::BadChecksum:
      std::snprintf(out, size, kInvalidChecksumFormat, static_cast<unsigned>(slotIndex + 1));
      return true;
    case SlotOutcome::NotChanged:
      std::snprintf(out, size, kProfileNotChangedFormat, static_cast<unsigned>(result.answerNumber[i]));
      return true;
    default: return false;
  }
}

MainRequests::MainRequests(RequestSender sender) : sender_(sender) {
  completion_ = RequestCompletion::Bind<&MainRequests::Ended>(this);
  for (int i = 0; i <= kSlotCount; ++i) slotIndexBytes_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  hardwareIdData_ = {0x00, 0x00};

  driveInfo_[0] = {CmdGetName, nullptr, 0, StepHandler::Bind<&MainRequests::ShowDriveName>(this)};
  driveInfo_[1] = {CmdGetVersion, nullptr, 0, StepHandler::Bind<&MainRequests::ShowDriveVersion>(this)};
  driveInfo_[2] = {CmdGetSerialNo, nullptr, 0, StepHandler::Bind<&MainRequests::ShowDriveSerialNo>(this)};
  driveInfo_[3] = {CmdGetHardwareId, hardwareIdData_.data(), 2,
                   StepHandler::Bind<&MainRequests::ShowDriveHardwareId>(this)};

  for (std::size_t i = 0; i < kSlotCount; ++i) {
    const std::uint8_t* index = &slotIndexBytes_[i];
    saveBlocks_[i][0] = static_cast<std::uint8_t>(i);
    saveAllBlocks_[i][0] = static_cast<std::uint8_t>(i);
    getProfile_[i] = {CmdGetProfile, index, 1, StepHandler::Bind<&MainRequests::ProfileReceived>(this)};
    getAll_[i] = getProfile_[i];
    saveProfile_[i] = {CmdSaveProfile, saveBlocks_[i].data(), kSlotBlockSize,
                       StepHandler::Bind<&MainRequests::ProfileSaved>(this)};
    // Each answer is looked at: a save the drive refused is said, never
    // passed over as done.
    saveAll_[i] = {CmdSaveProfile, saveAllBlocks_[i].data(), kSlotBlockSize,
                   StepHandler::Bind<&MainRequests::ProfileSaved>(this)};
    activate_[i] = {CmdActivateProfile, index, 1, StepHandler{}};
    getScratch_[i] = {CmdGetProfile, index, 1, StepHandler::Bind<&MainRequests::ScratchProfileReceived>(this)};
  }
  deactivateAll_ = {CmdActivateProfile, &slotIndexBytes_[kNoProfileIndex], 1, StepHandler{}};
}

RequestOutcome MainRequests::Send(MainRequestKind kind, int slot, const RequestStep* steps, std::uint32_t count) {
  // While a request runs the engine refuses this one anyway: the result of
  // the running one stays as it is.
  if (sender_.Busy()) {
    MainResult refused{};
    refused.kind = kind;
    refused.slot = slot;
    refused.end.outcome = sender_.Start(steps, count);  // counted as busy (or refused for a closed port)
    if (sink_.fn != nullptr) sink_.fn(sink_.owner, refused);
    return refused.end.outcome;
  }
  result_ = MainResult{};
  result_.kind = kind;
  result_.slot = slot;
  result_.end.count = count;
  result_.end.outcome = RequestOutcome::Pending;
  const RequestOutcome started = sender_.Start(steps, count, RequestPriority::Normal, &completion_);
  if (started != RequestOutcome::Pending) {
    result_.end.outcome = started;
    Deliver();
  }
  return started;
}

void MainRequests::Ended(const RequestEnd& end) {
  result_.end = end;
  // Slots asked for whose answers never came.
  for (std::uint32_t i = end.step; i < end.count; ++i) {
    int slot = -1;
    switch (result_.kind) {
      case MainRequestKind::GetAllProfiles:
      case MainRequestKind::SaveAllProfiles: slot = static_cast<int>(i); break;
      case MainRequestKind::GetProfile:
      case MainRequestKind::SaveProfile: slot = result_.slot; break;
      default: break;
    }
    if (slot >= 0 && result_.slotOutcome[static_cast<std::size_t>(slot)] == SlotOutcome::NotAsked)
      result_.slotOutcome[static_cast<std::size_t>(slot)] = SlotOutcome::NoAnswer;
  }
  if (end.outcome != RequestOutcome::Completed && end.step > 0) {
    // The step that failed was asked but not answered.
    const std::uint32_t failed = end.step - 1;
    int slot = -1;
    if (result_.kind == MainRequestKind::GetAllProfiles || result_.kind == MainRequestKind::SaveAllProfiles)
      slot = static_cast<int>(failed);
    else if (result_.kind == MainRequestKind::GetProfile || result_.kind == MainRequestKind::SaveProfile)
      slot = result_.slot;
    if (slot >= 0 && result_.slotOutcome[static_cast<std::size_t>(slot)] == SlotOutcome::NotAsked)
      result_.slotOutcome[static_cast<std::size_t>(slot)] = SlotOutcome::NoAnswer;
  }
  Deliver();
}

void MainRequests::Deliver() {
  if (sink_.fn != nullptr) sink_.fn(sink_.owner, result_);
}

RequestOutcome MainRequests::GetDriveData() { return Send(MainRequestKind::DriveInfo, -1, driveInfo_.data(), 4); }

RequestOutcome MainRequests::Activate(int slotIndex) {
  if (!ValidSlot(slotIndex)) return RequestOutcome::RefusedInvalid;
  return Send(MainRequestKind::Activate, slotIndex, &activate_[static_cast<std::size_t>(slotIndex)], 1);
}

RequestOutcome MainRequests::DeactivateAll() {
  return Send(MainRequestKind::DeactivateAll, kNoProfileIndex, &deactivateAll_, 1);
}

RequestOutcome MainRequests::GetProfile(int slotIndex) {
  if (!ValidSlot(slotIndex)) return RequestOutcome::RefusedInvalid;
  return Send(MainRequestKind::GetProfile, slotIndex, &getProfile_[static_cast<std::size_t>(slotIndex)], 1);
}

RequestOutcome MainRequests::SaveProfile(int slotIndex, const MotorProfile& profile) {
  if (!ValidSlot(slotIndex)) return RequestOutcome::RefusedInvalid;
  const auto i = static_cast<std::size_t>(slotIndex);
  // Never rewritten under a running request (Send refuses it as busy).
  if (!sender_.Busy()) FillSlotProfileBlock(saveBlocks_[i], static_cast<std::uint8_t>(i), profile);
  return Send(MainRequestKind::SaveProfile, slotIndex, &saveProfile_[i], 1);
}

RequestOutcome MainRequests::GetAllProfiles() {
  return Send(MainRequestKind::GetAllProfiles, -1, getAll_.data(), kSlotCount);
}

RequestOutcome MainRequests::SaveAllProfiles(const std::array<MotorProfile, kSlotCount>& profiles) {
  // "Save all" sends steps 2..6 from these blocks while it runs: never
  // rewrite them under a running request (the new one is refused as busy).
  if (!sender_.Busy()) {
    for (std::size_t i = 0; i < kSlotCount; ++i)
      FillSlotProfileBlock(saveAllBlocks_[i], static_cast<std::uint8_t>(i), profiles[i]);
  }
  return Send(MainRequestKind::SaveAllProfiles, -1, saveAll_.data(), kSlotCount);
}

RequestOutcome MainRequests::GetProfileToScratch(int slotIndex) {
  if (!ValidSlot(slotIndex)) return RequestOutcome::RefusedInvalid;
  const ScratchProfile before = scratch_;
  if (!sender_.Busy()) {
    scratch_.state = ScratchProfile::State::Pending;
    scratch_.askedSlot = slotIndex;
    scratch_.answeredSlot = -1;
    scratch_.checksumValid = false;
  }
  const RequestOutcome started =
      Send(MainRequestKind::ReadProfile, slotIndex, &getScratch_[static_cast<std::size_t>(slotIndex)], 1);
  if (started != RequestOutcome::Pending) scratch_ = before;
  return started;
}

void MainRequests::Identity(DriveIdentity::Field field, const char* text) {
  auto& t = result_.identity.text[field];
  std::snprintf(t.data(), t.size(), "%s", text);
  result_.identity.arrived = static_cast<std::uint8_t>(result_.identity.arrived | (1u << field));
}

void MainRequests::ShowDriveName(const RequestStep&, const Response& r) {
  char text[kDriveTextSize];
  FormatDriveName(r.payload, r.length, text);
  Identity(DriveIdentity::kName, text);
}

void MainRequests::ShowDriveVersion(const RequestStep&, const Response& r) {
  char text[kDriveTextSize];
  FormatDriveVersion(r.payload, r.length, text);
  Identity(DriveIdentity::kVersion, text);
}

void MainRequests::ShowDriveSerialNo(const RequestStep&, const Response& r) {
  char text[kDriveTextSize];
  FormatDriveSerialNo(r.payload, r.length, text);
  Identity(DriveIdentity::kSerialNo, text);
}

void MainRequests::ShowDriveHardwareId(const RequestStep&, const Response& r) {
  char text[kDriveTextSize];
  FormatDriveHardwareId(r.code, r.payload, r.length, text);
  Identity(DriveIdentity::kHardwareId, text);
}

void MainRequests::ProfileReceived(const RequestStep& step, const Response& r) {
  const int asked = (step.length > 0 && step.data != nullptr && step.data[0] < kSlotCount) ? step.data[0] : -1;
  // An answer shorter than a slot block cannot be verified: it is reported
  // like a block with a wrong checksum, and the slot is left alone.
  bool valid = r.length >= kSlotBlockSize;
  MotorProfile profile;
  if (valid) {
    std::memcpy(profile.bytes.data(), r.payload + 1, kProfileSize);
    valid = ProfileChecksumValid(profile);
  }
  if (!valid) {
    if (asked >= 0) {
      const auto a = static_cast<std::size_t>(asked);
      result_.slotOutcome[a] = SlotOutcome::BadChecksum;
      if (r.length >= kSlotBlockSize) result_.profiles[a] = profile;  // as it came, for a script to look at
    }
    return;
  }
  // Stored under the slot the block names, as the drive sent it.
  const int answered = r.payload[0];
  if (answered < kSlotCount) {
    const auto a = static_cast<std::size_t>(answered);
    result_.slotOutcome[a] = SlotOutcome::Received;
    result_.profiles[a] = profile;
  } else {
    result_.strayIndex = answered;
  }
  if (asked >= 0 && asked != answered && result_.slotOutcome[static_cast<std::size_t>(asked)] != SlotOutcome::Received)
    result_.slotOutcome[static_cast<std::size_t>(asked)] = SlotOutcome::OtherSlot;
}

void MainRequests::ScratchProfileReceived(const RequestStep&, const Response& r) {
  if (r.length < kSlotBlockSize) {
    scratch_.state = ScratchProfile::State::Short;
  } else {
    std::memcpy(scratch_.profile.bytes.data(), r.payload + 1, kProfileSize);
    scratch_.answeredSlot = r.payload[0];
    scratch_.checksumValid = ProfileChecksumValid(scratch_.profile);
    scratch_.state = ScratchProfile::State::Received;
  }
  result_.scratch = scratch_;
}

void MainRequests::ProfileSaved(const RequestStep& step, const Response& r) {
  const int asked = (step.length > 0 && step.data != nullptr && step.data[0] < kSlotCount) ? step.data[0] : -1;
  // Without its result byte the answer does not confirm the save: report it
  // as not changed rather than let a failure pass as success.
  const bool saved = r.length >= 2 && r.payload[1] != 0;
  if (asked < 0) return;
  const auto a = static_cast<std::size_t>(asked);
  if (saved) {
    result_.slotOutcome[a] = SlotOutcome::Saved;
    return;
  }
  result_.slotOutcome[a] = SlotOutcome::NotChanged;
  result_.answerNumber[a] = static_cast<std::uint8_t>(r.length >= 1 ? r.payload[0] : asked + 1);
}

}  // namespace mv
