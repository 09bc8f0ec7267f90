#include <cstdio>

#include "remote/nimbra_remote.h"
#include "tools/quiltool/commands.h"

namespace quiltool {

std::unique_ptr<CNimbraRemote> OpenUnits(std::optional<uint16_t> connection, uint16_t& count) {
    auto remote = std::make_unique<CNimbraRemote>();
    remote->SetDeviceName("Quil");
    count = 0;
    if (remote->Open() != kStatusOk || remote->GetNumberOfConnections(&count) != kStatusOk || count == 0) {
        std::fprintf(stderr, "quiltool: Unable to locate a Quil!\n");
        return nullptr;
    }
    if (connection && *connection >= count) {
        std::fprintf(stderr, "quiltool: no connection %u (%u found)\n", static_cast<unsigned>(*connection),
                     static_cast<unsigned>(count));
        return nullptr;
    }
    return remote;
}

}  // namespace quiltool
