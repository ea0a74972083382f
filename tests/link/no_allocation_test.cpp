// The link path allocates nothing per request or per byte: a whole profile
// transfer and a status-sized exchange run with the global allocator unused,
// the link's flight recorder watching as it always does.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "link/main_requests.h"
#include "session/link_recorder.h"
#include "support/link_fakes.h"

namespace {
std::atomic<long> gAllocations{0};
}  // namespace

void* operator new(std::size_t n) {
  ++gAllocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class QuietWindow {
 public:
  mv::MotorProfile slots[mv::kSlotCount];
  int messages = 0;
  void Ended(const mv::MainResult& r) {
    for (int i = 0; i < mv::kSlotCount; ++i) {
      if (r.slotOutcome[static_cast<std::size_t>(i)] == mv::SlotOutcome::Received)
        slots[i] = r.profiles[static_cast<std::size_t>(i)];
      char text[96];
      messages += mv::SlotMessage(r, i, text, sizeof text) ? 1 : 0;
    }
  }
};

}  // namespace

TEST(LinkPath, NoAllocationPerRequestOrByte) {
  linktest::Rig rig;
  rig.port.frames.reserve(64);
  rig.port.buffers.reserve(64);
  rig.bar.ended.reserve(64);
  rig.bar.ends.reserve(64);
  QuietWindow window;
  mv::LinkRecorder recorder(&rig.port);  // its ring is made here, once
  rig.engine.SetTrace(&recorder);
  mv::MainRequests requests(rig.engine.Sender());
  requests.SetResultSink(mv::MainResultSink::Bind<&QuietWindow::Ended>(&window));
  std::uint8_t block[1 + mv::kSlotBlockSize];
  block[0] = 0x53;
  block[1] = 2;
  const mv::MotorProfile p = mv::MotorProfileDefaults(2);
  for (std::size_t i = 0; i < mv::kProfileSize; ++i) block[2 + i] = p.bytes[i];

  // Frames the fake port records are the only allocations: count them apart.
  const long before = gAllocations.load();
  ASSERT_EQ(requests.GetAllProfiles(), mv::RequestOutcome::Pending);
  for (int step = 0; step < 6; ++step) {
    block[1] = static_cast<std::uint8_t>(step);
    for (std::uint8_t b : block) rig.engine.RxChar(b);
  }
  ASSERT_EQ(requests.GetDriveData(), mv::RequestOutcome::Pending);
  for (std::uint8_t b : {0x77, 0x41, 0x42, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) rig.engine.RxChar(b);
  for (std::uint8_t b : {0xDD, 1, 2, 3, 4, 5, 6, 0x07, 1, 2, 0xC1, 1, 2}) rig.engine.RxChar(b);
  const long frames = static_cast<long>(rig.port.frames.size());
  EXPECT_EQ(frames, 10);
  EXPECT_EQ(gAllocations.load() - before, frames);  // one vector per recorded frame, nothing else
  EXPECT_EQ(window.messages, 0);
  EXPECT_EQ(window.slots[5], p);
  EXPECT_EQ(recorder.Ring().Size(), 2u + 6 * 2 + 2 + 4 * 2);  // every frame and answer was recorded
}
