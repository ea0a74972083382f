#include <cstdio>
#include <string>

#include "core/field_parse.h"
#include "tools/cli/cli.h"

namespace mv::cli {

int TakePortOption(const char* command, int argc, char** argv, int& i, PortOptions& options) {
  const std::string a = argv[i];
  const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
  std::int64_t v = 0;
  const std::string cmd = command;
  if (a == "--port") {
    if (next == nullptr || !StrToInt64(next, v) || v < 1 || v > 32)
      return Usage((cmd + " --port N: N is a port number 1 to 32").c_str());
    options.port = static_cast<int>(v);
  } else if (a == "--device") {
    if (next == nullptr || *next == '\0') return Usage((cmd + " --device PATH: PATH is a serial device").c_str());
    options.device = next;
  } else if (a == "--baud") {
    int found = -1;
    if (next != nullptr && StrToInt64(next, v))
      for (int b = 0; b < PLKDVX::kBaudRateCount; ++b)
        if (PLKDVX::kBaudRateValues[b] == v) found = b;
    if (found < 0)
      return Usage((cmd + " --baud B: B is one of 110 300 600 1200 2400 4800 9600 19200 38400 57600 115200").c_str());
    options.baud = found;
  } else {
    return 0;
  }
  ++i;
  return 1;
}

}  // namespace mv::cli
