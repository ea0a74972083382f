#include "tools/cli/cli.h"

namespace mv::cli {

int Profile(int, char**) { return Usage("profile: not available yet"); }

}  // namespace mv::cli
