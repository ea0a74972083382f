#include <cstdio>
#include <string>

#include "session/config_file.h"
#include "tools/cli/cli.h"

namespace mv::cli {

int Config(int argc, char** argv) {
  if (argc != 2 || std::string(argv[0]) != "check" || *argv[1] == '\0') return Usage("config check FILE");
  AppConfig c;
  std::string message;
  if (!ReadConfigFile(argv[1], c, message)) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
  }
  return 0;
}

}  // namespace mv::cli
