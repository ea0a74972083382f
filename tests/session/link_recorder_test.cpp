// The link's flight recorder on the request engine: what each frame and each
// received byte was, as the engine decided it, and the ring that keeps them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "link/main_requests.h"
#include "session/link_recorder.h"
#include "support/link_fakes.h"

namespace {

// One event in a few words: "O 42", "I answer 07 01 00", "end timeout".
std::string Brief(const mv::TraceEvent& e) {
  static const char* const kReadings[] = {"",        "",         "refused", "answer",       "unasked", "not-its-answer",
                                          "cut-off", "bad-code", "dropped", "one-too-many", "stray"};
  switch (e.kind) {
    case mv::TraceKind::Frame: return (e.reading == mv::TraceReading::Refused ? "refused " : "O ") + mv::HexBytes(e);
    case mv::TraceKind::Received:
      return std::string("I ") + kReadings[static_cast<int>(e.reading)] + " " + mv::HexBytes(e);
    case mv::TraceKind::RequestBegun: return e.holding ? "begin hold" : "begin";
    case mv::TraceKind::Verify: return "verify";
    case mv::TraceKind::RequestEnded: return std::string("end ") + mv::RequestOutcomeText(e.outcome);
    case mv::TraceKind::PortClosed: return "closed";
    default: break;
  }
  return "other";
}

struct Traced {
  linktest::Rig rig;
  mv::LinkRecorder recorder{&rig.port};
  const mv::RequestStep steps[2] = {{0x42, nullptr, 0, {}}, {0x72, nullptr, 0, {}}};
  Traced() { rig.engine.SetTrace(&recorder); }
  void Start(std::uint32_t count) { ASSERT_TRUE(rig.engine.SendRequest(steps, count)); }
  std::vector<std::string> Events() const {
    std::vector<std::string> out;
    for (std::uint64_t s = recorder.Ring().First(); s < recorder.Ring().End(); ++s)
      out.push_back(Brief(recorder.Ring().At(s)));
    return out;
  }
};

}  // namespace

TEST(LinkRecorder, EveryFrameAndByteAsTheEngineReadIt) {
  struct Case {
    const char* name;
    std::function<void(Traced&)> run;
    std::vector<std::string> events;
  };
  const std::string timeout = std::string("end ") + mv::RequestOutcomeText(mv::RequestOutcome::Timeout);
  const std::vector<Case> cases = {
      {"two answers",
       [](Traced& t) {
         t.Start(2);
         t.rig.Answer(0x07, {1, 0});
         t.rig.Answer(0x07, {2, 0});
       },
       {"begin", "O 42", "I answer 07 01 00", "O 72", "I answer 07 02 00", "end completed"}},
      {"a timeout cuts an answer off",
       [](Traced& t) {
         t.Start(1);
         t.rig.Feed({0x07, 0x01});
         t.rig.timer.Expire();
       },
       {"begin", "O 42", "I cut-off 07 01", timeout}},
      {"a bad code",
       [](Traced& t) {
         t.Start(1);
         t.rig.Feed({0xFF});
       },
       {"begin", "O 42", "I bad-code FF", std::string("end ") + mv::RequestOutcomeText(mv::RequestOutcome::BadCode)}},
      {"a late answer is dropped while the line falls quiet, one more proves a shift",
       [](Traced& t) {
         t.Start(1);
         t.rig.timer.Expire();
         t.Start(1);
         t.rig.Feed({0x07, 0x09});
         t.rig.timer.Expire();  // quiet: the frame goes
         t.rig.Answer(0x07, {1, 0});
         t.rig.Feed({0x07});
       },
       {"begin", "O 42", timeout, "begin hold", "I dropped 07 09", "O 42", "I answer 07 01 00", "verify",
        "I one-too-many 07", std::string("end ") + mv::RequestOutcomeText(mv::RequestOutcome::Shifted)}},
      {"an answer to a refused frame is not its answer",
       [](Traced& t) {
         t.rig.port.refuse = true;
         t.Start(1);
         t.rig.Answer(0x07, {1, 0});
         t.rig.timer.Expire();
       },
       {"begin", "refused 42", "I not-its-answer 07 01 00",
        std::string("end ") + mv::RequestOutcomeText(mv::RequestOutcome::FrameRefused)}},
      {"bytes while no request runs, each run ended where the engine dropped it",
       [](Traced& t) {
         t.rig.Answer(0x07, {1, 0});
         t.rig.Feed({0x07, 0x01});
         t.rig.timer.Expire();
         t.rig.Feed({0xFF, 0xFE});
         t.recorder.PortClosed();
       },
       {"I unasked 07 01 00", "I stray 07 01", "I bad-code FF", "I bad-code FE", "closed"}},
  };
  for (const Case& c : cases) {
    Traced t;
    c.run(t);
    EXPECT_EQ(t.Events(), c.events) << c.name;
  }
}

TEST(LinkRecorder, TheRingKeepsTheNewestAndALongRunTakesMoreEvents) {
  linktest::Rig rig;
  mv::LinkRecorder recorder(&rig.port, 3);
  rig.engine.SetTrace(&recorder);
  const mv::RequestStep step{0x42, nullptr, 0, {}};
  ASSERT_TRUE(rig.engine.SendRequest(&step, 1));
  rig.timer.Expire();
  ASSERT_TRUE(rig.engine.SendRequest(&step, 1));  // holds for a quiet line
  rig.Feed(std::vector<std::uint8_t>(mv::kTraceDataSize + 10, 0x07));
  rig.timer.Expire();
  const mv::TraceRing& ring = recorder.Ring();
  ASSERT_EQ(ring.Size(), 3u);
  EXPECT_EQ(ring.End() - ring.First(), 3u);
  // begin, O, end, begin hold, 224 dropped, 10 dropped, O: the last three kept.
  EXPECT_EQ(ring.First(), 4u);
  EXPECT_EQ(ring.At(4).length, mv::kTraceDataSize);
  EXPECT_EQ(ring.At(5).length, 10u);
  EXPECT_EQ(ring.At(5).reading, mv::TraceReading::Dropped);
  EXPECT_EQ(ring.At(6).kind, mv::TraceKind::Frame);
  recorder.Clear();
  EXPECT_EQ(ring.Size(), 0u);
  EXPECT_EQ(ring.First(), 7u);
}

TEST(LinkRecorder, AnAnswerThatSaysNoIsAFailure) {
  // A profile block with a wrong checksum, a save the drive refused.
  mv::TraceEvent e;
  e.kind = mv::TraceKind::Received;
  e.reading = mv::TraceReading::Answer;
  e.command = mv::CmdGetProfile;
  const mv::MotorProfile p = mv::MotorProfileDefaults(0);
  e.length = 2 + mv::kProfileSize;
  e.data[0] = 0x53;
  e.data[1] = 0;
  std::copy(p.bytes.begin(), p.bytes.end(), e.data.begin() + 2);
  EXPECT_FALSE(e.Failure());
  e.data[2 + 30] ^= 0x5A;
  EXPECT_TRUE(e.Failure());
  EXPECT_NE(mv::DescribeEvent(e).find("INVALID CHECKSUM"), std::string::npos);
  e.command = mv::CmdSaveProfile;
  e.length = 3;
  e.data = {0x07, 2, 1};
  EXPECT_FALSE(e.Failure());
  e.data[2] = 0;
  EXPECT_TRUE(e.Failure());
}
