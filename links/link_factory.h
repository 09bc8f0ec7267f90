// The one place where the remote-control engine gets its links: one new,
// unopened link per kind it tries. Tests and the demo mode hand the engine a
// factory of their own; link kinds this build does not have yet come back
// as null and are simply skipped.
#pragma once

#include <cstdint>
#include <memory>

#include "links/nimbra_interface.h"

// The VX-USB card's firmware updater. The engine only holds it: it exists
// while a VX-USB card was found on the selected MIDI connection and its
// driver could be opened. The object is made and destroyed by the factory
// that knows the whole type, so the engine never needs more than this name.
class CVXUSB;

struct VXUSBDeleter {
    void (*destroy)(CVXUSB*) = nullptr;
    void operator()(CVXUSB* card) const {
        if (destroy != nullptr) destroy(card);
    }
};
using VXUSBHandle = std::unique_ptr<CVXUSB, VXUSBDeleter>;

// What the kernel-driver link tells beyond the link operations: the
// adapter's model code and version word, learnt without any SysEx exchange.
class DriverAdapterInfo {
public:
    virtual ~DriverAdapterInfo() = default;
    // Type word of the selected adapter, 0 when the request fails; the high
    // byte is the unit's model code.
    virtual uint16_t GetAdapterType() = 0;
    // Version record of the selected adapter: firmware in byte 0, revision
    // byte in byte 1. Stores 0 and returns 1 on failure.
    virtual NimbraStatus ReadAdapterVersion(uint32_t* value) = 0;
};

class LinkFactory {
public:
    virtual ~LinkFactory() = default;
    // A new, unopened link of kind linkType (kLinkTypeDriver, kLinkTypeMidi,
    // kLinkTypeDante); null when there is no such link.
    virtual std::unique_ptr<CNimbraInterface> CreateLink(uint16_t linkType) = 0;
    // The VX-USB card updater opened for MIDI connection `connection`; null
    // when none can be opened.
    virtual VXUSBHandle OpenUsbCard(uint16_t connection) {
        (void)connection;
        return VXUSBHandle{};
    }
};

// The links of this build: the driver link on the process-wide driver
// access and the MIDI-port link on the process-wide MIDI system, and the
// VX-USB updater over the USB audio driver's library. No Dante link yet.
class DefaultLinkFactory final : public LinkFactory {
public:
    std::unique_ptr<CNimbraInterface> CreateLink(uint16_t linkType) override;
    VXUSBHandle OpenUsbCard(uint16_t connection) override;
};

// A new CVXUSB opened for USB device `connection`; null, after its Close,
// when Open fails.
VXUSBHandle OpenVxUsbCard(uint16_t connection);

// The factory an engine uses when it is given none. Stateless.
LinkFactory& DefaultLinks();

// Makes `links` what DefaultLinks() returns for the lifetime of this object
// (tests that run the main window over links of their own).
class ScopedDefaultLinks {
public:
    explicit ScopedDefaultLinks(LinkFactory& links);
    ~ScopedDefaultLinks();
    ScopedDefaultLinks(const ScopedDefaultLinks&) = delete;
    ScopedDefaultLinks& operator=(const ScopedDefaultLinks&) = delete;

private:
    LinkFactory* m_previous;
};
