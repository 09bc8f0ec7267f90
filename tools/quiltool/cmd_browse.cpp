// browse: the Dante discovery the updater runs, printed one line per device.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "discovery/dante_scan.h"
#include "discovery/dnssd.h"
#include "platform/environment.h"
#include "platform/udp_socket.h"
#include "tools/quiltool/commands.h"

namespace quiltool {

int RunBrowse(const Args& args) {
    unsigned long seconds = 1;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--seconds" && i + 1 < args.size() && ParseNumber(args[i + 1], seconds) && seconds > 0 &&
            seconds <= 3600) {
            ++i;
        } else {
            return UsageError("browse [--seconds N]");
        }
    }
    // Avahi's compatibility layer otherwise warns once on stderr.
    if (std::getenv("AVAHI_COMPAT_NOWARN") == nullptr) platform::SetEnvironmentValue("AVAHI_COMPAT_NOWARN", "1");
    std::string error;
    const std::unique_ptr<dnssd::Library> library = dnssd::Library::Load(error);
    if (!library) {
        std::fprintf(stderr, "quiltool: the DNS-SD library %s cannot be loaded: %s\n", dnssd::PlatformLibraryName(),
                     error.c_str());
        return 1;
    }
    discovery::ScanOptions options;
    options.browseMs = static_cast<uint32_t>(seconds * 1000);
    std::vector<discovery::FoundDevice> found;
    const aud_error_t result = discovery::ScanDanteDevices(options, found);
    for (const discovery::FoundDevice& d : found) {
        std::printf("device %s address=%s port=%u\n", d.name.c_str(), platform::Ipv4Text(d.ip).c_str(), d.port);
    }
    std::fflush(stdout);
    if (result != AUD_SUCCESS) {
        char text[AUD_ERROR_TEXT_SIZE];
        std::fprintf(stderr, "quiltool: browse failed: %s\n", aud_error_text(result, text));
        return 1;
    }
    return 0;
}

}  // namespace quiltool
