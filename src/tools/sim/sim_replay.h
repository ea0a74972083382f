// The simulated drive's replay of a link trace: it plays the drive's side of
// a recorded run. Each frame the host sends is compared, byte by byte, with
// the next frame the trace holds; when it is the same, the bytes the drive
// sent after it in the trace go out again with the same delays (from the
// frame to each run of bytes, and within a run from its first byte to its
// last), so answers, bad codes, bad checksums, gaps, late and missing answers
// come as they came. When the host sends something else, or more than the
// trace holds, the replay says so and answers nothing any more.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/trace_file.h"
#include "tools/sim/sim_drive.h"

namespace mvsim {

class Replay {
 public:
  // Reads the trace; false with why.
  bool Load(const std::string& path, std::string& error);
  // Takes the records of a trace (the bytes the drive sent before the
  // host's first frame belong to no frame and are left out).
  void Build(const std::vector<mv::TraceFileRecord>& records);

  // A byte from the host, fully arrived at `now`: when it completes the
  // expected frame, the drive's bytes that followed it are appended to
  // `out`, each run at its recorded delay from `now`.
  void Byte(std::uint8_t byte, Clock now, std::vector<Chunk>& out);
  // The host stopped in the middle of a frame (its bytes stopped coming or
  // were withdrawn): the next byte starts the frame again.
  void DropPartial() { got_.clear(); }
  bool MidFrame() const { return !got_.empty(); }

  bool Stopped() const { return stopped_; }
  // Every frame of the trace came and was answered.
  bool Done() const { return !stopped_ && next_ == frames_.size(); }
  std::size_t Frames() const { return frames_.size(); }
  std::size_t Answered() const { return next_; }
  // What happened last that a person should know ("" when nothing new); read once.
  std::string TakeNote();
  std::size_t SkippedBytes() const { return skipped_; }

 private:
  struct Run {
    double delay = 0;  // seconds from the frame to the first byte
    double span = 0;   // seconds from the first byte to the last
    std::vector<std::uint8_t> bytes;
  };
  struct Frame {
    std::vector<std::uint8_t> bytes;
    int line = 0;
    std::vector<Run> runs;
  };

  std::vector<Frame> frames_;
  std::size_t next_ = 0;           // the frame expected next
  std::vector<std::uint8_t> got_;  // its bytes so far
  bool stopped_ = false;
  std::size_t skipped_ = 0;  // drive bytes before the first frame
  std::string note_;
};

}  // namespace mvsim
