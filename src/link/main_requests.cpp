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

MainRequests::MainRequests(RequestSender sender, MainRequestsView& view) : sender_(sender), view_(&view) {
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
    saveAll_[i] = {CmdSaveProfile, saveAllBlocks_[i].data(), kSlotBlockSize, StepHandler{}};
    activate_[i] = {CmdActivateProfile, index, 1, StepHandler{}};
    getScratch_[i] = {CmdGetProfile, index, 1, StepHandler::Bind<&MainRequests::ScratchProfileReceived>(this)};
  }
  deactivateAll_ = {CmdActivateProfile, &slotIndexBytes_[kNoProfileIndex], 1, StepHandler{}};
}

bool MainRequests::GetDriveData() { return sender_(driveInfo_.data(), 4); }

bool MainRequests::Activate(int slotIndex) {
  if (!ValidSlot(slotIndex)) return false;
  return sender_(&activate_[static_cast<std::size_t>(slotIndex)], 1);
}

bool MainRequests::DeactivateAll() { return sender_(&deactivateAll_, 1); }

bool MainRequests::GetProfile(int slotIndex) {
  if (!ValidSlot(slotIndex)) return false;
  return sender_(&getProfile_[static_cast<std::size_t>(slotIndex)], 1);
}

bool MainRequests::SaveProfile(int slotIndex) {
  if (!ValidSlot(slotIndex)) return false;
  const auto i = static_cast<std::size_t>(slotIndex);
  // While a request runs the engine refuses this one anyway; leaving the
  // block alone then keeps a running request's data intact.
  if (!sender_.Busy())
    FillSlotProfileBlock(saveBlocks_[i], static_cast<std::uint8_t>(i), view_->ProfileSlot(slotIndex));
  return sender_(&saveProfile_[i], 1);
}

bool MainRequests::GetAllProfiles() { return sender_(getAll_.data(), kSlotCount); }

bool MainRequests::SaveAllProfiles() {
  // "Save all" sends steps 2..6 from these blocks while it runs: never
  // rewrite them under a running request (the new one is refused as busy).
  if (!sender_.Busy()) {
    for (std::size_t i = 0; i < kSlotCount; ++i)
      FillSlotProfileBlock(saveAllBlocks_[i], static_cast<std::uint8_t>(i), view_->ProfileSlot(static_cast<int>(i)));
  }
  return sender_(saveAll_.data(), kSlotCount);
}

bool MainRequests::GetProfileToScratch(int slotIndex) {
  if (!ValidSlot(slotIndex)) return false;
  const ScratchProfile before = scratch_;
  scratch_.state = ScratchProfile::State::Pending;
  scratch_.askedSlot = slotIndex;
  scratch_.answeredSlot = -1;
  scratch_.checksumValid = false;
  if (sender_(&getScratch_[static_cast<std::size_t>(slotIndex)], 1)) return true;
  scratch_ = before;
  return false;
}

void MainRequests::ShowDriveName(const RequestStep&, const Response& r) {
  char text[kDriveTextSize];
  FormatDriveName(r.payload, r.length, text);
  view_->SetDriveName(text);
}

void MainRequests::ShowDriveVersion(const RequestStep&, const Response& r) {
  char text[kDriveTextSize];
  FormatDriveVersion(r.payload, r.length, text);
  view_->SetDriveVersion(text);
}

void MainRequests::ShowDriveSerialNo(const RequestStep&, const Response& r) {
  char text[kDriveTextSize];
  FormatDriveSerialNo(r.payload, r.length, text);
  view_->SetDriveSerialNo(text);
}

void MainRequests::ShowDriveHardwareId(const RequestStep&, const Response& r) {
  char text[kDriveTextSize];
  FormatDriveHardwareId(r.code, r.payload, r.length, text);
  view_->SetDriveHardwareId(text);
}

void MainRequests::ProfileReceived(const RequestStep& step, const Response& r) {
  const unsigned asked = (step.length > 0 && step.data != nullptr) ? step.data[0] + 1u : 0u;
  // An answer shorter than a slot block cannot be verified: it is reported
  // like a block with a wrong checksum, and the slot is left alone.
  bool valid = r.length >= kSlotBlockSize;
  MotorProfile profile;
  if (valid) {
    std::memcpy(profile.bytes.data(), r.payload + 1, kProfileSize);
    valid = ProfileChecksumValid(profile);
  }
  if (!valid) {
    char text[80];
    std::snprintf(text, sizeof text, kInvalidChecksumFormat, asked);
    view_->ShowMessage(text);
    return;
  }
  view_->SetProfileSlot(r.payload[0], profile);
}

void MainRequests::ScratchProfileReceived(const RequestStep&, const Response& r) {
  if (r.length < kSlotBlockSize) {
    scratch_.state = ScratchProfile::State::Short;
    return;
  }
  std::memcpy(scratch_.profile.bytes.data(), r.payload + 1, kProfileSize);
  scratch_.answeredSlot = r.payload[0];
  scratch_.checksumValid = ProfileChecksumValid(scratch_.profile);
  scratch_.state = ScratchProfile::State::Received;
}

void MainRequests::ProfileSaved(const RequestStep& step, const Response& r) {
  // Without its result byte the answer does not confirm the save: report it
  // as not changed rather than let a failure pass as success.
  if (r.length >= 2 && r.payload[1] != 0) return;
  unsigned number = 0;
  if (r.length >= 1)
    number = r.payload[0];
  else if (step.length > 0 && step.data != nullptr)
    number = step.data[0] + 1u;
  char text[80];
  std::snprintf(text, sizeof text, kProfileNotChangedFormat, number);
  view_->ShowMessage(text);
}

}  // namespace mv
