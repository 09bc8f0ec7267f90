// The built-in set's Quils that carry a VX-DANTE card, reached the way a
// Dante network reaches them: each served over UDP on its own loopback
// address (127.0.0.1 and up) by a thread of this process, and advertised with
// the maker's subtype by a DNS-SD stand-in that the DNS-SD loader is pointed
// at for the lifetime of this object.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/temp_dir.h"
#include "sim/udp_units.h"
#include "sim/unit_description.h"
#include "sim/virtual_quil.h"

namespace sim {

// The units the Dante transport serves: the built-in set's Quils with a
// VX-DANTE card, in the set's order.
std::vector<UnitDescription> BuiltinDanteUnits();

// The first address the demo serves on; the next units take the following
// ones. 127.0.0.1 is the one loopback address whose datagrams leave from it
// under Wine too (it binds a UDP socket bound to any other one to every
// address, and sends from 127.0.0.1), so that the link, which takes only its
// device's replies, hears the demo's card there as well.
inline constexpr uint32_t kFirstDemoAddress = 0x7F000001;  // 127.0.0.1, host order

class DanteDemoUnits {
public:
    DanteDemoUnits();
    ~DanteDemoUnits();
    DanteDemoUnits(const DanteDemoUnits&) = delete;
    DanteDemoUnits& operator=(const DanteDemoUnits&) = delete;

    // False, with the reason, when the units could not be served (their
    // addresses are taken, say, by another demo) or the stand-in could not be
    // set up. The programs then refuse to run the demo; the system's own
    // DNS-SD library is never reached either way.
    bool Ready() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    std::vector<VirtualQuil*> Units() const;
    // Stops serving, so that the units can be saved while nothing else
    // touches them.
    void Stop();

private:
    std::vector<std::unique_ptr<VirtualQuil>> m_units;
    UdpUnitServer m_server;
    std::unique_ptr<platform::TempDir> m_folder;
    std::unique_ptr<platform::ScopedLibraryRedirect> m_redirect;
    std::string m_previousScript;
    bool m_hadScript = false;
    bool m_scriptSet = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::string m_error;
};

}  // namespace sim
