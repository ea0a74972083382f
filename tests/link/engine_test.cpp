#include <gtest/gtest.h>

#include <vector>

#include "link/engine.h"
#include "support/link_fakes.h"

using linktest::Rig;
using mv::ParseResult;
using mv::ParserState;
using mv::RequestOutcome;
using mv::RequestStep;
using mv::Response;
using mv::StepHandler;

namespace {

// Records every handler call: which step, what code and payload it saw.
struct Recorder {
  struct Call {
    const RequestStep* step;
    std::uint8_t code;
    std::vector<std::uint8_t> payload;
  };
  std::vector<Call> calls;
  mv::RequestEngine* engine = nullptr;  // when set, the handler tries to send again
  std::vector<bool> resent;

  void OnResponse(const RequestStep& s, const Response& r) {
    calls.push_back({&s, r.code, std::vector<std::uint8_t>(r.payload, r.payload + r.length)});
    if (engine != nullptr) resent.push_back(engine->SendRequest(&s, 1));
  }
  StepHandler Handler() { return StepHandler::Bind<&Recorder::OnResponse>(this); }
};

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first = 0) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
  return v;
}

}  // namespace

TEST(EncodeFrame, CommandThenDataAndRefusesWhatDoesNotFit) {
  std::uint8_t buf[mv::kFrameBufferSize];
  RequestStep bare{0x24, nullptr, 0, {}};
  EXPECT_EQ(mv::EncodeFrame(bare, buf), 1u);
  EXPECT_EQ(buf[0], 0x24);

  const std::uint8_t data[] = {0x07, 0x77};
  RequestStep reset{0x39, data, 2, {}};
  ASSERT_EQ(mv::EncodeFrame(reset, buf), 3u);
  EXPECT_EQ(buf[1], 0x07);
  EXPECT_EQ(buf[2], 0x77);

  std::vector<std::uint8_t> big(mv::kMaxStepData + 1, 0xAA);
  RequestStep tooLong{0x34, big.data(), static_cast<std::uint32_t>(big.size()), {}};
  EXPECT_EQ(mv::EncodeFrame(tooLong, buf), 0u);
  RequestStep noData{0x34, nullptr, 5, {}};
  EXPECT_EQ(mv::EncodeFrame(noData, buf), 0u);
}

TEST(ResponseParser, BindsOnceAndIgnoresBytesWhileUnbound) {
  mv::ResponseParser p;
  EXPECT_EQ(p.ParseByte(0x0B), ParseResult::Ignored);
  p.ResetParser();  // stays unbound: there is no record to deliver to
  EXPECT_EQ(p.State(), ParserState::Unbound);
  Response a, b;
  EXPECT_TRUE(p.BindResponse(&a));
  EXPECT_FALSE(p.BindResponse(&b));
  EXPECT_EQ(p.ParseByte(0x0B), ParseResult::Complete);
  EXPECT_EQ(a.code, 0x0B);
  EXPECT_EQ(a.length, 0u);
  EXPECT_EQ(b.code, 0);
  // Delivered until EndDelivery: bytes meanwhile are ignored.
  EXPECT_EQ(p.ParseByte(0x07), ParseResult::Ignored);
  p.EndDelivery();
  EXPECT_EQ(p.State(), ParserState::AwaitCode);
}

TEST(ResponseParser, FramesByTheCodeTableAndNeverWritesPastItsBuffer) {
  mv::ResponseParser p;
  Response r;
  p.BindResponse(&r);
  // 0x53 takes exactly 223 payload bytes; the next byte is a new code.
  EXPECT_EQ(p.ParseByte(0x53), ParseResult::NeedMore);
  for (int i = 0; i < 222; ++i) ASSERT_EQ(p.ParseByte(static_cast<std::uint8_t>(i)), ParseResult::NeedMore);
  EXPECT_EQ(p.ParseByte(0xEE), ParseResult::Complete);
  EXPECT_EQ(r.length, 223u);
  EXPECT_EQ(r.payload[0], 0);
  EXPECT_EQ(r.payload[222], 0xEE);
  p.EndDelivery();
  EXPECT_EQ(p.ParseByte(0x07), ParseResult::NeedMore);
  p.ResetParser();

  // A long run of unknown codes keeps the write position at its limit.
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(p.ParseByte(0x01), ParseResult::BadCode);
  EXPECT_EQ(p.WritePosition(), mv::kReceiveWriteLimit);
  EXPECT_EQ(p.ParseByte(0x09), ParseResult::NeedMore);
  EXPECT_EQ(p.ParseByte(0x42), ParseResult::Complete);
  EXPECT_EQ(r.code, 0x09);
  EXPECT_EQ(r.payload[0], 0x42);
}

