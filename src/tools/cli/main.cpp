#include <cstdio>
#include <cstring>

#include "tools/cli/cli.h"

namespace {

const char* kHelp =
    "Morvane Controller Host command-line tool\n"
    "\n"
    "usage: morvane-cli GROUP COMMAND [ARGS]\n"
    "\n"
    "  profile default SLOT OUT        write the default record of slot 1..6 as a profile file\n"
    "  profile check FILE              check a profile file (exit 1 with the reader's message)\n"
    "  profile dump FILE               print the 222 record bytes of a valid file as hex\n"
    "  profile from-bytes HEX444 OUT   write 222 bytes given as 444 hex digits as a profile file\n"
    "  profile diff A B [--port N | --device PATH] [--baud B]\n"
    "                                  compare two profiles (files or drive:SLOT), print the differing\n"
    "                                  fields; exit 0 equal, 1 different, 2 usage or a side not read\n"
    "  config check FILE               check a configuration file\n"
    "  hex info FILE                   read an Intel HEX file and print its summary\n"
    "  hex image FILE --start ADDR --size N [--fill BYTE] --out PATH\n"
    "  spl build --hex FILE --out DIR/NAME [--app-start ADDR] [--profile-start ADDR]\n"
    "            [--fw-version N] [--profile SLOT=FILE]...\n"
    "  spl inspect FILE.spl [--app-start ADDR] [--profile-start ADDR]\n"
    "  drive (--port N | --device PATH) [--baud B] [--counters] COMMAND\n"
    "        info | get-profile SLOT OUT | get-all DIR | save-profile SLOT FILE |\n"
    "        save-all F1..F6 | activate SLOT|none | start | stop | reset | speed RPM |\n"
    "        status [--every MS --count N]\n"
    "\n"
    "Exit status: 0 success, 1 refused (reason on stderr), 2 usage.\n";

}  // namespace

namespace mv::cli {
int Usage(const char* text) {
  std::fprintf(stderr, "morvane-cli: usage: %s\n", text);
  return 2;
}
}  // namespace mv::cli

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::fputs(kHelp, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const char* group = argv[1];
  int subArgc = argc - 2;
  char** subArgv = argv + 2;
  if (!std::strcmp(group, "profile")) return mv::cli::Profile(subArgc, subArgv);
  if (!std::strcmp(group, "config")) return mv::cli::Config(subArgc, subArgv);
  if (!std::strcmp(group, "hex")) return mv::cli::Hex(subArgc, subArgv);
  if (!std::strcmp(group, "spl")) return mv::cli::Spl(subArgc, subArgv);
  if (!std::strcmp(group, "drive")) return mv::cli::Drive(subArgc, subArgv);
  std::fprintf(stderr, "morvane-cli: unknown command group '%s' (try morvane-cli --help)\n", group);
  return 2;
}
