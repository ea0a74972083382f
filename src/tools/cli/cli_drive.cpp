#include "tools/cli/cli.h"

namespace mv::cli {

int Drive(int, char**) { return Usage("drive: not available yet"); }

}  // namespace mv::cli