TEST(RequestEngine, SendsStepsOneAfterAnotherWithTheRightTimeouts) {
  Rig rig;
  Recorder rec;
  const std::uint8_t slot = 3;
  RequestStep steps[3] = {
      {0x24, nullptr, 0, rec.Handler()}, {0x35, &slot, 1, rec.Handler()}, {0x0B, nullptr, 0, rec.Handler()}};
  ASSERT_TRUE(rig.engine.SendRequest(steps, 3));
  ASSERT_EQ(rig.port.frames.size(), 1u);
  EXPECT_EQ(rig.port.frames[0], std::vector<std::uint8_t>{0x24});  // a 0-length step is the command alone
  EXPECT_TRUE(rig.timer.enabled);
  EXPECT_EQ(rig.timer.interval, mv::kFirstByteTimeoutMs);
  EXPECT_TRUE(rig.engine.Busy());

  // Code 11 completes on its own; the handler sees a payload of length 0.
  rig.engine.RxChar(0x0B);
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0].step, &steps[0]);
  EXPECT_TRUE(rec.calls[0].payload.empty());
  ASSERT_EQ(rig.port.frames.size(), 2u);
  EXPECT_EQ(rig.port.frames[1], (std::vector<std::uint8_t>{0x35, 0x03}));

  // Profile answer: 223 bytes, inter-byte timer re-armed at 80 ms.
  rig.engine.RxChar(0x53);
  EXPECT_EQ(rig.timer.interval, mv::kInterByteTimeoutMs);
  EXPECT_TRUE(rig.timer.enabled);
  rig.Feed(Bytes(223, 1));
  ASSERT_EQ(rec.calls.size(), 2u);
  EXPECT_EQ(rec.calls[1].code, 0x53);
  EXPECT_EQ(rec.calls[1].payload, Bytes(223, 1));
  EXPECT_EQ(rec.calls[1].step->data[0], 3);  // the handler can read what it asked for
  ASSERT_EQ(rig.port.frames.size(), 3u);
  EXPECT_EQ(rig.timer.interval, mv::kFirstByteTimeoutMs);

  rig.Answer(0x07, {0xAA, 0xBB});
  ASSERT_EQ(rec.calls.size(), 3u);
  EXPECT_EQ(rec.calls[2].payload, (std::vector<std::uint8_t>{0xAA, 0xBB}));
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_FALSE(rig.timer.enabled);
  EXPECT_EQ(rig.bar.counters.tx, 3u);
  EXPECT_EQ(rig.bar.counters.rx, 3u);
  EXPECT_EQ(rig.bar.ended, std::vector<RequestOutcome>{RequestOutcome::Completed});

  // Frames take the two buffers in turn: a frame is never built in the buffer
  // the port was last given, which it may still be sending from.
  EXPECT_NE(rig.port.buffers[0], rig.port.buffers[1]);
  EXPECT_NE(rig.port.buffers[1], rig.port.buffers[2]);
  EXPECT_EQ(rig.port.buffers[0], rig.port.buffers[2]);
  // Also across requests: the next request's first frame avoids the buffer of
  // the last frame sent.
  ASSERT_TRUE(rig.engine.SendRequest(steps, 1));
  EXPECT_NE(rig.port.buffers[3], rig.port.buffers[2]);
}

