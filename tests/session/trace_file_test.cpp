// The link trace file: what the recorder kept comes back from the text as
// the frames that crossed the line, and a file that is not one is refused
// with the line and the reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/trace_file.h"
#include "support/link_fakes.h"

namespace {

std::int64_t gNowNs = 1'000'000'000;
std::int64_t FakeClock() { return gNowNs; }

}  // namespace

TEST(TraceFile, TheFramesOnTheLineComeBackWithTheirTimes) {
  linktest::Rig rig;
  mv::LinkRecorder recorder(&rig.port);
  recorder.SetClock(&FakeClock);
  rig.engine.SetTrace(&recorder);
  recorder.PortOpened("/dev/ttyUSB0", 115200);
  const std::uint8_t slot = 3;
  const mv::RequestStep step{0x35, &slot, 1, {}};
  ASSERT_TRUE(rig.engine.SendRequest(&step, 1));
  gNowNs += 1'500'000;
  std::vector<std::uint8_t> answer(224, 0x20);
  answer[0] = 0x53;
  for (std::size_t i = 0; i < answer.size(); ++i) {
    rig.engine.RxChar(answer[i]);
    if (i + 1 < answer.size()) gNowNs += 10'000;
  }
  rig.port.refuse = true;  // a frame that never reached the line is no frame of the file
  ASSERT_TRUE(rig.engine.SendRequest(&step, 1));
  rig.timer.Expire();

  const std::string text = mv::TraceFileText(recorder);
  std::vector<mv::TraceFileRecord> records;
  std::string message;
  ASSERT_TRUE(mv::ParseTraceText(text, records, message)) << message << "\n" << text;
  ASSERT_EQ(records.size(), 2u) << text;
  EXPECT_TRUE(records[0].toDrive);
  EXPECT_EQ(records[0].bytes, (std::vector<std::uint8_t>{0x35, 0x03}));
  EXPECT_FALSE(records[1].toDrive);
  EXPECT_EQ(records[1].bytes, answer);
  EXPECT_EQ(records[1].timeUs - records[0].timeUs, 1500);
  EXPECT_EQ(records[1].spanUs, 2230u);
  // The words are for people, on lines text2pcap passes over.
  EXPECT_NE(text.find("\n#   #1 get-profile step 1 of 1: 0x35 get profile, slot 4\n000000 35 03\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("port opened: /dev/ttyUSB0, 115200 bit/s"), std::string::npos);
  EXPECT_NE(text.find("0x35 get profile, slot 4 - refused by the port"), std::string::npos);

  // Written and read back from a file: the same frames.
  const std::string path = ::testing::TempDir() + "trace_file_test.trace";
  ASSERT_TRUE(mv::WriteTraceFile(path, text, message)) << message;
  std::vector<mv::TraceFileRecord> again;
  ASSERT_TRUE(mv::ReadTraceFile(path, again, message)) << message;
  EXPECT_EQ(again, records);
}

TEST(TraceFile, WhatIsNotATraceIsRefusedWithTheLineAndWhy) {
  const std::string head = std::string(mv::kTraceFileHeader) + "\n";
  const std::string o = "O 2024-05-01 10:15:14.123456\n";
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"000000 35\n", "line 1: not a link trace"},
      {head + "O 2024-05-01 10:15\n000000 35\n", "line 2: the time is not"},
      {head + "I 2024-05-01 10:15:14.1 +1.2ms\n000000 35\n", "line 2: the time the bytes took"},
      {head + "000000 35\n", "line 2: bytes without an \"O\" or \"I\" line"},
      {head + o + "000001 35\n", "line 3: the offset is 1, the frame has 0 bytes"},
      {head + o + "000000 3G\n", "line 3: a byte is not two hex digits"},
      {head + o + "000000 355\n", "line 3: a byte is not two hex digits"},
      {head + o + "000000\n", "line 3: an offset without bytes"},
      {head + o + "hello\n", "line 3: neither"},
      {head + o + "# nothing\n" + o + "000000 35\n", "line 2: the frame has no bytes"},
      {head + o, "line 2: the frame has no bytes"},
  };
  for (const auto& c : cases) {
    std::vector<mv::TraceFileRecord> records(1);
    std::string message;
    EXPECT_FALSE(mv::ParseTraceText(c.text, records, message)) << c.text;
    EXPECT_EQ(message.rfind(c.why, 0), 0u) << c.text << " -> " << message;
    EXPECT_EQ(records.size(), 1u) << c.text;  // untouched
  }
  std::string big = head + o;
  for (std::size_t i = 0; i <= mv::kTraceMaxBlockBytes; i += 16) {
    char offset[16];
    std::snprintf(offset, sizeof offset, "%06zX", i);
    big += std::string(offset) + " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
  }
  std::vector<mv::TraceFileRecord> records;
  std::string message;
  EXPECT_FALSE(mv::ParseTraceText(big, records, message));
  EXPECT_NE(message.find("a frame of more than 4096 bytes"), std::string::npos) << message;
}
