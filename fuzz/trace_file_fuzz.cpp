// The link trace reader on arbitrary bytes, and the replay built on what it
// accepts. A refused text leaves the records untouched and names its line;
// an accepted one is written again and read back to the same frames; the
// replay answers the trace's own frames, in order, to the end.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "session/trace_file.h"
#include "tools/sim/sim_replay.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<mv::TraceFileRecord> records(1);
  std::string message;
  if (!mv::ParseTraceText(text, records, message)) {
    FUZZ_CHECK(records.size() == 1 && records[0].bytes.empty());
    FUZZ_CHECK(message.rfind("line ", 0) == 0);
    return 0;
  }
  std::string written = mv::TraceFileHeaderText();
  for (const mv::TraceFileRecord& r : records) {
    FUZZ_CHECK(!r.bytes.empty() && r.bytes.size() <= mv::kTraceMaxBlockBytes);
    mv::AppendTraceRecord(written, r, "words 1 a 00");
  }
  std::vector<mv::TraceFileRecord> again;
  FUZZ_CHECK(mv::ParseTraceText(written, again, message));
  FUZZ_CHECK(again == records);

  mvsim::Replay replay;
  replay.Build(records);
  std::vector<mvsim::Chunk> out;
  for (const mv::TraceFileRecord& r : records)
    if (r.toDrive)
      for (std::uint8_t b : r.bytes) replay.Byte(b, 0, out);
  FUZZ_CHECK(replay.Done());
  for (const mvsim::Chunk& c : out) FUZZ_CHECK(c.due >= 0 && !c.bytes.empty());
  return 0;
}