TEST(RequestEngine, BadCodeEndsTheRequestAndAValidByteInsideStartsANewResponse) {
  Rig rig;
  Recorder rec;
  RequestStep steps[2] = {{0x77, nullptr, 0, rec.Handler()}, {0x0D, nullptr, 0, rec.Handler()}};
  ASSERT_TRUE(rig.engine.SendRequest(steps, 2));
  rig.engine.RxChar(0x01);  // not a response code
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_FALSE(rig.timer.enabled);
  EXPECT_EQ(rig.bar.counters.errs, 1u);
  EXPECT_EQ(rig.engine.LastOutcome(), RequestOutcome::BadCode);

  // The rest of the broken answer: 0x02 is again a bad code, 0x07 starts a
  // response that completes on its two bytes, but no step waits for it.
  rig.Feed({0x02, 0x07, 0x10, 0x20});
  EXPECT_EQ(rig.bar.counters.errs, 2u);
  EXPECT_EQ(rig.bar.counters.rx, 1u);
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(rig.port.frames.size(), 1u);  // the second step was never sent
  EXPECT_EQ(rig.bar.ended.size(), 1u);
}

TEST(RequestEngine, SecondRequestIsRefusedAsBusyAndTheFirstRunsToItsEnd) {
  Rig rig;
  Recorder rec;
  rec.engine = &rig.engine;  // a handler sending from inside is refused too
  RequestStep steps[2] = {{0x78, nullptr, 0, rec.Handler()}, {0x78, nullptr, 0, rec.Handler()}};
  RequestStep other{0x24, nullptr, 0, {}};
  ASSERT_TRUE(rig.engine.SendRequest(steps, 2));
  EXPECT_FALSE(rig.engine.SendRequest(&other, 1));
  EXPECT_EQ(rig.bar.counters.busy, 1u);
  rig.Answer(0x07, {1, 2});
  rig.Answer(0x07, {3, 4});
  EXPECT_EQ(rec.calls.size(), 2u);
  EXPECT_EQ(rec.resent, (std::vector<bool>{false, false}));
  EXPECT_EQ(rig.bar.counters.busy, 3u);
  EXPECT_EQ(rig.bar.counters.tx, 2u);
  EXPECT_EQ(rig.port.frames.size(), 2u);
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_TRUE(rig.engine.SendRequest(&other, 1));
}

TEST(RequestEngine, TimeoutAbandonsAndTheNextRequestStartsFromACleanParser) {
  Rig rig;
  Recorder rec;
  RequestStep step{0x35, nullptr, 0, rec.Handler()};
  ASSERT_TRUE(rig.engine.SendRequest(&step, 1));
  rig.engine.RxChar(0x53);
  rig.Feed(Bytes(100));  // half an answer, then silence
  rig.timer.Expire();
  EXPECT_EQ(rig.bar.counters.to, 1u);
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_FALSE(rig.timer.enabled);
  EXPECT_EQ(rig.engine.Parser().State(), ParserState::AwaitCode);
  EXPECT_EQ(rig.bar.ended.back(), RequestOutcome::Timeout);

  // What of the frame had not left is withdrawn, never sent later.
  EXPECT_EQ(rig.port.outputDiscards, 1);

  // The next frame waits for a quiet line; the rest of the late answer that
  // arrives meanwhile is dropped, never taken as the next request's.
  RequestStep next{0x78, nullptr, 0, rec.Handler()};
  ASSERT_TRUE(rig.engine.SendRequest(&next, 1));
  EXPECT_EQ(rig.port.frames.size(), 1u);
  EXPECT_EQ(rig.timer.interval, mv::kQuietLineMs);
  rig.Feed(Bytes(123));
  rig.timer.Expire();  // quiet at last
  EXPECT_EQ(rig.port.inputDiscards, 1);
  ASSERT_EQ(rig.port.frames.size(), 2u);
  rig.Answer(0x07, {0x39, 0x30});
  ASSERT_EQ(rec.calls.size(), 1u);
  EXPECT_EQ(rec.calls[0].step, &next);
  EXPECT_EQ(rec.calls[0].payload, (std::vector<std::uint8_t>{0x39, 0x30}));
  // Its answers are its own only if nothing more comes: one first-byte
  // timeout of quiet, then it has completed.
  EXPECT_TRUE(rig.engine.Busy());
  rig.timer.Expire();
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_EQ(rig.bar.ended.back(), RequestOutcome::Completed);
  EXPECT_TRUE(rig.bar.ends.back().trusted);
  EXPECT_FALSE(rig.engine.LineSuspect());
}

