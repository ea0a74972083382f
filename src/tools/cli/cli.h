// morvane-cli command groups. Each returns the process exit code:
// 0 success, 1 refused (message on stderr), 2 usage.
#pragma once

namespace mv::cli {

int Profile(int argc, char** argv);  // argv[0] is the sub-command ("default", "check", ...)
int Config(int argc, char** argv);
int Hex(int argc, char** argv);
int Spl(int argc, char** argv);
int Drive(int argc, char** argv);

// Prints "morvane-cli: usage: ..." style text to stderr and returns 2.
int Usage(const char* text);

}  // namespace mv::cli
