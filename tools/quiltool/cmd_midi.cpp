#include "tools/quiltool/commands.h"

namespace quiltool {

int RunPorts(const Args&) { return UsageError("not available yet"); }
int RunProbe(const Args&) { return UsageError("not available yet"); }

}  // namespace quiltool
