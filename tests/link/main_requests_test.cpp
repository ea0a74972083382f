#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "link/main_requests.h"
#include "support/link_fakes.h"

using linktest::Rig;

namespace {

// Renders results as the main window does: the fields and slots the answers
// brought, a message box per slot that shows one.
class FakeMainWindow {
 public:
  std::string name = "old", version = "old", serial = "old", hardwareId = "old";
  std::vector<std::string> messages;
  std::array<mv::MotorProfile, mv::kSlotCount> slots;
  std::vector<int> slotWrites;
  std::vector<mv::MainResult> results;

  FakeMainWindow() {
    for (int i = 0; i < mv::kSlotCount; ++i) slots[static_cast<std::size_t>(i)] = mv::MotorProfileDefaults(i);
  }
  void Ended(const mv::MainResult& r) {
    results.push_back(r);
    if (!r.end.trusted) return;
    using F = mv::DriveIdentity;
    const std::pair<F::Field, std::string*> fields[] = {
        {F::kName, &name}, {F::kVersion, &version}, {F::kSerialNo, &serial}, {F::kHardwareId, &hardwareId}};
    for (const auto& [f, text] : fields)
      if (r.identity.Has(f)) *text = r.identity.Text(f);
    for (int i = 0; i < mv::kSlotCount; ++i) {
      if (r.slotOutcome[static_cast<std::size_t>(i)] != mv::SlotOutcome::Received) continue;
      slotWrites.push_back(i);
      slots[static_cast<std::size_t>(i)] = r.profiles[static_cast<std::size_t>(i)];
    }
    if (r.strayIndex >= 0) slotWrites.push_back(r.strayIndex);
    for (int i = 0; i < mv::kSlotCount; ++i) {
      char text[96];
      if (mv::SlotMessage(r, i, text, sizeof text)) messages.emplace_back(text);
    }
  }
};

struct MainRig : Rig {
  FakeMainWindow window;
  mv::MainRequests requests{engine.Sender()};
  MainRig() { requests.SetResultSink(mv::MainResultSink::Bind<&FakeMainWindow::Ended>(&window)); }
};

bool Sent(mv::RequestOutcome o) { return o == mv::RequestOutcome::Pending; }

std::vector<std::uint8_t> Block(std::uint8_t slot, const mv::MotorProfile& p) {
  std::vector<std::uint8_t> b(mv::kSlotBlockSize);
  b[0] = slot;
  std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + 1);
  return b;
}

mv::MotorProfile Named(int slot, const char* name) {
  mv::MotorProfile p = mv::MotorProfileDefaults(slot);
  p.SetName(name);
  mv::UpdateChecksum(p);
  return p;
}

}  // namespace

