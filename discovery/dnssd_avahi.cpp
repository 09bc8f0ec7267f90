#include "discovery/dnssd_avahi.h"

#if !defined(_WIN32) && __has_include(<avahi-client/client.h>)
#define QUIL_DNSSD_AVAHI 1
#endif

#ifdef QUIL_DNSSD_AVAHI

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/watch.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "discovery/dnssd_records.h"
#include "platform/dynamic_library.h"
#include "platform/net.h"

namespace dnssd::avahi {

namespace {

// The entry points of Avahi's two libraries that the back-end calls.
struct Api {
    decltype(&avahi_threaded_poll_new) pollNew = nullptr;
    decltype(&avahi_threaded_poll_free) pollFree = nullptr;
    decltype(&avahi_threaded_poll_get) pollGet = nullptr;
    decltype(&avahi_threaded_poll_start) pollStart = nullptr;
    decltype(&avahi_threaded_poll_stop) pollStop = nullptr;
    decltype(&avahi_threaded_poll_lock) pollLock = nullptr;
    decltype(&avahi_threaded_poll_unlock) pollUnlock = nullptr;
    decltype(&avahi_string_list_serialize) serializeTxt = nullptr;
    decltype(&avahi_strerror) strerror = nullptr;
    decltype(&avahi_client_new) clientNew = nullptr;
    decltype(&avahi_client_free) clientFree = nullptr;
    decltype(&avahi_client_errno) clientErrno = nullptr;
    decltype(&avahi_service_browser_new) browserNew = nullptr;
    decltype(&avahi_service_browser_free) browserFree = nullptr;
    decltype(&avahi_service_resolver_new) resolverNew = nullptr;
    decltype(&avahi_service_resolver_free) resolverFree = nullptr;
    decltype(&avahi_record_browser_new) recordsNew = nullptr;
    decltype(&avahi_record_browser_free) recordsFree = nullptr;
};

constexpr const char* kCommonLibrary = "libavahi-common.so.3";
constexpr const char* kClientLibrary = "libavahi-client.so.3";
constexpr uint16_t kClassIn = 1;
constexpr uint16_t kTypePtr = 12;

// One reference: what was asked, the Avahi object answering it (none while
// the daemon is away), and the replies waiting for DNSServiceProcessResult.
struct Ref {
    enum class Kind { kBrowse, kResolve, kQuery };
    Kind kind = Kind::kBrowse;
    Backend* backend = nullptr;
    int fds[2] = {-1, -1};  // [0] the caller's, [1] the signalling end
    void* callback = nullptr;
    void* context = nullptr;
    AvahiIfIndex interface = AVAHI_IF_UNSPEC;
    std::string name;  // the instance (resolve), the record name (query, or a subtype's PTR name)
    std::string type;  // the service type without its trailing dot
    std::string domain;
    uint16_t rrtype = 0;
    uint16_t rrclass = kClassIn;
    AvahiServiceBrowser* browser = nullptr;
    AvahiServiceResolver* resolver = nullptr;
    AvahiRecordBrowser* records = nullptr;
    std::deque<std::function<void(DNSServiceRef)>> replies;
    // A browse's instances reported and not yet removed: (interface, name).
    std::vector<std::pair<AvahiIfIndex, std::string>> reported;
};

DNSServiceRef AsDnsRef(Ref* ref) { return reinterpret_cast<DNSServiceRef>(ref); }
Ref* AsRef(DNSServiceRef ref) { return reinterpret_cast<Ref*>(ref); }

std::string WithoutDot(const char* text) {
    std::string s = text != nullptr ? text : "";
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

DNSServiceErrorType DnsError(int avahiError) {
    switch (avahiError) {
    case AVAHI_ERR_DISCONNECTED:
    case AVAHI_ERR_NO_DAEMON:
    case AVAHI_ERR_BAD_STATE: return kDNSServiceErr_ServiceNotRunning;
    case AVAHI_ERR_NOT_FOUND: return kDNSServiceErr_NoSuchName;
    case AVAHI_ERR_NO_MEMORY: return kDNSServiceErr_NoMemory;
    case AVAHI_ERR_INVALID_HOST_NAME:
    case AVAHI_ERR_INVALID_DOMAIN_NAME:
    case AVAHI_ERR_INVALID_SERVICE_NAME:
    case AVAHI_ERR_INVALID_SERVICE_TYPE:
    case AVAHI_ERR_INVALID_SERVICE_SUBTYPE:
    case AVAHI_ERR_INVALID_INTERFACE:
    case AVAHI_ERR_INVALID_RECORD: return kDNSServiceErr_BadParam;
    default: return kDNSServiceErr_Unknown;
    }
}

// The daemon (or our connection to it) went away while an object was being
// made: the object is made again once the client is back.
bool DaemonGone(int avahiError) {
    return avahiError == AVAHI_ERR_DISCONNECTED || avahiError == AVAHI_ERR_NO_DAEMON ||
           avahiError == AVAHI_ERR_BAD_STATE || avahiError == AVAHI_ERR_DBUS_ERROR;
}

// An interface index of the published interface as Avahi's: 0 is any; the
// special indexes (local only, P2P...) have no Avahi counterpart.
bool AvahiInterface(uint32_t index, AvahiIfIndex& out) {
    if (index > 0x7FFFFFFFu) return false;
    out = index == 0 ? AVAHI_IF_UNSPEC : static_cast<AvahiIfIndex>(index);
    return true;
}

uint32_t DnsInterface(AvahiIfIndex index) { return index < 0 ? 0 : static_cast<uint32_t>(index); }

}  // namespace

class Backend {
public:
    ~Backend();
    bool Start(std::string& error);
    bool DaemonRunning();