TEST(RequestEngine, LateAnswerAfterATimeoutIsCountedAndDropped) {
  Rig rig;
  Recorder rec;
  RequestStep steps[2] = {{0x78, nullptr, 0, rec.Handler()}, {0x78, nullptr, 0, rec.Handler()}};
  ASSERT_TRUE(rig.engine.SendRequest(steps, 2));
  rig.timer.Expire();
  rig.Answer(0x07, {1, 2});  // the answer to step 1 arrives after all
  EXPECT_EQ(rig.bar.counters.rx, 1u);
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(rig.port.frames.size(), 1u);  // nothing sent while idle
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_FALSE(rig.timer.enabled);

  // A stray partial answer while idle is dropped when its bytes stop coming,
  // and that timeout is counted as every other.
  rig.Feed({0x77, 'a', 'b'});
  EXPECT_TRUE(rig.timer.enabled);
  rig.timer.Expire();
  EXPECT_EQ(rig.bar.counters.to, 2u);
  EXPECT_FALSE(rig.timer.enabled);
  EXPECT_EQ(rig.engine.Parser().State(), ParserState::AwaitCode);
  EXPECT_EQ(rig.bar.ended.size(), 1u);  // no request ended with it
}

TEST(RequestEngine, SixStepRequestCountsAndFailureAtStepThree) {
  Rig rig;
  RequestStep six[6];
  for (auto& s : six) s = {0x35, nullptr, 0, {}};
  ASSERT_TRUE(rig.engine.SendRequest(six, 6));
  for (int i = 0; i < 6; ++i) rig.Answer(0x07, {0, 1});
  EXPECT_EQ(rig.bar.counters.tx, 6u);
  EXPECT_EQ(rig.bar.counters.rx, 6u);

  rig.engine.ResetCounters();
  ASSERT_TRUE(rig.engine.SendRequest(six, 6));
  rig.Answer(0x07, {0, 1});
  rig.Answer(0x07, {0, 1});
  rig.engine.RxChar(0x07);
  rig.timer.Expire();  // gap inside the third answer
  EXPECT_EQ(rig.bar.counters.tx, 3u);
  EXPECT_EQ(rig.bar.counters.rx, 2u);
  EXPECT_EQ(rig.bar.counters.to, 1u);
  EXPECT_FALSE(rig.engine.Busy());
}

TEST(RequestEngine, CounterResetWhileRunningLeavesTheRequestAlone) {
  Rig rig;
  RequestStep two[2] = {{0x78, nullptr, 0, {}}, {0x78, nullptr, 0, {}}};
  ASSERT_TRUE(rig.engine.SendRequest(two, 2));
  rig.Answer(0x07, {0, 1});
  rig.engine.ResetCounters();
  EXPECT_EQ(rig.bar.counters.tx, 0u);
  EXPECT_EQ(rig.bar.counters.rx, 0u);
  EXPECT_TRUE(rig.engine.Busy());
  rig.Answer(0x07, {0, 1});
  EXPECT_EQ(rig.bar.counters.rx, 1u);
  EXPECT_EQ(rig.bar.counters.tx, 0u);
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_EQ(rig.port.frames.size(), 2u);
}

