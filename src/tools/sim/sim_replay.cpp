#include "tools/sim/sim_replay.h"

#include <algorithm>
#include <cstdio>

namespace mvsim {

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes, std::size_t limit = 16) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
    s += b;
  }
  if (bytes.size() > limit) s += " ...";
  return s;
}

}  // namespace

bool Replay::Load(const std::string& path, std::string& error) {
  std::vector<mv::TraceFileRecord> records;
  if (!mv::ReadTraceFile(path, records, error)) return false;
  Build(records);
  if (frames_.empty()) {
    error = path + ": the trace holds no frame to the drive";
    return false;
  }
  return true;
}

void Replay::Build(const std::vector<mv::TraceFileRecord>& records) {
  frames_.clear();
  skipped_ = 0;
  std::int64_t frameTime = 0;
  for (const mv::TraceFileRecord& r : records) {
    if (r.toDrive) {
      frames_.push_back(Frame{r.bytes, r.line, {}});
      frameTime = r.timeUs;
      continue;
    }
    if (frames_.empty()) {
      skipped_ += r.bytes.size();
      continue;
    }
    // A clock set back between the two (the local time of a summer-time
    // change) counts as no delay.
    const double delay = static_cast<double>(std::max<std::int64_t>(0, r.timeUs - frameTime)) / 1e6;
    frames_.back().runs.push_back(Run{delay, r.spanUs / 1e6, r.bytes});
  }
}

void Replay::Byte(std::uint8_t byte, Clock now, std::vector<Chunk>& out) {
  if (stopped_) return;
  got_.push_back(byte);
  if (next_ >= frames_.size()) {
    note_ = "replay: the host sent " + Hex(got_) + " after the trace's last frame; no more answers";
    stopped_ = true;
    return;
  }
  const Frame& f = frames_[next_];
  if (got_.back() != f.bytes[got_.size() - 1]) {
    note_ = "replay: frame " + std::to_string(next_ + 1) + " is not the trace's (line " + std::to_string(f.line) +
            "): the host sent " + Hex(got_) + ", the trace holds " + Hex(f.bytes) + "; no more answers";
    stopped_ = true;
    return;
  }
  if (got_.size() < f.bytes.size()) return;
  got_.clear();
  ++next_;
  for (const Run& run : f.runs) {
    // The run's bytes spread over its span as they came.
    const std::size_t n = run.bytes.size();
    for (std::size_t i = 0; i < n; ++i) {
      const double at = now + run.delay + (n > 1 ? run.span * static_cast<double>(i) / static_cast<double>(n - 1) : 0);
      if (!out.empty() && out.back().due == at) {
        out.back().bytes.push_back(run.bytes[i]);
      } else {
        out.push_back(Chunk{at, {run.bytes[i]}});
      }
    }
  }
  if (next_ == frames_.size())
    note_ = "replay: all " + std::to_string(frames_.size()) + " frames of the trace came and were answered";
}

std::string Replay::TakeNote() {
  std::string n;
  n.swap(note_);
  return n;
}

}  // namespace mvsim
