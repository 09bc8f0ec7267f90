#include "sim/demo_options.h"

#include <charconv>

namespace sim {

std::optional<DemoFault> ParseDemoFault(std::string_view text) {
    if (text == "dfustall") return DemoFault{DemoFault::Kind::DfuStall, 0};
    const size_t at = text.find('@');
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view name = text.substr(0, at);
    const std::string_view number = text.substr(at + 1);
    DemoFault fault;
    if (name == "pgmerr") {
        fault.kind = DemoFault::Kind::PgmErr;
    } else if (name == "txerr") {
        fault.kind = DemoFault::Kind::TxErr;
    } else if (name == "silence") {
        fault.kind = DemoFault::Kind::Silence;
    } else {
        return std::nullopt;
    }
    if (number.empty()) return std::nullopt;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), fault.packet);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return fault;
}

const char* DemoFaultHelp() {
    return "  pgmerr@N    the unit reports a programming error (PGMERR) for packet N\n"
           "  txerr@N     the unit reports a transfer error (TXERR) for packet N\n"
           "  silence@N   the unit stops answering once it has acknowledged packet N\n"
           "  (packets are counted from 0)\n"
           "  dfustall    the VX-USB card's download stops moving halfway\n";
}

void ApplyDemoFault(VirtualQuil& unit, const DemoFault& fault) {
    switch (fault.kind) {
    case DemoFault::Kind::PgmErr: unit.FailPacket(fault.packet, kStatusPgmErr); break;
    case DemoFault::Kind::TxErr: unit.FailPacket(fault.packet, kStatusTxErr); break;
    case DemoFault::Kind::Silence: unit.FallSilentAfterPacket(fault.packet); break;
    case DemoFault::Kind::DfuStall: break;
    }
}

}  // namespace sim
