#include "discovery/dnssd.h"

#include "discovery/dnssd_avahi.h"
#include "platform/dynamic_library.h"

namespace dnssd {

namespace {
Library* g_active = nullptr;
const Library::EntryPoints kNone{};
}  // namespace

const char* PlatformLibraryName() {
#ifdef _WIN32
    return "dante_dnssd.dll";
#else
    return "libdns_sd.so.1";
#endif
}

std::unique_ptr<Library> Library::Load(std::string& error) {
    const std::string name = PlatformLibraryName();
    std::string backendError;
    if (platform::ResolveLibraryName(name) == name) {
        std::shared_ptr<avahi::Backend> backend = avahi::Start(backendError);
        if (backend) {
            std::unique_ptr<Library> lib(new Library());
            lib->m_avahi = std::move(backend);
            lib->m_entry = avahi::EntryPoints();
            lib->Activate();
            error.clear();
            return lib;
        }
    }
    std::unique_ptr<Library> lib = Load(error, name);
    if (!lib && !backendError.empty()) error += "; " + backendError;
    return lib;
}

std::unique_ptr<Library> Library::Load(std::string& error, const std::string& name) {
    std::unique_ptr<Library> lib(new Library());
    lib->m_library = platform::DynamicLibrary::Open(name, error);
    if (!lib->m_library) return nullptr;

    bool complete = true;
    auto take = [&](auto& slot, const char* symbol) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(lib->m_library->Symbol(symbol));
        if (slot == nullptr) {
            if (complete) error = lib->m_library->Path() + ": missing entry point " + symbol;
            complete = false;
        }
    };
    // Taken one by one in this fixed order: the first one missing is the one
    // the user is told about.
    EntryPoints& e = lib->m_entry;
    take(e.browse, "DNSServiceBrowse");
    take(e.constructFullName, "DNSServiceConstructFullName");
    take(e.createConnection, "DNSServiceCreateConnection");
    take(e.processResult, "DNSServiceProcessResult");
    take(e.queryRecord, "DNSServiceQueryRecord");
    take(e.reconfirmRecord, "DNSServiceReconfirmRecord");
    take(e.refDeallocate, "DNSServiceRefDeallocate");
    take(e.refSockFD, "DNSServiceRefSockFD");
    take(e.resolve, "DNSServiceResolve");
    take(e.txtContainsKey, "TXTRecordContainsKey");
    take(e.txtGetValuePtr, "TXTRecordGetValuePtr");
    if (!complete) return nullptr;
    lib->Activate();
    return lib;
}

void Library::Activate() {
    m_previous = g_active;
    g_active = this;
}

Library::~Library() {
    // Libraries unload in reverse order of loading; one released out of order
    // is unlinked from wherever it sits.
    for (Library** p = &g_active; *p != nullptr; p = &(*p)->m_previous) {
        if (*p == this) {
            *p = m_previous;
            break;
        }
    }
}

void* Library::Symbol(const char* name) const { return m_library ? m_library->Symbol(name) : nullptr; }

std::string Library::Name() const {
    return m_library ? m_library->Path() : "Avahi's client library (libavahi-client.so.3)";
}

bool LibraryLoaded() { return g_active != nullptr; }

struct LibraryAccess {
    static const Library::EntryPoints& Of(const Library& lib) { return lib.m_entry; }
    static avahi::Backend* Avahi(const Library& lib) { return lib.m_avahi.get(); }
};

bool DaemonRunning() {
    if (g_active == nullptr) return false;
    avahi::Backend* backend = LibraryAccess::Avahi(*g_active);
    return backend == nullptr || avahi::DaemonRunning(*backend);
}

namespace {
const Library::EntryPoints& Entry() { return g_active != nullptr ? LibraryAccess::Of(*g_active) : kNone; }
}  // namespace

DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                     const char* regtype, const char* domain, DNSServiceBrowseReply callBack,
                                     void* context) {
    const auto fn = Entry().browse;
    return fn != nullptr ? fn(sdRef, flags, interfaceIndex, regtype, domain, callBack, context)
                         : kDNSServiceErr_ServiceNotRunning;
}

DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      const char* name, const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context) {
    const auto fn = Entry().resolve;
    return fn != nullptr ? fn(sdRef, flags, interfaceIndex, name, regtype, domain, callBack, context)
                         : kDNSServiceErr_ServiceNotRunning;
}

DNSServiceErrorType DNSServiceQueryRecord(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                          const char* fullname, uint16_t rrtype, uint16_t rrclass,
                                          DNSServiceQueryRecordReply callBack, void* context) {
    const auto fn = Entry().queryRecord;
    return fn != nullptr ? fn(sdRef, flags, interfaceIndex, fullname, rrtype, rrclass, callBack, context)
                         : kDNSServiceErr_ServiceNotRunning;
}

DNSServiceErrorType DNSServiceReconfirmRecord(DNSServiceFlags flags, uint32_t interfaceIndex, const char* fullname,
                                              uint16_t rrtype, uint16_t rrclass, uint16_t rdlen, const void* rdata) {
    const auto fn = Entry().reconfirmRecord;
    return fn != nullptr ? fn(flags, interfaceIndex, fullname, rrtype, rrclass, rdlen, rdata)
                         : kDNSServiceErr_ServiceNotRunning;
}

int DNSServiceConstructFullName(char* fullName, const char* service, const char* regtype, const char* domain) {
    const auto fn = Entry().constructFullName;
    return fn != nullptr ? fn(fullName, service, regtype, domain) : -1;
}

int DNSServiceRefSockFD(DNSServiceRef sdRef) {
    const auto fn = Entry().refSockFD;
    return fn != nullptr && sdRef != nullptr ? fn(sdRef) : -1;
}

DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef) {
    const auto fn = Entry().processResult;
    return fn != nullptr ? fn(sdRef) : kDNSServiceErr_ServiceNotRunning;
}

void DNSServiceRefDeallocate(DNSServiceRef sdRef) {
    const auto fn = Entry().refDeallocate;
    if (fn != nullptr && sdRef != nullptr) fn(sdRef);
}

DNSServiceErrorType DNSServiceCreateConnection(DNSServiceRef* sdRef) {
    const auto fn = Entry().createConnection;
    return fn != nullptr ? fn(sdRef) : kDNSServiceErr_ServiceNotRunning;
}

const void* TXTRecordGetValuePtr(uint16_t txtLen, const void* txtRecord, const char* key, uint8_t* valueLen) {
    const auto fn = Entry().txtGetValuePtr;
    return fn != nullptr ? fn(txtLen, txtRecord, key, valueLen) : nullptr;
}

int TXTRecordContainsKey(uint16_t txtLen, const void* txtRecord, const char* key) {
    const auto fn = Entry().txtContainsKey;
    return fn != nullptr ? fn(txtLen, txtRecord, key) : 0;
}

}  // namespace dnssd