TEST(RequestEngine, ClosedPortAndBadTablesAreRefusedWithoutSideEffects) {
  Rig rig;
  rig.port.opened = false;
  RequestStep step{0x24, nullptr, 0, {}};
  EXPECT_FALSE(rig.engine.SendRequest(&step, 1));
  EXPECT_EQ(rig.bar.panel0, "COM port not opened");
  EXPECT_EQ(rig.engine.Counters().tx, 0u);
  EXPECT_EQ(rig.engine.Counters().busy, 0u);
  EXPECT_TRUE(rig.port.frames.empty());
  EXPECT_FALSE(rig.timer.enabled);
  EXPECT_FALSE(rig.engine.Busy());

  rig.port.opened = true;
  rig.bar.panel0.clear();
  EXPECT_FALSE(rig.engine.SendRequest(&step, 0));
  EXPECT_FALSE(rig.engine.SendRequest(nullptr, 1));
  std::vector<std::uint8_t> big(300);
  RequestStep steps[2] = {step, {0x34, big.data(), 300, {}}};  // second step too long for a frame
  EXPECT_FALSE(rig.engine.SendRequest(steps, 2));
  EXPECT_TRUE(rig.port.frames.empty());
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_TRUE(rig.bar.panel0.empty());
}

TEST(RequestEngine, ReceiveErrorAndBreakAbandonWithErrsAndDropThePartialAnswer) {
  for (bool isBreak : {false, true}) {
    Rig rig;
    Recorder rec;
    RequestStep step{0x0D, nullptr, 0, rec.Handler()};
    ASSERT_TRUE(rig.engine.SendRequest(&step, 1));
    rig.Feed({0xDD, 1, 2});
    if (isBreak)
      rig.engine.RxBreak();
    else
      rig.engine.RxError();
    EXPECT_EQ(rig.bar.counters.errs, 1u);
    EXPECT_EQ(rig.bar.counters.to, 0u);
    EXPECT_FALSE(rig.engine.Busy());
    EXPECT_FALSE(rig.timer.enabled);
    EXPECT_EQ(rig.engine.LastOutcome(), isBreak ? RequestOutcome::RxBreak : RequestOutcome::RxError);
    // The rest of the interrupted answer no longer completes anything.
    rig.Feed({3, 4, 5, 6});
    EXPECT_EQ(rig.bar.counters.errs, 5u);  // each taken as a bad code
    EXPECT_TRUE(rec.calls.empty());
  }
}

// The first-byte timeout counts from the hand-over, so it must leave room for
// the frame itself to cross the line: at 9600 bit/s a profile frame takes
// about 233 ms, far beyond the 100 ms alone.
TEST(RequestEngine, FirstByteTimeoutAddsTheFramesOwnLineTime) {
  EXPECT_EQ(mv::FirstByteTimeoutMs(224, 9600), 100 + 233);
  EXPECT_EQ(mv::FirstByteTimeoutMs(224, 115200), 100 + 19);
  EXPECT_EQ(mv::FirstByteTimeoutMs(1, 115200), 100);  // 87 us: under a millisecond added
  EXPECT_EQ(mv::FirstByteTimeoutMs(224, 0), 100);     // speed unknown

  Rig rig;
  rig.port.bps = 9600;
  const std::vector<std::uint8_t> block = Bytes(223);
  RequestStep steps[2] = {{0x35, block.data(), 223, {}}, {0x24, nullptr, 0, {}}};
  ASSERT_TRUE(rig.engine.SendRequest(steps, 2));
  EXPECT_EQ(rig.timer.interval, 333);
  rig.engine.RxChar(0x07);
  EXPECT_EQ(rig.timer.interval, mv::kInterByteTimeoutMs);  // between bytes: unchanged
  rig.Feed({0, 1});
  EXPECT_EQ(rig.timer.interval, 101);  // the one-byte second frame: 1.04 ms on the line
}

