#include "sim/dante_demo.h"

#include <cstdlib>
#include <fstream>

#include "discovery/dnssd.h"
#include "platform/environment.h"
#include "platform/net.h"
#include "sim/builtin_set.h"

namespace sim {

namespace {

// The fake DNS-SD library reads its services from the file this variable names.
constexpr char kScriptVariable[] = "FAKE_DNSSD_SCRIPT";
// Any interface but the loopback, so that the address records are asked for.
constexpr int kDemoInterface = 7;
// The server wakes for traffic and for the units' own work at once; this
// only bounds how long Stop waits for the thread.
constexpr uint32_t kServeWaitMs = 50;

}  // namespace

std::vector<UnitDescription> BuiltinDanteUnits() {
    std::vector<UnitDescription> units;
    for (const BuiltinPort& port : BuiltinSet()) {
        if (port.unit && port.unit->pid == kPidQuil && port.unit->card.type == kCardVxDante) {
            units.push_back(*port.unit);
        }
    }
    return units;
}

DanteDemoUnits::DanteDemoUnits() {
    // The stand-in replaces the system's DNS-SD library first, so that a demo
    // that cannot start never reaches the system's own.
    m_redirect = std::make_unique<platform::ScopedLibraryRedirect>(dnssd::PlatformLibraryName(), QUIL_DEMO_DNS_SD);
    int code = 0;
    m_folder = platform::TempDir::Create("quil-dante-", code);
    if (!m_folder) {
        m_error = "cannot make a temporary folder for the Dante demo";
        return;
    }
    const std::string script = m_folder->File("services");
    std::ofstream out(script);
    uint32_t address = kFirstDemoAddress;
    for (const UnitDescription& description : BuiltinDanteUnits()) {
        m_units.push_back(std::make_unique<VirtualQuil>(description));
        std::string error;
        if (!m_server.Add(platform::NetOrder32(address), *m_units.back(), error)) {
            m_error = "the Dante demo's addresses are taken (is another demo running?): " + error;
            return;
        }
        const std::string name = "quil-" + SerialText(description.serial);
        out << "service " << name << " _netaudio-arc._udp. Velk " << kDemoInterface << ' ' << name
            << ".local. 4440 arcp_vers=2.7.0 router_vers=4.0.2\n";
        out << "address " << name << ".local. " << kDemoInterface << ' '
            << platform::Ipv4Text(platform::NetOrder32(address)) << '\n';
        ++address;
    }
    out.close();
    if (!out) {
        m_error = "cannot write " + script;
        return;
    }
    if (const char* previous = std::getenv(kScriptVariable)) {
        m_hadScript = true;
        m_previousScript = previous;
    }
    platform::SetEnvironmentValue(kScriptVariable, script);
    m_scriptSet = true;
    m_thread = std::thread([this] {
        while (!m_stop.load()) m_server.Service(kServeWaitMs);
    });
}

DanteDemoUnits::~DanteDemoUnits() {
    Stop();
    m_redirect.reset();
    if (!m_scriptSet) return;
    if (m_hadScript) {
        platform::SetEnvironmentValue(kScriptVariable, m_previousScript);
    } else {
        platform::UnsetEnvironmentValue(kScriptVariable);
    }
}

std::vector<VirtualQuil*> DanteDemoUnits::Units() const {
    std::vector<VirtualQuil*> units;
    for (const auto& unit : m_units) units.push_back(unit.get());
    return units;
}

void DanteDemoUnits::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace sim
