#include "tools/cli/cli.h"

namespace mv::cli {

int Config(int, char**) { return Usage("config: not available yet"); }

}  // namespace mv::cli
