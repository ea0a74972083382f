#include "link/engine.h"

#include <chrono>
#include <cstring>

namespace mv {

std::uint32_t EncodeFrame(const RequestStep& step, std::uint8_t* buffer) {
  if (step.length > kMaxStepData || (step.length > 0 && step.data == nullptr)) return 0;
  buffer[0] = step.command;
  if (step.length > 0) std::memcpy(buffer + 1, step.data, step.length);
  return 1 + step.length;
}

// ---- ResponseParser -------------------------------------------------------

bool ResponseParser::BindResponse(Response* response) {
  if (state_ != ParserState::Unbound || response == nullptr) return false;
  bound_ = response;
  state_ = ParserState::AwaitCode;
  return true;
}

void ResponseParser::ResetParser() {
  // Without a bound response there is nothing to deliver to: stay unbound.
  if (bound_ != nullptr) state_ = ParserState::AwaitCode;
}

void ResponseParser::EndDelivery() {
  if (state_ == ParserState::Delivered) state_ = ParserState::AwaitCode;
}

void ResponseParser::Complete() {
  state_ = ParserState::Completed;
  bound_->code = buffer_[0];
  bound_->payload = buffer_.data() + 1;
  bound_->length = static_cast<std::uint32_t>(payloadLength_);
  state_ = ParserState::Delivered;
}

ParseResult ResponseParser::ParseByte(std::uint8_t byte) {
  buffer_[writePos_] = byte;
  if (writePos_ < kReceiveWriteLimit) ++writePos_;

  switch (state_) {
    case ParserState::AwaitCode: {
      code_ = byte;
      const std::int16_t length = ResponseLengthTable[byte];
      if (length < 0) return ParseResult::BadCode;
      buffer_[0] = byte;
      writePos_ = 1;
      payloadLength_ = length;
      remaining_ = length;
      if (length == 0) {
        Complete();
        return ParseResult::Complete;
      }
      state_ = ParserState::AwaitPayload;
      return ParseResult::NeedMore;
    }
    case ParserState::AwaitPayload:
      if (--remaining_ == 0) {
        Complete();
        return ParseResult::Complete;
      }
      return ParseResult::NeedMore;
    case ParserState::Unbound:
    case ParserState::Completed:
    case ParserState::Delivered: break;
  }
  return ParseResult::Ignored;
}

// ---- RequestEngine --------------------------------------------------------

const char* RequestOutcomeText(RequestOutcome outcome) {
  switch (outcome) {
    case RequestOutcome::None: return "no request";
    case RequestOutcome::Completed: return "completed";
    case RequestOutcome::Timeout: return "no answer from the drive (timeout)";
    case RequestOutcome::BadCode: return "the drive answered with an unknown response code";
    case RequestOutcome::RxError: return "receive error on the line";
    case RequestOutcome::RxBreak: return "break received on the line";
    case RequestOutcome::FrameRefused: return "the port refused the frame (nothing was sent)";
    case RequestOutcome::Shifted:
      return "an answer came that nothing asked for (the answers may be an earlier request's)";
    case RequestOutcome::LineNotQuiet: return "the line did not fall quiet (nothing was sent)";
    case RequestOutcome::Abandoned: return "given up";
    case RequestOutcome::Preempted: return "given up for Stop";
    case RequestOutcome::DeviceGone: return "the device has gone";
    case RequestOutcome::RefusedPortClosed: return kPortNotOpenedText;
    case RequestOutcome::RefusedBusy: return "another request is in progress";
    case RequestOutcome::RefusedInvalid: return "the request cannot be sent";
    case RequestOutcome::Pending: return "in progress";
  }
  return "unknown";
}

std::string OutcomeWords(const RequestEnd& end) {
  std::string words = RequestOutcomeText(end.outcome);
  if (end.step > 0 && end.outcome != RequestOutcome::Completed && !IsRefusal(end.outcome))
    words += " at step " + std::to_string(end.step) + " of " + std::to_string(end.count);
  return words;
}

int FirstByteTimeoutMs(std::uint32_t frameLength, std::uint32_t bitsPerSecond) {
  if (bitsPerSecond == 0) return kFirstByteTimeoutMs;
  const std::uint64_t bits = std::uint64_t{frameLength} * kLineBitsPerByte;
  const std::uint64_t lineMs = (bits * 1000u + bitsPerSecond / 2u) / bitsPerSecond;
  return kFirstByteTimeoutMs + static_cast<int>(lineMs);
}

std::int64_t SteadyClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

RequestEngine::RequestEngine(LinkPort& port, Timer& timer, LinkView* view) : port_(port), timer_(timer), view_(view) {
  parser_.BindResponse(&lastResponse_);
  timer_.SetEnabled(false);
  timer_.OnTimer = [this] { OnTimer(); };
}

RequestSender RequestEngine::Sender() {
  return RequestSender{
      [](void* o, const RequestStep* steps, std::uint32_t count, RequestPriority priority,
         const RequestCompletion* done) { return static_cast<RequestEngine*>(o)->Start(steps, count, priority, done); },
      this, [](const void* o) { return static_cast<const RequestEngine*>(o)->Busy(); },
      [](const void* o) { return static_cast<const RequestEngine*>(o)->LastRoundTripNs(); },
      [](void* o, const RequestCompletion* done) { static_cast<RequestEngine*>(o)->Abandon(done); }};
}

void RequestEngine::Changed() {
  if (view_ != nullptr) view_->CountersChanged(counters_);
}

void RequestEngine::ArmTimer(int ms) {
  timer_.SetInterval(ms);
  timer_.SetEnabled(false);
  timer_.SetEnabled(true);
}

RequestOutcome RequestEngine::Start(const RequestStep* steps, std::uint32_t count, RequestPriority priority,
                                    const RequestCompletion* done) {
  // A table the frame buffers cannot hold is a caller's mistake: refuse it
  // before anything changes, so no request can fail half-way for that reason.
  if (steps == nullptr || count == 0) return RequestOutcome::RefusedInvalid;
  for (std::uint32_t i = 0; i < count; ++i) {
    const RequestStep& s = steps[i];
    if (s.length > kMaxStepData || (s.length > 0 && s.data == nullptr)) return RequestOutcome::RefusedInvalid;
  }

  if (!port_.GetOpened()) {
    if (view_ != nullptr) view_->SetPortStatusText(kPortNotOpenedText);
    return RequestOutcome::RefusedPortClosed;
  }
  const Queued request{steps, count, done, priority};
  if (busy_) {
    if (priority != RequestPriority::JumpQueue || jumper_.steps != nullptr) {
      ++counters_.busy;
      Changed();
      return RequestOutcome::RefusedBusy;
    }
    switch (phase_) {
      case Phase::Running:
        // Sent when the step in flight has ended (OnComplete, Fail).
        jumper_ = request;
        return RequestOutcome::Pending;
      case Phase::Holding:    // nothing of the running request has been sent
      case Phase::Verifying:  // its answers are in but not proven its own
        timer_.SetEnabled(false);
        suspect_ = suspect_ || phase_ == Phase::Verifying;
        jumper_ = request;
        End(RequestOutcome::Preempted, false, StepInFlight());
        return RequestOutcome::Pending;
      case Phase::Idle: break;
    }
  }
  Begin(request);
  Changed();
  return RequestOutcome::Pending;
}

void RequestEngine::Begin(const Queued& request) {
  busy_ = true;
  abandonRequested_ = false;
  requestStartNs_ = clock_();
  steps_ = request.steps;
  stepCount_ = request.count;
  done_ = request.done;
  keepOnTimeout_ = request.priority == RequestPriority::JumpQueue;
  stepIndex_ = 0;
  verifying_ = false;
  if (trace_ != nullptr) trace_->RequestBegun(steps_, stepCount_, suspect_);
  if (suspect_) {
    // An answer nobody waits for may still be on its way: the first frame
    // goes once the line has been quiet for a while (RxChar re-arms).
    phase_ = Phase::Holding;
    holdStartNs_ = requestStartNs_;
    ArmTimer(kQuietLineMs);
    return;
  }
  phase_ = Phase::Running;
  SendStep();
}

void RequestEngine::LeaveHold() {
  // Whatever arrived during the hold was dropped; what the driver still
  // holds goes too, so the first answer parsed is to our first frame.
  port_.DiscardInput();
  parser_.ResetParser();
  verifying_ = suspect_;
  suspect_ = false;
  phase_ = Phase::Running;
  requestStartNs_ = clock_();
  SendStep();
  Changed();
}

void RequestEngine::SendStep() {
  std::uint8_t* frame = NextFrameBuffer();
  const std::uint32_t length = EncodeFrame(steps_[stepIndex_], frame);
  // A refused frame is reported by the port and ends in the timeout. (Every
  // step was checked when the request was accepted; a table changed since
  // then cannot be encoded and is not sent either.)
  frameRefused_ = length == 0 || !port_.TxData(frame, static_cast<int>(length));
  if (trace_ != nullptr) trace_->FrameSent(stepIndex_ + 1, frame, length, !frameRefused_);
  lastFrameLength_ = length;
  ArmTimer(FirstByteTimeoutMs(length, port_.BitsPerSecond()));
  ++counters_.tx;
}

std::uint32_t RequestEngine::StepInFlight() const {
  switch (phase_) {
    case Phase::Holding: return 0;
    case Phase::Verifying: return stepCount_;
    case Phase::Idle:
    case Phase::Running: break;
  }
  return stepIndex_ + 1;
}

void RequestEngine::End(RequestOutcome outcome, bool trusted, std::uint32_t step) {
  const RequestEnd end{outcome, step, stepCount_, trusted};
  if (trace_ != nullptr) trace_->RequestEnded(end);
  const RequestCompletion* done = done_;
  busy_ = false;
  phase_ = Phase::Idle;
  done_ = nullptr;
  abandonRequested_ = false;
  lastOutcome_ = outcome;
  // The request that jumped the queue goes first: whatever the completion
  // below sends is refused as busy until it has ended.
  if (jumper_.steps != nullptr) {
    const Queued next = jumper_;
    jumper_ = Queued{};
    Begin(next);
    Changed();
  }
  if (done != nullptr) (*done)(end);
  if (view_ != nullptr) view_->RequestEnded(end);
}

void RequestEngine::EndJumper(RequestOutcome outcome) {
  const Queued jumped = jumper_;
  jumper_ = Queued{};
  const RequestEnd end{outcome, 0, jumped.count, false};
  if (jumped.done != nullptr) (*jumped.done)(end);
  if (view_ != nullptr) view_->RequestEnded(end);
}

void RequestEngine::Fail(RequestOutcome outcome, std::uint32_t& counter, bool resetParser) {
  timer_.SetEnabled(false);
  if (resetParser) parser_.ResetParser();
  // Whatever of the frame still waits in the driver must never reach the
  // drive after the failure has been reported; a Stop is left to arrive.
  if (outcome == RequestOutcome::Timeout && port_.GetOpened() && !(busy_ && keepOnTimeout_)) port_.DiscardOutput();
  suspect_ = true;
  ++counter;
  Changed();
  if (!busy_) {
    if (trace_ != nullptr) trace_->InputDropped(outcome == RequestOutcome::Timeout);
    return;
  }
  if (frameRefused_ && outcome == RequestOutcome::Timeout) outcome = RequestOutcome::FrameRefused;
  End(outcome, !verifying_, StepInFlight());
}

void RequestEngine::OnComplete() {
  ++counters_.rx;
  if (busy_ && frameRefused_) {
    if (trace_ != nullptr) trace_->ResponseComplete(lastResponse_, false);
    // The drive never got this step's frame: whatever completed is not its
    // answer. Counted and dropped; the request still ends in its timeout.
    ArmTimer(kInterByteTimeoutMs);
    parser_.EndDelivery();
    Changed();
    return;
  }
  timer_.SetEnabled(false);

  // A response that completes while no request is waiting for it (a late
  // answer to an abandoned request, or noise that happened to parse) is
  // counted and dropped: no handler runs and nothing is sent. The next
  // request does not trust the line.
  if (!busy_ || stepIndex_ >= stepCount_) {
    if (trace_ != nullptr) trace_->ResponseComplete(lastResponse_, false);
    suspect_ = true;
    parser_.EndDelivery();
    Changed();
    return;
  }
  if (stepIndex_ + 1 == stepCount_) lastRoundTripNs_ = clock_() - requestStartNs_;
  const RequestStep& step = steps_[stepIndex_];
  if (trace_ != nullptr) trace_->ResponseComplete(lastResponse_, true);
  if (step.handler) step.handler(step, lastResponse_);
  ++stepIndex_;
  parser_.EndDelivery();
  const bool last = stepIndex_ >= stepCount_;
  if (jumper_.steps != nullptr || abandonRequested_) {
    // The step in flight has ended by its answer: the line is clean again
    // (unless this request started on a suspect line and had yet to prove it).
    if (last && !verifying_) {
      End(RequestOutcome::Completed, true, stepCount_);
    } else {
      // It ends with the step whose answer came.
      suspect_ = suspect_ || verifying_;
      End(jumper_.steps != nullptr ? RequestOutcome::Preempted : RequestOutcome::Abandoned, !verifying_, stepIndex_);
    }
    Changed();
    return;
  }
  if (!last) {
    SendStep();
  } else if (verifying_) {
    // Its answers are in; if they were one request late, the real last
    // answer is still to come within a first-byte timeout.
    phase_ = Phase::Verifying;
    const int ms = FirstByteTimeoutMs(lastFrameLength_, port_.BitsPerSecond());
    if (trace_ != nullptr) trace_->VerifyBegun(ms);
    ArmTimer(ms);
  } else {
    End(RequestOutcome::Completed, true, stepCount_);
  }
  Changed();
}

void RequestEngine::OnTimer() {
  switch (phase_) {
    case Phase::Holding: LeaveHold(); return;
    case Phase::Verifying:
      timer_.SetEnabled(false);
      End(RequestOutcome::Completed, true, stepCount_);
      return;
    case Phase::Idle:
    case Phase::Running: RxTimeout(); return;
  }
}

void RequestEngine::RxChar(std::uint8_t byte) {
  if (phase_ == Phase::Holding) {
    // Dropped: the tail of an answer nobody waits for any more.
    if (trace_ != nullptr) trace_->ByteReceived(byte, ByteUse::WhileHolding);
    if (clock_() - holdStartNs_ > std::int64_t{kHoldLimitMs} * 1000000) {
      timer_.SetEnabled(false);
      ++counters_.errs;
      End(RequestOutcome::LineNotQuiet, false, 0);
      Changed();
      return;
    }
    ArmTimer(kQuietLineMs);
    return;
  }
  if (phase_ == Phase::Verifying) {
    // One answer more than frames sent: every answer was one request late.
    if (trace_ != nullptr) trace_->ByteReceived(byte, ByteUse::AfterLast);
    timer_.SetEnabled(false);
    parser_.ResetParser();
    suspect_ = true;
    ++counters_.errs;
    End(RequestOutcome::Shifted, false, stepCount_);
    Changed();
    return;
  }
  const ParseResult parsed = parser_.ParseByte(byte);
  if (trace_ != nullptr) trace_->ByteReceived(byte, parsed == ParseResult::BadCode ? ByteUse::BadCode : ByteUse::Part);
  switch (parsed) {
    case ParseResult::NeedMore: ArmTimer(kInterByteTimeoutMs); break;
    case ParseResult::BadCode: Fail(RequestOutcome::BadCode, counters_.errs, false); break;
    case ParseResult::Complete: OnComplete(); break;
    case ParseResult::Ignored: break;
  }
}

void RequestEngine::RxError() {
  if (phase_ == Phase::Holding) {
    ArmTimer(kQuietLineMs);  // noise on a line we wait to fall quiet
    return;
  }
  Fail(RequestOutcome::RxError, counters_.errs, true);
}

void RequestEngine::RxBreak() {
  if (phase_ == Phase::Holding) {
    ArmTimer(kQuietLineMs);
    return;
  }
  Fail(RequestOutcome::RxBreak, counters_.errs, true);
}

void RequestEngine::RxTimeout() {
  // Also a stray partial response that arrived while no request was in
  // progress: it is dropped so the next request starts clean, and counted as
  // every timeout is.
  Fail(RequestOutcome::Timeout, counters_.to, true);
}

void RequestEngine::Abandon(const RequestCompletion* done) {
  if (done == nullptr) return;
  if (jumper_.done == done) {
    EndJumper(RequestOutcome::Abandoned);
    return;
  }
  if (!busy_ || done_ != done) return;
  switch (phase_) {
    case Phase::Running: abandonRequested_ = true; return;  // ends with the step in flight
    case Phase::Verifying: suspect_ = true; [[fallthrough]];
    case Phase::Holding:
      timer_.SetEnabled(false);
      End(RequestOutcome::Abandoned, false, StepInFlight());
      Changed();
      return;
    case Phase::Idle: return;
  }
}

void RequestEngine::EndNow(RequestOutcome outcome) {
  timer_.SetEnabled(false);
  parser_.ResetParser();
  suspect_ = true;
  if (jumper_.steps != nullptr) EndJumper(outcome);
  if (busy_) End(outcome, false, StepInFlight());
  Changed();
}

void RequestEngine::ResetCounters() {
  counters_ = LinkCounters{};
  Changed();
}

}  // namespace mv