// A frame the port refused never reached the drive: a response completing
// meanwhile (stray bytes, a late answer to an earlier request) is not its
// answer. No handler runs, nothing further is sent, and the request ends in
// its timeout as any frame that is not answered.
TEST(RequestEngine, RefusedFrameTakesNoAnswerAndEndsInTheTimeout) {
  Rig rig;
  Recorder rec;
  RequestStep steps[2] = {{0x78, nullptr, 0, rec.Handler()}, {0x78, nullptr, 0, rec.Handler()}};
  rig.port.refuse = true;
  ASSERT_TRUE(rig.engine.SendRequest(steps, 2));
  EXPECT_EQ(rig.bar.counters.tx, 1u);
  rig.Answer(0x07, {1, 2});
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(rig.bar.counters.rx, 1u);
  EXPECT_EQ(rig.port.frames.size(), 1u);
  EXPECT_TRUE(rig.engine.Busy());
  EXPECT_TRUE(rig.timer.enabled);
  rig.timer.Expire();
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_EQ(rig.bar.counters.to, 1u);
  EXPECT_EQ(rig.bar.ended, std::vector<RequestOutcome>{RequestOutcome::FrameRefused});

  // The same for a follow-on step: the first is answered, the second refused.
  rig.port.refuse = false;
  ASSERT_TRUE(rig.engine.SendRequest(steps, 2));
  rig.timer.Expire();  // the line is quiet
  rig.port.refuse = true;
  rig.Answer(0x07, {3, 4});
  ASSERT_EQ(rec.calls.size(), 1u);
  rig.Answer(0x07, {5, 6});  // not the second step's answer
  EXPECT_EQ(rec.calls.size(), 1u);
  rig.timer.Expire();
  EXPECT_EQ(rig.bar.counters.to, 2u);
  EXPECT_EQ(rig.bar.ended.back(), RequestOutcome::FrameRefused);
  EXPECT_EQ(rig.bar.ends.back().step, 2u);

  // And the next accepted frame takes its answer again.
  rig.port.refuse = false;
  ASSERT_TRUE(rig.engine.SendRequest(steps, 1));
  rig.timer.Expire();
  rig.Answer(0x07, {7, 8});
  ASSERT_EQ(rec.calls.size(), 2u);
  EXPECT_EQ(rec.calls[1].payload, (std::vector<std::uint8_t>{7, 8}));
}

// Stop jumps the queue: accepted while a poll runs, sent as soon as the step
// in flight has ended (by its answer or its timeout); the poll ends there.
TEST(RequestEngine, JumpQueueWaitsForTheStepInFlightAndEndsTheRunningRequest) {
  for (const bool answered : {true, false}) {
    SCOPED_TRACE(answered ? "step answered" : "step timed out");
    Rig rig;
    Recorder rec;
    RequestStep poll[3] = {
        {0x74, nullptr, 0, rec.Handler()}, {0x42, nullptr, 0, rec.Handler()}, {0x70, nullptr, 0, rec.Handler()}};
    const RequestStep stop{0x25, nullptr, 0, {}};
    ASSERT_TRUE(rig.engine.SendRequest(poll, 3));
    EXPECT_EQ(rig.engine.Start(&stop, 1, mv::RequestPriority::JumpQueue), RequestOutcome::Pending);
    EXPECT_EQ(rig.port.frames.size(), 1u);  // nothing sent over the step in flight
    EXPECT_EQ(rig.engine.Start(&stop, 1, mv::RequestPriority::JumpQueue), RequestOutcome::RefusedBusy);
    if (answered) {
      rig.Answer(0x07, {1, 0});
    } else {
      rig.timer.Expire();
      rig.timer.Expire();  // the line falls quiet
    }
    ASSERT_EQ(rig.port.frames.size(), 2u);
    EXPECT_EQ(rig.port.frames[1], std::vector<std::uint8_t>{0x25});
    EXPECT_EQ(rig.bar.ended[0], answered ? RequestOutcome::Preempted : RequestOutcome::Timeout);
    EXPECT_EQ(rig.bar.ends[0].step, 1u);
    rig.Answer(0x07, {0, 0});
    if (!answered) rig.timer.Expire();  // proven its own
    EXPECT_EQ(rig.bar.ended.back(), RequestOutcome::Completed);
    EXPECT_EQ(rec.calls.size(), answered ? 1u : 0u);
  }
}