    DNSServiceErrorType NewRef(Ref* ref, DNSServiceRef* out);
    DNSServiceErrorType ProcessResult(Ref* ref);
    void Deallocate(Ref* ref);

private:
    struct Lock {
        explicit Lock(Backend& b) : backend(b) { backend.m_api.pollLock(backend.m_poll); }
        ~Lock() { backend.m_api.pollUnlock(backend.m_poll); }
        Backend& backend;
    };

    static void ClientChanged(AvahiClient* client, AvahiClientState state, void* self);
    static void Reconnect(AvahiTimeout* timeout, void* self);
    static void BrowserEvent(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol, AvahiBrowserEvent event,
                             const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* ref);
    static void RecordEvent(AvahiRecordBrowser*, AvahiIfIndex interface, AvahiProtocol, AvahiBrowserEvent event,
                            const char* name, uint16_t rrclass, uint16_t rrtype, const void* rdata, size_t size,
                            AvahiLookupResultFlags, void* ref);
    static void ResolverEvent(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                              const char* name, const char* type, const char* domain, const char* host,
                              const AvahiAddress*, uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags,
                              void* ref);

    bool Load(std::string& error);
    bool Connected() const {
        return m_state == AVAHI_CLIENT_S_RUNNING || m_state == AVAHI_CLIENT_S_REGISTERING ||
               m_state == AVAHI_CLIENT_S_COLLISION;
    }
    // With the loop's lock held (or from inside the loop).
    int Create(Ref* ref);
    // Create, or leave the reference waiting when the daemon went away meanwhile.
    int CreateOrWait(Ref* ref) {
        const int error = Create(ref);
        return DaemonGone(error) ? AVAHI_OK : error;
    }
    void Post(Ref* ref, std::function<void(DNSServiceRef)> reply);
    void PostError(Ref* ref, DNSServiceErrorType error);
    void PostBrowse(Ref* ref, bool add, AvahiIfIndex interface, const std::string& instance);
    void Forget(Ref* ref);
    void DaemonLost();
    void GiveUp();
    int ClientError() const { return m_client != nullptr ? m_api.clientErrno(m_client) : AVAHI_ERR_DISCONNECTED; }