TEST(DriveInfo, FourFramesInOrderAndTheTextsOfEachAnswer) {
  MainRig rig;
  ASSERT_TRUE(Sent(rig.requests.GetDriveData()));
  rig.Answer(0x77, {'M', 'V', '-', '1', '0', '0', 0, 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'});
  rig.Answer(0xDD, {0x39, 0x30, 0x02, 0x10, 0x27, 0x05});
  rig.Answer(0x07, {0xFF, 0xFF});
  rig.Answer(0xC1, {0x12, 0xAB});
  using F = std::vector<std::uint8_t>;
  EXPECT_EQ(rig.port.frames, (std::vector<F>{{0x77}, {0x0D}, {0x78}, {0x10, 0x00, 0x00}}));
  EXPECT_EQ(rig.window.name, "MV-100");
  EXPECT_EQ(rig.window.version, "S12345-02, H10000-05");
  EXPECT_EQ(rig.window.serial, "65535");
  EXPECT_EQ(rig.window.hardwareId, "0xC1 0x12 0xAB");
  EXPECT_TRUE(rig.window.messages.empty());
}

TEST(DriveInfo, TimeoutOnTheSecondStepLeavesTheLaterFieldsAlone) {
  MainRig rig;
  ASSERT_TRUE(Sent(rig.requests.GetDriveData()));
  rig.Answer(0x77, std::vector<std::uint8_t>(16, 'A'));  // no NUL: all 16 characters
  rig.timer.Expire();
  EXPECT_EQ(rig.window.name, std::string(16, 'A'));
  EXPECT_EQ(rig.window.version, "old");
  EXPECT_EQ(rig.window.serial, "old");
  EXPECT_EQ(rig.window.hardwareId, "old");
  EXPECT_EQ(rig.port.frames.size(), 2u);
}

TEST(DriveInfo, NameStartingWithNulAndShortAnswersNeverReadPastThePayload) {
  char out[mv::kDriveTextSize];
  const std::uint8_t empty[16] = {0, 'A', 'B'};
  mv::FormatDriveName(empty, 16, out);
  EXPECT_STREQ(out, "");
  const std::uint8_t guard[6] = {'H', 'i', 0x39, 0x30, 0x02, 0x10};
  // A shorter answer shows only what arrived; the bytes after it are not read.
  mv::FormatDriveName(guard, 2, out);
  EXPECT_STREQ(out, "Hi");
  mv::FormatDriveVersion(guard + 2, 2, out);
  EXPECT_STREQ(out, "0x39 0x30");
  mv::FormatDriveSerialNo(guard + 2, 1, out);
  EXPECT_STREQ(out, "0x39");
  mv::FormatDriveSerialNo(guard, 0, out);
  EXPECT_STREQ(out, "");
  mv::FormatDriveHardwareId(0x0B, guard, 0, out);
  EXPECT_STREQ(out, "0x0B");
  mv::FormatDriveHardwareId(0x09, guard + 2, 1, out);
  EXPECT_STREQ(out, "0x09 0x39");

  // Through the engine: code 11 (no payload) answering the version request.
  MainRig rig;
  ASSERT_TRUE(Sent(rig.requests.GetDriveData()));
  rig.Answer(0x77, std::vector<std::uint8_t>(16, 0));
  rig.engine.RxChar(0x0B);
  rig.timer.Expire();  // nothing more comes
  EXPECT_EQ(rig.window.version, "");
  EXPECT_EQ(rig.window.name, "");
}

TEST(ActivateProfile, SendsTheSlotIndexOrSixForNone) {
  MainRig rig;
  ASSERT_TRUE(Sent(rig.requests.Activate(2)));
  rig.Answer(0x07, {0, 0});
  ASSERT_TRUE(Sent(rig.requests.DeactivateAll()));
  rig.Answer(0x0B, {});
  EXPECT_FALSE(Sent(rig.requests.Activate(6)));
  EXPECT_FALSE(Sent(rig.requests.Activate(-1)));
  using F = std::vector<std::uint8_t>;
  EXPECT_EQ(rig.port.frames, (std::vector<F>{{0x90, 0x02}, {0x90, 0x06}}));
  EXPECT_TRUE(rig.window.messages.empty());
}

TEST(ProfileTransfer, GetStoresAValidProfileAndRefusesABadChecksum) {
  MainRig rig;
  const mv::MotorProfile good = Named(3, "Spindle");
  ASSERT_TRUE(Sent(rig.requests.GetProfile(3)));
  EXPECT_EQ(rig.port.frames.back(), (std::vector<std::uint8_t>{0x35, 0x03}));
  rig.Answer(0x53, Block(3, good));
  EXPECT_EQ(rig.window.slots[3], good);
  EXPECT_TRUE(rig.window.messages.empty());

  mv::MotorProfile bad = Named(3, "Broken");
  bad.bytes[100] ^= 0x01;  // checksum no longer matches
  ASSERT_TRUE(Sent(rig.requests.GetProfile(3)));
  rig.Answer(0x53, Block(3, bad));
  ASSERT_EQ(rig.window.messages.size(), 1u);
  EXPECT_EQ(rig.window.messages[0], "Motor profile 4\nInvalid Checksum");
  EXPECT_EQ(rig.window.slots[3], good);

  // The slot comes from the answer; an index above 5 is left to the slot side.
  ASSERT_TRUE(Sent(rig.requests.GetProfile(0)));
  rig.Answer(0x53, Block(9, good));
  EXPECT_EQ(rig.window.slotWrites.back(), 9);

  // An answer too short for a block is reported and changes nothing.
  ASSERT_TRUE(Sent(rig.requests.GetProfile(1)));
  rig.Answer(0x07, {1, 2});
  EXPECT_EQ(rig.window.messages.back(), "Motor profile 2\nInvalid Checksum");
  EXPECT_EQ(rig.window.slots[1], mv::MotorProfileDefaults(1));
}

TEST(ProfileTransfer, GetAllGoesOnPastABadBlock) {
  MainRig rig;
  ASSERT_TRUE(Sent(rig.requests.GetAllProfiles()));
  for (int i = 0; i < 6; ++i) {
    mv::MotorProfile p = Named(i, ("Got" + std::to_string(i)).c_str());
    if (i == 4) p.bytes[0] = 'X';
    rig.Answer(0x53, Block(static_cast<std::uint8_t>(i), p));
  }
  ASSERT_EQ(rig.port.frames.size(), 6u);
  for (std::uint8_t i = 0; i < 6; ++i) EXPECT_EQ(rig.port.frames[i], (std::vector<std::uint8_t>{0x35, i}));
  EXPECT_EQ(rig.window.messages, std::vector<std::string>{"Motor profile 5\nInvalid Checksum"});
  EXPECT_EQ(rig.window.slots[3].Name(), "Got3");
  EXPECT_EQ(rig.window.slots[4], mv::MotorProfileDefaults(4));
  EXPECT_EQ(rig.window.slots[5].Name(), "Got5");
}

TEST(ProfileTransfer, SaveSendsTheSlotAsAtTheClickAndReportsARefusal) {
  MainRig rig;
  rig.window.slots[1] = Named(1, "Before");
  ASSERT_TRUE(Sent(rig.requests.SaveProfile(1, rig.window.slots[1])));
  rig.window.slots[1] = Named(1, "After");  // changed after the click
  rig.Answer(0x07, {2, 1});
  ASSERT_EQ(rig.port.frames.size(), 1u);
  EXPECT_EQ(rig.port.frames[0].size(), 224u);
  std::vector<std::uint8_t> expect{0x34};
  const auto block = Block(1, Named(1, "Before"));
  expect.insert(expect.end(), block.begin(), block.end());
  EXPECT_EQ(rig.port.frames[0], expect);
  EXPECT_TRUE(rig.window.messages.empty());

  ASSERT_TRUE(Sent(rig.requests.SaveProfile(1, rig.window.slots[1])));
  rig.Answer(0x07, {2, 0});
  EXPECT_EQ(rig.window.messages, std::vector<std::string>{"ERROR: Motor profile 2 not changed"});
  // A result byte that never came is not taken for success.
  ASSERT_TRUE(Sent(rig.requests.SaveProfile(4, rig.window.slots[4])));
  rig.Answer(0x0B, {});
  EXPECT_EQ(rig.window.messages.back(), "ERROR: Motor profile 5 not changed");
}

TEST(ProfileTransfer, SaveAllSendsSixBlocksAndReportsEveryRefusal) {
  MainRig rig;
  for (int i = 0; i < 6; ++i)
    rig.window.slots[static_cast<std::size_t>(i)] = Named(i, ("S" + std::to_string(i)).c_str());
  ASSERT_TRUE(Sent(rig.requests.SaveAllProfiles(rig.window.slots)));
  // A second click while it runs is refused and must not rewrite the blocks
  // that the remaining steps are still sent from.
  const mv::MotorProfile saved2 = rig.window.slots[2];
  rig.window.slots[2] = Named(2, "Changed");
  EXPECT_FALSE(Sent(rig.requests.SaveAllProfiles(rig.window.slots)));
  EXPECT_EQ(rig.engine.Counters().busy, 1u);
  for (int i = 0; i < 6; ++i) rig.Answer(0x07, {static_cast<std::uint8_t>(i + 1), 0});  // all "not changed"
  ASSERT_EQ(rig.port.frames.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(rig.port.frames[i].size(), 224u);
    EXPECT_EQ(rig.port.frames[i][1], i);
  }
  EXPECT_EQ(std::vector<std::uint8_t>(rig.port.frames[2].begin() + 2, rig.port.frames[2].end()),
            std::vector<std::uint8_t>(saved2.bytes.begin(), saved2.bytes.end()));
  // Every refused save is said, none passed over as done.
  ASSERT_EQ(rig.window.messages.size(), 6u);
  EXPECT_EQ(rig.window.messages[5], "ERROR: Motor profile 6 not changed");
  EXPECT_FALSE(rig.window.results.back().Ok());
}
