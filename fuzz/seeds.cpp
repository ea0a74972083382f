// Writes the real-sized seeds of the fuzz targets into OUT/<target>/: a full
// motor profile file (every field at its largest, the longest name and
// comment), a full configuration file (the longest paths), the HEX file of
// a dsPIC33EP512 application with 512 KiB of flash in use and a link trace
// with every kind of event the recorder keeps. Made by the
// program's own writers at each run, so they always pass the readers'
// checks and reach the code behind them.
//   fuzz_seeds OUT
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/text_file.h"
#include "firmware/intel_hex.h"
#include "firmware/spl_builder.h"
#include "profiles/profile_file.h"
#include "session/config_file.h"
#include "session/trace_file.h"
#include "support/hex_gen.h"

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "fuzz_seeds: %s\n", message.c_str());
  return 1;
}

mv::MotorProfile FullProfile() {
  mv::MotorProfile p = mv::MotorProfileDefaults(0);
  p.SetName(std::string(mv::kNameBytes - 1, 'N'));
  p.SetComment(std::string(mv::kCommentBytes - 1, 'C'));
  for (const mv::ScalarField& f : mv::kScalarFields) p.SetU16(f.offset, f.max);
  for (const mv::VfArray& a : mv::kVfArrays)
    for (std::size_t i = 0; i < mv::kVfPoints; ++i) p.SetVf(a.offset, i, a.max);
  mv::UpdateChecksum(p);
  return p;
}

mv::AppConfig FullConfig() {
  mv::AppConfig c;
  c.com_port = 32;
  c.baud_rate = PLKDVX::br115200;
  c.data_bits = PLKDVX::db8;
  c.parity = PLKDVX::paEven;
  c.stop_bits = PLKDVX::sb2;
  c.hex_file = "/" + std::string(245, 'h') + ".hex";  // 250 characters, the longest
  c.app_start_address = mv::kAppStartAddressMax;
  c.motor_profile_start_address = mv::kMotorProfileStartAddressMax;
  c.spl_file_dir = "/" + std::string(249, 'd');
  return c;
}

// 128 pages (512 KiB) of application around the blank motor profile page 8,
// and the configuration words in the device's last page.
std::string FirmwareHex() {
  constexpr std::uint32_t kPage = mv::kFlashPageBytes;
  hexgen::Image image;
  image.FillWords(4 * kPage, 4 * kPage);
  image.FillWords(9 * kPage, 124 * kPage);
  image.FillWords(170 * kPage, 64);
  return image.ToHex("\r\n");
}

// The recorder's view of a get-all whose third answer is cut off, a request
// that waits for a quiet line and drops what comes meanwhile, a frame the
// port refuses, and the port's own events.
std::string LinkTrace() {
  mv::LinkRecorder r;
  r.PortOpened("/dev/ttyUSB0", 115200);
  r.Report(1, "COM1: WARNING: OpenCOMPort(): no modem lines. | TDVXCOMPort.cpp line 348.");
  std::uint8_t slots[6] = {0, 1, 2, 3, 4, 5};
  mv::RequestStep getAll[6];
  for (int i = 0; i < 6; ++i) getAll[i] = {0x35, &slots[i], 1, {}};
  r.RequestBegun(getAll, 6, false);
  const mv::MotorProfile p = FullProfile();
  for (std::uint32_t step = 1; step <= 3; ++step) {
    const std::uint8_t frame[2] = {0x35, slots[step - 1]};
    r.FrameSent(step, frame, 2, true);
    r.ByteReceived(0x53, mv::ByteUse::Part);
    r.ByteReceived(slots[step - 1], mv::ByteUse::Part);
    for (std::size_t i = 0; i < (step < 3 ? p.bytes.size() : 40); ++i) r.ByteReceived(p.bytes[i], mv::ByteUse::Part);
    if (step < 3) r.ResponseComplete(mv::Response{}, true);
  }
  r.RequestEnded(mv::RequestEnd{mv::RequestOutcome::Timeout, 3, 6, true});
  const mv::RequestStep poll{0x74, nullptr, 0, {}};
  r.RequestBegun(&poll, 1, true);
  for (std::uint8_t b : {0x20, 0x21, 0x22}) r.ByteReceived(b, mv::ByteUse::WhileHolding);
  r.FrameSent(1, &poll.command, 1, false);
  r.ByteReceived(0x07, mv::ByteUse::Part);
  r.RequestEnded(mv::RequestEnd{mv::RequestOutcome::FrameRefused, 1, 1, false});
  r.LineBreak();
  r.LineError();
  r.PortClosed();
  return mv::TraceFileText(r);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: fuzz_seeds OUT");
  const std::string out = argv[1];
  std::string message;
  for (const char* target : {"", "/profile_file", "/config_file", "/intel_hex", "/trace_file"})
    if (::mkdir((out + target).c_str(), 0755) != 0 && errno != EEXIST) return Fail("cannot make " + out + target);

  const std::string profile = out + "/profile_file/full.ini";
  mv::MotorProfile back;
  if (!mv::writeMotorProfileFile(profile, FullProfile(), message) || !mv::readMotorProfileFile(profile, back, message))
    return Fail(message);

  const std::string config = out + "/config_file/full.ini";
  mv::AppConfig again;
  if (!mv::WriteConfigFile(config, FullConfig(), message) || !mv::ReadConfigFile(config, again, message))
    return Fail(message);

  const std::string hex = out + "/intel_hex/dspic33ep512_512k.hex";
  if (!mv::WriteFileAtomic(hex, FirmwareHex(), message, "HEX file")) return Fail(message);
  mv::SplBuildInput in;
  in.hexPath = hex;
  const mv::SplBuildResult image = mv::LayOutSplImage(in);
  if (!image.Ok() || image.deviceFlashPages != 171) return Fail(hex + ": " + image.message);

  const std::string trace = out + "/trace_file/link.trace";
  std::vector<mv::TraceFileRecord> records;
  if (!mv::WriteTraceFile(trace, LinkTrace(), message) || !mv::ReadTraceFile(trace, records, message))
    return Fail(message);
  return 0;
}