    Api m_api;
    std::unique_ptr<platform::DynamicLibrary> m_common;
    std::unique_ptr<platform::DynamicLibrary> m_clientLibrary;
    AvahiThreadedPoll* m_poll = nullptr;
    const AvahiPoll* m_pollApi = nullptr;
    AvahiClient* m_client = nullptr;
    AvahiClientState m_state = AVAHI_CLIENT_CONNECTING;
    bool m_dead = false;  // no client could be made again: every reference has failed
    bool m_reconnecting = false;
    bool m_threadRunning = false;
    std::vector<Ref*> m_refs;
};

namespace {

Backend* g_backend = nullptr;  // the back-end the entry points answer through
std::weak_ptr<Backend> g_shared;

}  // namespace

bool Backend::Load(std::string& error) {
    m_common = platform::DynamicLibrary::Open(kCommonLibrary, error);
    if (m_common) m_clientLibrary = platform::DynamicLibrary::Open(kClientLibrary, error);
    if (!m_common || !m_clientLibrary) return false;
    bool complete = true;
    auto take = [&](const platform::DynamicLibrary& library, auto& slot, const char* symbol) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library.Symbol(symbol));
        if (slot == nullptr && complete) {
            error = library.Path() + ": missing entry point " + symbol;
            complete = false;
        }
    };
    take(*m_common, m_api.pollNew, "avahi_threaded_poll_new");
    take(*m_common, m_api.pollFree, "avahi_threaded_poll_free");
    take(*m_common, m_api.pollGet, "avahi_threaded_poll_get");
    take(*m_common, m_api.pollStart, "avahi_threaded_poll_start");
    take(*m_common, m_api.pollStop, "avahi_threaded_poll_stop");
    take(*m_common, m_api.pollLock, "avahi_threaded_poll_lock");
    take(*m_common, m_api.pollUnlock, "avahi_threaded_poll_unlock");
    take(*m_common, m_api.serializeTxt, "avahi_string_list_serialize");
    take(*m_common, m_api.strerror, "avahi_strerror");
    take(*m_clientLibrary, m_api.clientNew, "avahi_client_new");
    take(*m_clientLibrary, m_api.clientFree, "avahi_client_free");
    take(*m_clientLibrary, m_api.clientErrno, "avahi_client_errno");
    take(*m_clientLibrary, m_api.browserNew, "avahi_service_browser_new");
    take(*m_clientLibrary, m_api.browserFree, "avahi_service_browser_free");
    take(*m_clientLibrary, m_api.resolverNew, "avahi_service_resolver_new");
    take(*m_clientLibrary, m_api.resolverFree, "avahi_service_resolver_free");
    take(*m_clientLibrary, m_api.recordsNew, "avahi_record_browser_new");
    take(*m_clientLibrary, m_api.recordsFree, "avahi_record_browser_free");
    return complete;
}

bool Backend::Start(std::string& error) {
    if (!Load(error)) return false;
    m_poll = m_api.pollNew();
    if (m_poll == nullptr) {
        error = "Avahi: cannot make an event loop";
        return false;
    }
    m_pollApi = m_api.pollGet(m_poll);
    // Not failing while the daemon is away: the client waits for it.
    int code = 0;
    m_client = m_api.clientNew(m_pollApi, AVAHI_CLIENT_NO_FAIL, ClientChanged, this, &code);
    if (m_client == nullptr) {
        error = std::string("Avahi: no client of the daemon: ") + m_api.strerror(code);
        return false;
    }
    // The loop's thread takes no signal: they belong to the program's threads.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    m_threadRunning = m_api.pollStart(m_poll) >= 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!m_threadRunning) {
        error = "Avahi: cannot start the event loop";
        return false;
    }
    return true;
}

Backend::~Backend() {
    if (g_backend == this) g_backend = nullptr;
    if (m_threadRunning) m_api.pollStop(m_poll);
    // References a caller never deallocated: the forwarders no longer reach
    // this back-end, so nothing can use them again.
    for (Ref* ref : m_refs) {
        ::close(ref->fds[0]);
        ::close(ref->fds[1]);
        delete ref;
    }
    if (m_client != nullptr) m_api.clientFree(m_client);  // frees its browsers and resolvers
    if (m_poll != nullptr) m_api.pollFree(m_poll);
}

bool Backend::DaemonRunning() {
    const Lock lock(*this);
    return Connected();
}

