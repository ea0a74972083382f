// morvane-cli command groups. Each returns the process exit code:
// 0 success, 1 refused (message on stderr), 2 usage.
#pragma once

#include <string>

#include "link/engine.h"
#include "session/headless_session.h"

namespace mv::cli {

int Profile(int argc, char** argv);  // argv[0] is the sub-command ("default", "check", ...)
int Config(int argc, char** argv);
int Hex(int argc, char** argv);
int Spl(int argc, char** argv);
int Drive(int argc, char** argv);

// Prints "morvane-cli: usage: ..." style text to stderr and returns 2.
int Usage(const char* text);

// The port options of the commands that talk to a drive.
using PortOptions = PortChoice;

// Takes the option at argv[i] (with its value) when it is --port, --device
// or --baud: returns 1 (i on its value), 0 when it is none of them, or 2
// after a usage message naming `command` for a bad value.
int TakePortOption(const char* command, int argc, char** argv, int& i, PortOptions& options);

}  // namespace mv::cli
