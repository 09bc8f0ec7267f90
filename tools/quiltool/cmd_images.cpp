#include "tools/quiltool/commands.h"

namespace quiltool {

int RunExpand(const Args&) { return UsageError("not available yet"); }
int RunCompress(const Args&) { return UsageError("not available yet"); }
int RunName(const Args&) { return UsageError("not available yet"); }
int RunSerial(const Args&) { return UsageError("not available yet"); }
int RunImages(const Args&) { return UsageError("not available yet"); }
int RunExtract(const Args&) { return UsageError("not available yet"); }

}  // namespace quiltool
