// The request engine's observer seam: what the engine did with each frame and
// each received byte, as it decided it, for the link's recorder (the drive
// session's flight recorder, session/link_recorder.h).
//
// The engine calls the observer inside its own entry points, on its thread,
// and goes on as if nothing had been called: an observer changes nothing of
// the engine, never calls back into it and allocates nothing (it runs on the
// link path, once per byte).
#pragma once

#include <cstdint>

namespace mv {

struct RequestStep;
struct Response;
struct RequestEnd;

// What the engine made of a received byte.
enum class ByteUse : std::uint8_t {
  Part,          // a byte of a response (its code or payload), or one the parser ignored
  BadCode,       // a response code was awaited and this is none
  WhileHolding,  // dropped: the next request waits for the line to fall quiet
  AfterLast,     // came after the request's last answer, while it proved its answers its own
};

class LinkTrace {
 public:
  virtual ~LinkTrace() = default;
  // An accepted request starts; `holding`: its first frame waits for a quiet line.
  virtual void RequestBegun(const RequestStep* steps, std::uint32_t count, bool holding) = 0;
  // The frame of `step` (1-based) was handed to the port; `accepted` false:
  // the port refused it, nothing of it was sent. `length` 0: it could not
  // even be encoded.
  virtual void FrameSent(std::uint32_t step, const std::uint8_t* frame, std::uint32_t length, bool accepted) = 0;
  // A byte from the port, before the engine acts on it.
  virtual void ByteReceived(std::uint8_t byte, ByteUse use) = 0;
  // The parser completed a response; `taken`: the step that waited for it
  // got it (false: nobody asked for it, or its step's frame was refused).
  virtual void ResponseComplete(const Response& response, bool taken) = 0;
  // Every answer is in, but the request started on a suspect line: the line
  // must stay quiet `ms` longer.
  virtual void VerifyBegun(int ms) = 0;
  // An accepted request ended (before anything else happens for its end).
  virtual void RequestEnded(const RequestEnd& end) = 0;
  // While no request ran, what the parser held was dropped: a response cut
  // off (`timedOut`: by the inter-byte timeout), a byte that is no code.
  virtual void InputDropped(bool timedOut) = 0;
};

}  // namespace mv