// After a failure a request proves its answers are its own: one answer more
// than it asked for means every answer was a request late.
TEST(RequestEngine, AnswerBeyondTheLastStepMarksTheRequestShifted) {
  Rig rig;
  RequestStep two[2] = {{0x74, nullptr, 0, {}}, {0x42, nullptr, 0, {}}};
  ASSERT_TRUE(rig.engine.SendRequest(two, 2));
  rig.timer.Expire();  // no answer: the line is suspect
  ASSERT_TRUE(rig.engine.SendRequest(two, 2));
  rig.timer.Expire();  // quiet: the first frame goes
  rig.Answer(0x07, {1, 0});
  rig.Answer(0x07, {2, 0});
  EXPECT_TRUE(rig.engine.Busy());  // proving
  rig.Answer(0x07, {3, 0});        // the late last answer
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_EQ(rig.bar.ended.back(), RequestOutcome::Shifted);
  EXPECT_FALSE(rig.bar.ends.back().trusted);
  EXPECT_TRUE(rig.engine.LineSuspect());
}

// The caller gives a request up: it ends once the step in flight has ended,
// nothing more is sent, and the next request goes at once.
TEST(RequestEngine, AbandonEndsAfterTheStepInFlight) {
  Rig rig;
  const mv::RequestCompletion done{};
  RequestStep two[2] = {{0x74, nullptr, 0, {}}, {0x42, nullptr, 0, {}}};
  ASSERT_EQ(rig.engine.Start(two, 2, mv::RequestPriority::Normal, &done), RequestOutcome::Pending);
  rig.engine.Abandon(&done);
  EXPECT_TRUE(rig.engine.Busy());
  rig.Answer(0x07, {1, 0});
  EXPECT_FALSE(rig.engine.Busy());
  EXPECT_EQ(rig.bar.ended.back(), RequestOutcome::Abandoned);
  EXPECT_EQ(rig.port.frames.size(), 1u);
  ASSERT_TRUE(rig.engine.SendRequest(two, 1));
  EXPECT_EQ(rig.port.frames.size(), 2u);
}

// A Stop still waiting to jump that is given up, or whose device goes away,
// ends before any frame of it went out: its caller and the view hear of it,
// with its own number of steps.
TEST(RequestEngine, AWaitingStopEndsWithoutAFrameAndIsTold) {
  for (const bool deviceGone : {false, true}) {
    SCOPED_TRACE(deviceGone ? "device gone" : "abandoned");
    Rig rig;
    std::vector<mv::RequestEnd> told;
    const mv::RequestCompletion done{
        [](void* o, const mv::RequestEnd& e) { static_cast<std::vector<mv::RequestEnd>*>(o)->push_back(e); }, &told};
    RequestStep poll[2] = {{0x74, nullptr, 0, {}}, {0x42, nullptr, 0, {}}};
    const RequestStep stop[2] = {{0x25, nullptr, 0, {}}, {0x25, nullptr, 0, {}}};
    ASSERT_TRUE(rig.engine.SendRequest(poll, 2));
    ASSERT_EQ(rig.engine.Start(stop, 2, mv::RequestPriority::JumpQueue, &done), RequestOutcome::Pending);
    if (deviceGone)
      rig.engine.EndNow(RequestOutcome::DeviceGone);
    else
      rig.engine.Abandon(&done);
    const RequestOutcome expected = deviceGone ? RequestOutcome::DeviceGone : RequestOutcome::Abandoned;
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].outcome, expected);
    EXPECT_EQ(told[0].step, 0u);
    EXPECT_EQ(told[0].count, 2u);
    ASSERT_FALSE(rig.bar.ends.empty());
    EXPECT_EQ(rig.bar.ends[0].outcome, expected);
    EXPECT_EQ(rig.bar.ends[0].count, 2u);
    EXPECT_EQ(rig.port.frames.size(), 1u);  // the poll's first frame only
  }
}

// A Stop without an answer is left to arrive (a drive that stops late still
// does what was asked); every other request withdraws its frame.
TEST(RequestEngine, AStopWithoutAnAnswerIsNotWithdrawn) {
  Rig rig;
  const RequestStep stop{0x25, nullptr, 0, {}};
  ASSERT_EQ(rig.engine.Start(&stop, 1, mv::RequestPriority::JumpQueue), RequestOutcome::Pending);
  rig.timer.Expire();
  EXPECT_EQ(rig.bar.ended.back(), RequestOutcome::Timeout);
  EXPECT_EQ(rig.port.outputDiscards, 0);
}