void Backend::Post(Ref* ref, std::function<void(DNSServiceRef)> reply) {
    const bool wasEmpty = ref->replies.empty();
    ref->replies.push_back(std::move(reply));
    if (wasEmpty) {
        const char byte = 1;
        (void)!::send(ref->fds[1], &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
}

void Backend::PostError(Ref* ref, DNSServiceErrorType error) {
    Post(ref, [ref, error](DNSServiceRef self) {
        void* context = ref->context;
        switch (ref->kind) {
        case Ref::Kind::kBrowse:
            reinterpret_cast<DNSServiceBrowseReply>(ref->callback)(self, 0, 0, error, "", "", "", context);
            break;
        case Ref::Kind::kResolve:
            reinterpret_cast<DNSServiceResolveReply>(ref->callback)(self, 0, 0, error, "", "", 0, 0, nullptr, context);
            break;
        case Ref::Kind::kQuery:
            reinterpret_cast<DNSServiceQueryRecordReply>(ref->callback)(self, 0, 0, error, "", 0, 0, 0, nullptr, 0,
                                                                        context);
            break;
        }
    });
}

void Backend::PostBrowse(Ref* ref, bool add, AvahiIfIndex interface, const std::string& instance) {
    const auto known = std::find(ref->reported.begin(), ref->reported.end(), std::make_pair(interface, instance));
    if (add && known == ref->reported.end()) ref->reported.emplace_back(interface, instance);
    if (!add) {
        if (known == ref->reported.end()) return;
        ref->reported.erase(known);
    }
    const std::string type = ref->type + ".";
    const std::string domain = ref->domain + ".";
    const DNSServiceFlags flags = add ? kDNSServiceFlagsAdd : 0;
    const uint32_t index = DnsInterface(interface);
    Post(ref, [ref, flags, index, instance, type, domain](DNSServiceRef self) {
        reinterpret_cast<DNSServiceBrowseReply>(ref->callback)(
            self, flags, index, kDNSServiceErr_NoError, instance.c_str(), type.c_str(), domain.c_str(), ref->context);
    });
}

int Backend::Create(Ref* ref) {
    switch (ref->kind) {
    case Ref::Kind::kBrowse:
        // A subtype is browsed as the PTR records of its name, whatever
        // its label: the daemon's service browser takes only "_" labels.
        if (!ref->name.empty()) {
            ref->records = m_api.recordsNew(m_client, ref->interface, AVAHI_PROTO_INET, ref->name.c_str(), kClassIn,
                                            kTypePtr, AvahiLookupFlags(0), RecordEvent, ref);
            return ref->records != nullptr ? AVAHI_OK : ClientError();
        }
        ref->browser = m_api.browserNew(m_client, ref->interface, AVAHI_PROTO_INET, ref->type.c_str(),
                                        ref->domain.c_str(), AvahiLookupFlags(0), BrowserEvent, ref);
        return ref->browser != nullptr ? AVAHI_OK : ClientError();
    case Ref::Kind::kResolve:
        // Host, port and TXT only: the address is a query of its own.
        ref->resolver =
            m_api.resolverNew(m_client, ref->interface, AVAHI_PROTO_INET, ref->name.c_str(), ref->type.c_str(),
                              ref->domain.c_str(), AVAHI_PROTO_INET, AVAHI_LOOKUP_NO_ADDRESS, ResolverEvent, ref);
        return ref->resolver != nullptr ? AVAHI_OK : ClientError();
    case Ref::Kind::kQuery:
        ref->records = m_api.recordsNew(m_client, ref->interface, AVAHI_PROTO_INET, ref->name.c_str(), ref->rrclass,
                                        ref->rrtype, AvahiLookupFlags(0), RecordEvent, ref);
        return ref->records != nullptr ? AVAHI_OK : ClientError();
    }
    return AVAHI_ERR_INVALID_OBJECT;
}

// Frees the reference's Avahi object, if it has one.
void Backend::Forget(Ref* ref) {
    if (ref->browser != nullptr) m_api.browserFree(ref->browser);
    if (ref->resolver != nullptr) m_api.resolverFree(ref->resolver);
    if (ref->records != nullptr) m_api.recordsFree(ref->records);
    ref->browser = nullptr;
    ref->resolver = nullptr;
    ref->records = nullptr;
}

// The client failed (the daemon stopped or the bus dropped us): its objects
// are gone with it, and nothing a browse reported can be vouched for.
void Backend::DaemonLost() {
    for (Ref* ref : m_refs) {
        ref->browser = nullptr;
        ref->resolver = nullptr;
        ref->records = nullptr;
        const auto reported = ref->reported;
        for (const auto& [interface, instance] : reported) PostBrowse(ref, false, interface, instance);
    }
}

void Backend::ClientChanged(AvahiClient* client, AvahiClientState state, void* self) {
    auto* b = static_cast<Backend*>(self);
    b->m_client = client;  // the first call comes from inside avahi_client_new
    const bool wasConnected = b->Connected();
    b->m_state = state;
    if (wasConnected && !b->Connected()) b->DaemonLost();
    if (b->Connected() && !wasConnected) {
        for (Ref* ref : b->m_refs) {
            if (ref->browser == nullptr && ref->resolver == nullptr && ref->records == nullptr) {
                if (const int error = b->CreateOrWait(ref); error != AVAHI_OK) b->PostError(ref, DnsError(error));
            }
        }
    }
    if (state == AVAHI_CLIENT_FAILURE && !b->m_reconnecting) {
        // A client that failed stays failed: a new one, made outside this
        // callback, waits for the daemon to come back.
        timeval now{};
        gettimeofday(&now, nullptr);
        b->m_reconnecting = b->m_pollApi->timeout_new(b->m_pollApi, &now, Reconnect, b) != nullptr;
        if (!b->m_reconnecting) b->GiveUp();
    }
}

void Backend::Reconnect(AvahiTimeout* timeout, void* self) {
    auto* b = static_cast<Backend*>(self);
    b->m_pollApi->timeout_free(timeout);
    b->m_reconnecting = false;
    if (b->m_client != nullptr) b->m_api.clientFree(b->m_client);
    b->m_client = nullptr;
    b->m_state = AVAHI_CLIENT_CONNECTING;
    int code = 0;
    AvahiClient* client = b->m_api.clientNew(b->m_pollApi, AVAHI_CLIENT_NO_FAIL, ClientChanged, b, &code);
    if (client == nullptr) return b->GiveUp();
    b->m_client = client;
}

// No client can be made (the system bus is gone): every reference fails.
void Backend::GiveUp() {
    m_dead = true;
    m_state = AVAHI_CLIENT_FAILURE;
    for (Ref* ref : m_refs) PostError(ref, kDNSServiceErr_ServiceNotRunning);
}

void Backend::BrowserEvent(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol, AvahiBrowserEvent event,
                           const char* name, const char*, const char*, AvahiLookupResultFlags, void* opaque) {
    auto* ref = static_cast<Ref*>(opaque);
    Backend* b = ref->backend;
    if (event == AVAHI_BROWSER_NEW || event == AVAHI_BROWSER_REMOVE) {
        b->PostBrowse(ref, event == AVAHI_BROWSER_NEW, interface, name != nullptr ? name : "");
    } else if (event == AVAHI_BROWSER_FAILURE) {
        b->PostError(ref, DnsError(b->ClientError()));
    }
}

void Backend::RecordEvent(AvahiRecordBrowser*, AvahiIfIndex interface, AvahiProtocol, AvahiBrowserEvent event,
                          const char* name, uint16_t rrclass, uint16_t rrtype, const void* rdata, size_t size,
                          AvahiLookupResultFlags, void* opaque) {
    auto* ref = static_cast<Ref*>(opaque);
    Backend* b = ref->backend;
    if (event == AVAHI_BROWSER_FAILURE) return b->PostError(ref, DnsError(b->ClientError()));
    if (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) return;
    const bool add = event == AVAHI_BROWSER_NEW;
    const auto* data = static_cast<const uint8_t*>(rdata);
    if (ref->kind == Ref::Kind::kBrowse) {
        std::string instance;
        if (rrtype == kTypePtr && FirstWireLabel(data, size, instance)) {
            b->PostBrowse(ref, add, interface, instance);
        }
        return;
    }
    if (size > 0xFFFF || (size > 0 && data == nullptr)) return;
    const std::string fullname = std::string(name != nullptr ? name : "") + ".";
    const std::vector<uint8_t> bytes(data, data + size);
    const uint32_t index = DnsInterface(interface);
    const DNSServiceFlags flags = add ? kDNSServiceFlagsAdd : 0;
    b->Post(ref, [ref, flags, index, fullname, rrtype, rrclass, bytes](DNSServiceRef self) {
        reinterpret_cast<DNSServiceQueryRecordReply>(ref->callback)(
            self, flags, index, kDNSServiceErr_NoError, fullname.c_str(), rrtype, rrclass,
            static_cast<uint16_t>(bytes.size()), bytes.data(), 0, ref->context);
    });
}

void Backend::ResolverEvent(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                            AvahiResolverEvent event, const char* name, const char* type, const char* domain,
                            const char* host, const AvahiAddress*, uint16_t port, AvahiStringList* txt,
                            AvahiLookupResultFlags, void* opaque) {
    auto* ref = static_cast<Ref*>(opaque);
    Backend* b = ref->backend;
    if (event == AVAHI_RESOLVER_FAILURE) {
        const int error = b->ClientError();
        // A resolve runs until it is cancelled, as DNS-SD's does: the
        // daemon's time-out only starts it again.
        if (error == AVAHI_ERR_TIMEOUT) {
            b->m_api.resolverFree(resolver);
            ref->resolver = nullptr;
            if (const int again = b->CreateOrWait(ref); again != AVAHI_OK) b->PostError(ref, DnsError(again));
            return;
        }
        return b->PostError(ref, DnsError(error));
    }
    char fullname[kDNSServiceMaxDomainName];
    ConstructFullName(fullname, name, type, domain);
    std::vector<uint8_t> record(0xFFFF);
    record.resize(b->m_api.serializeTxt(txt, record.data(), record.size()));
    const std::string target = std::string(host != nullptr ? host : "") + ".";
    const std::string full = fullname;
    const uint32_t index = DnsInterface(interface);
    const uint16_t networkPort = platform::NetOrder16(port);
    b->Post(ref, [ref, index, full, target, networkPort, record](DNSServiceRef self) {
        reinterpret_cast<DNSServiceResolveReply>(ref->callback)(
            self, 0, index, kDNSServiceErr_NoError, full.c_str(), target.c_str(), networkPort,
            static_cast<uint16_t>(record.size()), record.data(), ref->context);
    });
}

DNSServiceErrorType Backend::NewRef(Ref* ref, DNSServiceRef* out) {
    ref->backend = this;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ref->fds) != 0) {
        delete ref;
        return kDNSServiceErr_NoMemory;
    }
    int error = AVAHI_OK;
    {
        const Lock lock(*this);
        if (m_dead) {
            error = AVAHI_ERR_DISCONNECTED;
        } else if (Connected()) {
            error = CreateOrWait(ref);
        }
        // Otherwise the reference starts once the daemon is there.
        if (error == AVAHI_OK) m_refs.push_back(ref);
    }
    if (error != AVAHI_OK) {
        ::close(ref->fds[0]);
        ::close(ref->fds[1]);
        delete ref;
        return DnsError(error);
    }
    *out = AsDnsRef(ref);
    return kDNSServiceErr_NoError;
}

