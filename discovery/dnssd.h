// The platform's DNS-SD client library, loaded at run time by name, and thin
// forwarding functions of the published names over its entry points. While no
// library is loaded every forwarder fails with kDNSServiceErr_ServiceNotRunning
// (or returns -1 / null), so callers see an ordinary DNS-SD failure.
//
// On Linux our own back-end over Avahi's client API (dnssd_avahi.h) answers
// in its place when Avahi's client libraries are there: Avahi's
// compatibility library crashes when the daemon stops during a browse and
// writes warnings on stderr for calls it does not support.
#pragma once

#include <memory>
#include <string>

#include "discovery/dns_sd_api.h"

namespace platform {
class DynamicLibrary;
}

namespace dnssd {

namespace avahi {
class Backend;
}

// "libdns_sd.so.1" here (Avahi's compatibility library or mDNSResponder's),
// "dante_dnssd.dll" on Windows.
const char* PlatformLibraryName();

// One loaded client library. The forwarders use the most recently loaded one
// that is still alive; unloading restores the one before it.
class Library {
public:
    // The platform's DNS-SD: the back-end over Avahi's client API when it
    // can be started, else the library of PlatformLibraryName(). A redirect
    // of that name (a test's fake library, or none) is taken as it stands.
    // Null with `error` saying why when neither can be had.
    static std::unique_ptr<Library> Load(std::string& error);
    // Opens NAME through the dynamic-library seam and takes all eleven
    // entry points. Null with `error` saying what is missing when the
    // library or an entry point cannot be had.
    static std::unique_ptr<Library> Load(std::string& error, const std::string& name);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Any further symbol of the library (the fake's controls in tests); null
    // for the Avahi back-end.
    void* Symbol(const char* name) const;
    // What answers: the library's path, or the Avahi back-end's name.
    std::string Name() const;

    struct EntryPoints {
        DNSServiceBrowseFn browse = nullptr;
        DNSServiceResolveFn resolve = nullptr;
        DNSServiceQueryRecordFn queryRecord = nullptr;
        DNSServiceReconfirmRecordFn reconfirmRecord = nullptr;
        DNSServiceConstructFullNameFn constructFullName = nullptr;
        DNSServiceRefSockFDFn refSockFD = nullptr;
        DNSServiceProcessResultFn processResult = nullptr;
        DNSServiceRefDeallocateFn refDeallocate = nullptr;
        DNSServiceCreateConnectionFn createConnection = nullptr;
        TXTRecordGetValuePtrFn txtGetValuePtr = nullptr;
        TXTRecordContainsKeyFn txtContainsKey = nullptr;
    };

private:
    Library() = default;
    void Activate();
    std::unique_ptr<platform::DynamicLibrary> m_library;
    std::shared_ptr<avahi::Backend> m_avahi;
    EntryPoints m_entry;
    Library* m_previous = nullptr;
    friend struct LibraryAccess;
};

bool LibraryLoaded();
// Whether the DNS-SD daemon answers, as far as the loaded library can tell:
// the Avahi back-end knows; a dns_sd library does not, and says yes.
bool DaemonRunning();

DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                     const char* regtype, const char* domain, DNSServiceBrowseReply callBack,
                                     void* context);
DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      const char* name, const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context);
DNSServiceErrorType DNSServiceQueryRecord(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                          const char* fullname, uint16_t rrtype, uint16_t rrclass,
                                          DNSServiceQueryRecordReply callBack, void* context);
DNSServiceErrorType DNSServiceReconfirmRecord(DNSServiceFlags flags, uint32_t interfaceIndex, const char* fullname,
                                              uint16_t rrtype, uint16_t rrclass, uint16_t rdlen, const void* rdata);
int DNSServiceConstructFullName(char* fullName, const char* service, const char* regtype, const char* domain);
int DNSServiceRefSockFD(DNSServiceRef sdRef);
DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef);
void DNSServiceRefDeallocate(DNSServiceRef sdRef);
DNSServiceErrorType DNSServiceCreateConnection(DNSServiceRef* sdRef);
const void* TXTRecordGetValuePtr(uint16_t txtLen, const void* txtRecord, const char* key, uint8_t* valueLen);
int TXTRecordContainsKey(uint16_t txtLen, const void* txtRecord, const char* key);

}  // namespace dnssd
