#include "tools/quiltool/commands.h"

namespace quiltool {

int RunEncode(const Args&) { return UsageError("not available yet"); }
int RunCrc(const Args&) { return UsageError("not available yet"); }
int RunDecode(const Args&) { return UsageError("not available yet"); }

}  // namespace quiltool
