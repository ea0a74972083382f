// Get profile into a scratch copy for the compare window: the slots are never
// touched, a bad checksum is kept and told, a refused request changes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "link/main_requests.h"
#include "support/link_fakes.h"

namespace {

using State = mv::ScratchProfile::State;

// Counts what a window would be told to put into its slots or show in boxes.
class SlotsOnly {
 public:
  int slotWrites = 0;
  int messages = 0;
  void Ended(const mv::MainResult& r) {
    for (int i = 0; i < mv::kSlotCount; ++i) {
      char text[96];
      slotWrites += r.slotOutcome[static_cast<std::size_t>(i)] == mv::SlotOutcome::Received ? 1 : 0;
      messages += mv::SlotMessage(r, i, text, sizeof text) ? 1 : 0;
    }
  }
};

bool Sent(mv::RequestOutcome o) { return o == mv::RequestOutcome::Pending; }

struct ScratchRig : linktest::Rig {
  SlotsOnly window;
  mv::MainRequests requests{engine.Sender()};
  ScratchRig() { requests.SetResultSink(mv::MainResultSink::Bind<&SlotsOnly::Ended>(&window)); }

  void AnswerBlock(std::uint8_t slot, const mv::MotorProfile& p) {
    std::vector<std::uint8_t> b(mv::kSlotBlockSize);
    b[0] = slot;
    std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + 1);
    Answer(0x53, b);
  }
};

mv::MotorProfile Changed(int slot) {
  mv::MotorProfile p = mv::MotorProfileDefaults(slot);
  p.SetU16(mv::off::cont_pwm_freq, 110);
  mv::UpdateChecksum(p);
  return p;
}

TEST(ScratchProfile, AnswerGoesToTheScratchCopyNeverToASlot) {
  ScratchRig rig;
  EXPECT_EQ(rig.requests.Scratch().state, State::Empty);
  ASSERT_TRUE(Sent(rig.requests.GetProfileToScratch(3)));
  EXPECT_EQ(rig.port.frames.back(), (std::vector<std::uint8_t>{0x35, 0x03}));
  EXPECT_EQ(rig.requests.Scratch().state, State::Pending);
  EXPECT_EQ(rig.requests.Scratch().askedSlot, 3);
  EXPECT_TRUE(rig.requests.LinkBusy());

  const mv::MotorProfile drive = Changed(3);
  rig.AnswerBlock(3, drive);
  EXPECT_FALSE(rig.requests.LinkBusy());
  const mv::ScratchProfile& s = rig.requests.Scratch();
  EXPECT_EQ(s.state, State::Received);
  EXPECT_EQ(s.answeredSlot, 3);
  EXPECT_TRUE(s.checksumValid);
  EXPECT_EQ(s.profile, drive);
  EXPECT_EQ(rig.window.slotWrites, 0);
  EXPECT_EQ(rig.window.messages, 0);
}

TEST(ScratchProfile, BadChecksumAndStrayAnswersAreKeptAsTheyCame) {
  ScratchRig rig;
  mv::MotorProfile bad = Changed(0);
  bad.SetChecksum(static_cast<std::uint16_t>(bad.Checksum() + 1));
  ASSERT_TRUE(Sent(rig.requests.GetProfileToScratch(0)));
  rig.AnswerBlock(4, bad);  // and for another slot than asked
  const mv::ScratchProfile& s = rig.requests.Scratch();
  EXPECT_EQ(s.state, State::Received);
  EXPECT_FALSE(s.checksumValid);
  EXPECT_EQ(s.askedSlot, 0);
  EXPECT_EQ(s.answeredSlot, 4);
  EXPECT_EQ(s.profile, bad);
  EXPECT_EQ(rig.window.slotWrites, 0);
  EXPECT_EQ(rig.window.messages, 0);

  // An answer too short for a slot block.
  ASSERT_TRUE(Sent(rig.requests.GetProfileToScratch(1)));
  rig.Answer(0x00, {0x01});
  EXPECT_EQ(rig.requests.Scratch().state, State::Short);
  EXPECT_EQ(rig.requests.Scratch().askedSlot, 1);
}

TEST(ScratchProfile, NoAnswerLeavesItPendingWithTheEngineIdle) {
  ScratchRig rig;
  ASSERT_TRUE(Sent(rig.requests.GetProfileToScratch(2)));
  rig.timer.Expire();
  EXPECT_FALSE(rig.requests.LinkBusy());
  EXPECT_EQ(rig.requests.Scratch().state, State::Pending);
}

TEST(ScratchProfile, RefusedRequestsLeaveTheLastResultAsItWas) {
  ScratchRig rig;
  ASSERT_TRUE(Sent(rig.requests.GetProfileToScratch(5)));
  const mv::MotorProfile drive = Changed(5);
  rig.AnswerBlock(5, drive);

  // Busy: another request is running.
  ASSERT_TRUE(Sent(rig.requests.GetDriveData()));
  EXPECT_FALSE(Sent(rig.requests.GetProfileToScratch(1)));
  EXPECT_EQ(rig.requests.Scratch().state, State::Received);
  EXPECT_EQ(rig.requests.Scratch().askedSlot, 5);
  EXPECT_EQ(rig.requests.Scratch().profile, drive);
  rig.timer.Expire();

  // Port closed; slot numbers outside 0..5 send nothing at all.
  rig.port.opened = false;
  EXPECT_FALSE(Sent(rig.requests.GetProfileToScratch(0)));
  rig.port.opened = true;
  const std::size_t frames = rig.port.frames.size();
  EXPECT_FALSE(Sent(rig.requests.GetProfileToScratch(6)));
  EXPECT_FALSE(Sent(rig.requests.GetProfileToScratch(-1)));
  EXPECT_EQ(rig.port.frames.size(), frames);
  EXPECT_EQ(rig.requests.Scratch().askedSlot, 5);
  EXPECT_EQ(rig.requests.Scratch().profile, drive);
}

}  // namespace
