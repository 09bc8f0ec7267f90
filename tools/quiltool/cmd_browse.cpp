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
#include "tools/quiltool/json_output.h"

namespace quiltool {

int RunBrowse(const Args& args) {
    static constexpr OptionSpec kOptions[] = {{"--seconds", true}, {"--json", false}};
    ParsedArgs parsed;
    if (!SplitArgs("browse", args, kOptions, parsed)) return 2;
    if (!parsed.operands.empty()) return UsageError("browse: unexpected argument '" + parsed.operands[0] + "'");
    unsigned long seconds = 1;
    if (const std::string* value = parsed.Value("--seconds");
        value != nullptr && (!ParseNumber(*value, seconds) || seconds == 0 || seconds > 3600)) {
        return UsageError("browse: --seconds takes a number from 1 to 3600, not '" + *value + "'");
    }
    JsonArray list(parsed.Has("--json"));

    // Avahi's compatibility layer, when it is the library in use, otherwise
    // warns once on stderr.
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
        const std::string ip = platform::Ipv4Text(d.ip);
        // Names come from the network: never raw to the terminal.
        if (list.Enabled()) {
            list.Append(ui::JsonEvent().Text("name", d.name).Text("address", ip).Number("port", d.port));
        } else {
            std::printf("device %s address=%s port=%u\n", EscapedText(d.name).c_str(), ip.c_str(), d.port);
        }
    }
    std::fflush(stdout);
    if (result == AUD_ERR_NOTRUNNING) {
        std::fprintf(stderr, "quiltool: browse: the DNS-SD daemon is not running%s\n",
                     found.empty() ? "" : " (it stopped during the browse: the list may be incomplete)");
        return 1;
    }
    if (result != AUD_SUCCESS) {
        char text[AUD_ERROR_TEXT_SIZE];
        std::fprintf(stderr, "quiltool: browse failed: %s\n", aud_error_text(result, text));
        return 1;
    }
    if (found.empty()) {
        std::fprintf(stderr, "quiltool: browse: no Dante device found\n");
        return 1;
    }
    return 0;
}

}  // namespace quiltool
