#include "tools/quiltool/commands.h"

namespace quiltool {

int RunIdentify(const Args&) { return UsageError("not available yet"); }

}  // namespace quiltool
