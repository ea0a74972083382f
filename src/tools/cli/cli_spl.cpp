#include "tools/cli/cli.h"

namespace mv::cli {

int Spl(int, char**) { return Usage("spl: not available yet"); }

}  // namespace mv::cli