DNSServiceErrorType Backend::ProcessResult(Ref* ref) {
    std::function<void(DNSServiceRef)> reply;
    {
        const Lock lock(*this);
        if (!ref->replies.empty()) {
            reply = std::move(ref->replies.front());
            ref->replies.pop_front();
        }
        // The socket is readable exactly while replies wait.
        if (ref->replies.empty()) {
            char bytes[16];
            while (::recv(ref->fds[0], bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
            }
        }
    }
    // The caller's callback runs without the loop's lock: it may start or
    // end references itself, this one included.
    if (reply) reply(AsDnsRef(ref));
    return kDNSServiceErr_NoError;
}

void Backend::Deallocate(Ref* ref) {
    {
        const Lock lock(*this);
        Forget(ref);
        m_refs.erase(std::remove(m_refs.begin(), m_refs.end(), ref), m_refs.end());
    }
    ::close(ref->fds[0]);
    ::close(ref->fds[1]);
    delete ref;
}

namespace {

// A reference of KIND for CALLBACK, handed to the back-end once FILL has
// said what it asks for (false: a bad parameter).
template <typename Fill>
DNSServiceErrorType MakeRef(DNSServiceRef* sdRef, Ref::Kind kind, void* callback, void* context,
                            uint32_t interfaceIndex, Fill fill) {
    if (g_backend == nullptr) return kDNSServiceErr_ServiceNotRunning;
    if (sdRef == nullptr || callback == nullptr) return kDNSServiceErr_BadParam;
    auto ref = std::make_unique<Ref>();
    ref->kind = kind;
    ref->callback = callback;
    ref->context = context;
    if (!AvahiInterface(interfaceIndex, ref->interface)) return kDNSServiceErr_Unsupported;
    if (!fill(*ref)) return kDNSServiceErr_BadParam;
    return g_backend->NewRef(ref.release(), sdRef);
}

std::string DomainOf(const char* domain) { return domain != nullptr && *domain != '\0' ? WithoutDot(domain) : "local"; }

DNSServiceErrorType Browse(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t interfaceIndex, const char* regtype,
                           const char* domain, DNSServiceBrowseReply callBack, void* context) {
    return MakeRef(sdRef, Ref::Kind::kBrowse, reinterpret_cast<void*>(callBack), context, interfaceIndex,
                   [&](Ref& ref) {
                       if (regtype == nullptr) return false;
                       ref.domain = DomainOf(domain);
                       // "TYPE,SUBTYPE": the subtype's instances are the PTR records of
                       // "SUBTYPE._sub.TYPE.DOMAIN".
                       const std::string full = regtype;
                       const size_t comma = full.find(',');
                       ref.type = WithoutDot(full.substr(0, comma).c_str());
                       if (comma == std::string::npos) return true;
                       const std::string subtype = full.substr(comma + 1, full.find(',', comma + 1) - comma - 1);
                       ref.name = subtype + "._sub." + ref.type + "." + ref.domain;
                       return !subtype.empty();
                   });
}

DNSServiceErrorType Resolve(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t interfaceIndex, const char* name,
                            const char* regtype, const char* domain, DNSServiceResolveReply callBack, void* context) {
    return MakeRef(sdRef, Ref::Kind::kResolve, reinterpret_cast<void*>(callBack), context, interfaceIndex,
                   [&](Ref& ref) {
                       if (name == nullptr || regtype == nullptr) return false;
                       ref.name = name;
                       ref.type = WithoutDot(regtype);
                       ref.domain = DomainOf(domain);
                       return true;
                   });
}

// Any flags are taken: the daemon always asks by multicast on ".local" and
// keeps asking while the query runs.
DNSServiceErrorType QueryRecord(DNSServiceRef* sdRef, DNSServiceFlags, uint32_t interfaceIndex, const char* fullname,
                                uint16_t rrtype, uint16_t rrclass, DNSServiceQueryRecordReply callBack, void* context) {
    return MakeRef(sdRef, Ref::Kind::kQuery, reinterpret_cast<void*>(callBack), context, interfaceIndex, [&](Ref& ref) {
        if (fullname == nullptr) return false;
        ref.name = WithoutDot(fullname);
        ref.rrtype = rrtype;
        ref.rrclass = rrclass;
        return true;
    });
}

// The daemon's client interface has no reconfirmation; the record simply
// ages out of its cache.
DNSServiceErrorType ReconfirmRecord(DNSServiceFlags, uint32_t, const char*, uint16_t, uint16_t, uint16_t, const void*) {
    return kDNSServiceErr_Unsupported;
}

int RefSockFD(DNSServiceRef sdRef) { return sdRef != nullptr ? AsRef(sdRef)->fds[0] : -1; }

DNSServiceErrorType ProcessResult(DNSServiceRef sdRef) {
    return sdRef != nullptr ? AsRef(sdRef)->backend->ProcessResult(AsRef(sdRef)) : kDNSServiceErr_BadReference;
}

void RefDeallocate(DNSServiceRef sdRef) {
    if (sdRef != nullptr) AsRef(sdRef)->backend->Deallocate(AsRef(sdRef));
}

DNSServiceErrorType CreateConnection(DNSServiceRef*) { return kDNSServiceErr_Unsupported; }

const Library::EntryPoints kEntryPoints = {
    .browse = Browse,
    .resolve = Resolve,
    .queryRecord = QueryRecord,
    .reconfirmRecord = ReconfirmRecord,
    .constructFullName = ConstructFullName,
    .refSockFD = RefSockFD,
    .processResult = ProcessResult,
    .refDeallocate = RefDeallocate,
    .createConnection = CreateConnection,
    .txtGetValuePtr = TxtValue,
    .txtContainsKey = TxtContainsKey,
};

}  // namespace

std::shared_ptr<Backend> Start(std::string& error) {
    if (std::shared_ptr<Backend> running = g_shared.lock()) return running;
    auto backend = std::make_shared<Backend>();
    if (!backend->Start(error)) return nullptr;
    g_shared = backend;
    g_backend = backend.get();
    return backend;
}

const Library::EntryPoints& EntryPoints() { return kEntryPoints; }

bool DaemonRunning(Backend& backend) { return backend.DaemonRunning(); }

}  // namespace dnssd::avahi

#else

namespace dnssd::avahi {

class Backend {};

std::shared_ptr<Backend> Start(std::string& error) {
    error = "this build has no DNS-SD back-end over Avahi's client API";
    return nullptr;
}

const Library::EntryPoints& EntryPoints() {
    static const Library::EntryPoints none{};
    return none;
}

bool DaemonRunning(Backend&) { return false; }

}  // namespace dnssd::avahi

#endif
