#include "tools/cli/cli.h"

namespace mv::cli {

int Hex(int, char**) { return Usage("hex: not available yet"); }

}  // namespace mv::cli
