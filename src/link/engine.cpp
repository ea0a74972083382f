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
  }
  return "unknown";
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
  timer_.OnTimer = [this] { RxTimeout(); };
}

RequestSender RequestEngine::Sender() {
  return RequestSender{[](void* o, const RequestStep* steps, std::uint32_t count) {
                         return static_cast<RequestEngine*>(o)->SendRequest(steps, count);
                       },
                       this, [](const void* o) { return static_cast<const RequestEngine*>(o)->Busy(); },
                       [](const void* o) { return static_cast<const RequestEngine*>(o)->LastRoundTripNs(); }};
}

void RequestEngine::Changed() {
  if (view_ != nullptr) view_->CountersChanged(counters_);
}

void RequestEngine::ArmTimer(int ms) {
  timer_.SetInterval(ms);
  timer_.SetEnabled(false);
  timer_.SetEnabled(true);
}

bool RequestEngine::SendRequest(const RequestStep* steps, std::uint32_t count) {
  // A table the frame buffers cannot hold is a caller's mistake: refuse it
  // before anything changes, so no request can fail half-way for that reason.
  if (steps == nullptr || count == 0) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    const RequestStep& s = steps[i];
    if (s.length > kMaxStepData || (s.length > 0 && s.data == nullptr)) return false;
  }

  if (!port_.GetOpened()) {
    if (view_ != nullptr) view_->SetPortStatusText(kPortNotOpenedText);
    return false;
  }
  if (busy_) {
    ++counters_.busy;
    Changed();
    return false;
  }

  busy_ = true;
  requestStartNs_ = clock_();
  steps_ = steps;
  stepCount_ = count;
  stepIndex_ = 0;
  SendStep();
  Changed();
  return true;
}

void RequestEngine::SendStep() {
  std::uint8_t* frame = NextFrameBuffer();
  const std::uint32_t length = EncodeFrame(steps_[stepIndex_], frame);
  // A refused frame is reported by the port and ends in the timeout. (Every
  // step was checked when the request was accepted; a table changed since
  // then cannot be encoded and is not sent either.)
  frameRefused_ = length == 0 || !port_.TxData(frame, static_cast<int>(length));
  ArmTimer(FirstByteTimeoutMs(length, port_.BitsPerSecond()));
  ++counters_.tx;
}

void RequestEngine::Abandon(RequestOutcome outcome, std::uint32_t& counter, bool resetParser) {
  timer_.SetEnabled(false);
  if (resetParser) parser_.ResetParser();
  const bool wasBusy = busy_;
  busy_ = false;
  ++counter;
  Changed();
  if (wasBusy) {
    lastOutcome_ = outcome;
    if (view_ != nullptr) view_->RequestEnded(outcome);
  }
}

void RequestEngine::OnComplete() {
  ++counters_.rx;
  if (busy_ && frameRefused_) {
    // The drive never got this step's frame: whatever completed is not its
    // answer. Counted and dropped; the request still ends in its timeout.
    ArmTimer(kInterByteTimeoutMs);
    parser_.EndDelivery();
    Changed();
    return;
  }
  timer_.SetEnabled(false);

  bool ended = false;
  // A response that completes while no request is waiting for it (a late
  // answer to an abandoned request, or noise that happened to parse) is
  // counted and dropped: no handler runs and nothing is sent.
  if (busy_ && stepIndex_ < stepCount_) {
    if (stepIndex_ + 1 == stepCount_) lastRoundTripNs_ = clock_() - requestStartNs_;
    const RequestStep& step = steps_[stepIndex_];
    if (step.handler) step.handler(step, lastResponse_);
    ++stepIndex_;
    if (stepIndex_ < stepCount_) {
      SendStep();
    } else {
      busy_ = false;
      ended = true;
    }
  }
  parser_.EndDelivery();
  Changed();
  if (ended) {
    lastOutcome_ = RequestOutcome::Completed;
    if (view_ != nullptr) view_->RequestEnded(RequestOutcome::Completed);
  }
}

void RequestEngine::RxChar(std::uint8_t byte) {
  switch (parser_.ParseByte(byte)) {
    case ParseResult::NeedMore: ArmTimer(kInterByteTimeoutMs); break;
    case ParseResult::BadCode: Abandon(RequestOutcome::BadCode, counters_.errs, false); break;
    case ParseResult::Complete: OnComplete(); break;
    case ParseResult::Ignored: break;
  }
}

void RequestEngine::RxError() { Abandon(RequestOutcome::RxError, counters_.errs, true); }

void RequestEngine::RxBreak() { Abandon(RequestOutcome::RxBreak, counters_.errs, true); }

void RequestEngine::RxTimeout() {
  // Also a stray partial response that arrived while no request was in
  // progress: it is dropped so the next request starts clean, and counted as
  // every timeout is.
  Abandon(RequestOutcome::Timeout, counters_.to, true);
}

void RequestEngine::ResetCounters() {
  counters_ = LinkCounters{};
  Changed();
}

}  // namespace mv
