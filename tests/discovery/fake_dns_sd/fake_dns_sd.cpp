// A DNS-SD client library for tests: the published entry points over a
// scriptable set of services and address records. Each reference owns a
// loopback UDP socket that holds one datagram, sent to itself, while replies
// are queued, so select() sees the reference readable until
// DNSServiceProcessResult has delivered the last of them. Built as a shared
// library on Linux and as a DLL on Windows.
// FAKE_DNSSD_SCRIPT names a file of lines read at first use:
//   service NAME TYPE SUBTYPE|- IFINDEX HOST PORT [key=value...]
//   address HOST IFINDEX A.B.C.D
//   avahi
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/dns_sd_api.h"
#include "platform/net.h"
#include "platform/udp_socket.h"

#ifdef _WIN32
#define EXPORT extern "C" __declspec(dllexport)
#else
#define EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr DNSServiceErrorType kUnsupported = -65544;
constexpr DNSServiceErrorType kBadParam = -65540;
constexpr uint32_t kLoopback = platform::NetOrder32(0x7F000001u);

struct Service {
    std::string name, type, subtype, host;
    uint32_t ifindex = 0;
    uint16_t port = 0;
    std::vector<uint8_t> txt;
    int resolveMode = 0;
};

struct Address {
    std::string host;
    uint32_t ifindex = 0;
    std::vector<uint8_t> data;
};

}  // namespace

struct _DNSServiceRef_t {
    enum Kind { kBrowse, kResolve, kQuery, kConnection } kind = kBrowse;
    platform::UdpSocket signal;  // readable while replies wait
    uint16_t signalPort = 0;
    std::deque<std::function<void()>> replies;
    std::string type, subtype, name;
    void* callback = nullptr;
    void* context = nullptr;
    uint16_t rrtype = 0;
};

namespace {

struct State {
    bool loaded = false;
    bool avahi = false;
    std::vector<Service> services;
    std::vector<Address> addresses;
    std::vector<DNSServiceRef> refs;
    std::map<std::string, DNSServiceErrorType> failNext;
    std::map<std::string, int> counts;
    std::map<std::string, std::string> lastName;
    std::map<std::string, uint32_t> lastFlags;
    uint16_t reconfirmType = 0;
    std::vector<uint8_t> reconfirmData;
};
State g;

std::string NoDot(std::string s) {
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool SameLetters(const char* a, const char* b, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}
bool Same(const std::string& a, const std::string& b) {
    const std::string x = NoDot(a), y = NoDot(b);
    return x.size() == y.size() && SameLetters(x.data(), y.data(), x.size());
}

std::vector<uint8_t> TxtFromPairs(const std::vector<std::string>& pairs) {
    std::vector<uint8_t> txt;
    for (const std::string& p : pairs) {
        txt.push_back(static_cast<uint8_t>(p.size()));
        txt.insert(txt.end(), p.begin(), p.end());
    }
    return txt;
}

void LoadScript() {
    if (g.loaded) return;
    g.loaded = true;
    const char* path = std::getenv("FAKE_DNSSD_SCRIPT");
    if (path == nullptr) return;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "avahi") {
            g.avahi = true;
        } else if (kind == "service") {
            Service s;
            std::string port;
            words >> s.name >> s.type >> s.subtype >> s.ifindex >> s.host >> port;
            if (s.subtype == "-") s.subtype.clear();
            s.port = static_cast<uint16_t>(std::atoi(port.c_str()));
            std::vector<std::string> pairs;
            for (std::string p; words >> p;) pairs.push_back(p);
            s.txt = TxtFromPairs(pairs);
            g.services.push_back(s);
        } else if (kind == "address") {
            Address a;
            std::string ip;
            words >> a.host >> a.ifindex >> ip;
            uint32_t address = 0;
            platform::ParseIpv4(ip, address);
            a.data.resize(4);
            std::memcpy(a.data.data(), &address, 4);
            g.addresses.push_back(a);
        }
    }
}

// Counts the call and returns an injected failure, if any.
DNSServiceErrorType Enter(const char* entry, const std::string& name, uint32_t flags) {
    LoadScript();
    ++g.counts[entry];
    g.lastName[entry] = name;
    g.lastFlags[entry] = flags;
    auto it = g.failNext.find(entry);
    if (it == g.failNext.end()) return 0;
    const DNSServiceErrorType e = it->second;
    g.failNext.erase(it);
    return e;
}

DNSServiceRef NewRef(_DNSServiceRef_t::Kind kind, void* callback, void* context) {
    auto* ref = new _DNSServiceRef_t();
    ref->kind = kind;
    ref->callback = callback;
    ref->context = context;
    if (ref->signal.Create(true) && ref->signal.Bind(kLoopback, 0)) {
        ref->signalPort = static_cast<uint16_t>(std::max(platform::SocketLocalPort(ref->signal.Descriptor()), 0));
    }
    g.refs.push_back(ref);
    return ref;
}

// The signal datagram goes out when the first reply is queued and is taken
// back with the last one.
void Queue(DNSServiceRef ref, std::function<void()> reply) {
    if (ref->replies.empty()) {
        const uint8_t byte = 1;
        ref->signal.SendTo(kLoopback, ref->signalPort, &byte, 1);
    }
    ref->replies.push_back(std::move(reply));
}

std::function<void()> TakeReply(DNSServiceRef ref) {
    std::function<void()> reply = std::move(ref->replies.front());
    ref->replies.pop_front();
    if (ref->replies.empty()) {
        uint8_t byte;
        ref->signal.Receive(&byte, 1);
    }
    return reply;
}

bool BrowseMatches(const DNSServiceRef ref, const Service& s) {
    return ref->kind == _DNSServiceRef_t::kBrowse && Same(ref->type, s.type) &&
           (ref->subtype.empty() || ref->subtype == s.subtype);
}

void QueueBrowse(DNSServiceRef ref, const Service& s, DNSServiceFlags flags) {
    const int times = g.avahi ? 2 : 1;  // Avahi reports each instance per address family
    for (int i = 0; i < times; ++i) {
        Queue(ref, [ref, s, flags] {
            reinterpret_cast<DNSServiceBrowseReply>(ref->callback)(
                ref, flags, s.ifindex, 0, s.name.c_str(), (NoDot(s.type) + ".").c_str(), "local.", ref->context);
        });
    }
}

std::vector<uint8_t> WireName(const std::string& instance, const std::string& type) {
    std::vector<uint8_t> wire;
    auto label = [&](const std::string& l) {
        wire.push_back(static_cast<uint8_t>(l.size()));
        wire.insert(wire.end(), l.begin(), l.end());
    };
    label(instance);
    std::string rest = NoDot(type) + ".local";
    size_t start = 0;
    while (start < rest.size()) {
        size_t dot = rest.find('.', start);
        if (dot == std::string::npos) dot = rest.size();
        label(rest.substr(start, dot - start));
        start = dot + 1;
    }
    wire.push_back(0);
    return wire;
}

bool PtrQueryMatches(const DNSServiceRef ref, const Service& s) {
    return ref->kind == _DNSServiceRef_t::kQuery && ref->rrtype == 12 && !s.subtype.empty() &&
           Same(ref->name, s.subtype + "._sub." + NoDot(s.type) + ".local");
}

void QueuePtr(DNSServiceRef ref, const Service& s, DNSServiceFlags flags) {
    const std::vector<uint8_t> data = WireName(s.name, s.type);
    Queue(ref, [ref, data, flags] {
        reinterpret_cast<DNSServiceQueryRecordReply>(ref->callback)(ref, flags, 1, 0, ref->name.c_str(), 12, 1,
                                                                    static_cast<uint16_t>(data.size()), data.data(), 0,
                                                                    ref->context);
    });
}

const uint8_t* FindKey(uint16_t len, const uint8_t* txt, const char* key, uint8_t* value_len) {
    const size_t klen = std::strlen(key);
    for (unsigned pos = 0; txt != nullptr && pos < len;) {
        const unsigned n = txt[pos];
        const uint8_t* item = txt + pos + 1;
        if (pos + 1 + n > len) return nullptr;
        const uint8_t* eq = static_cast<const uint8_t*>(std::memchr(item, '=', n));
        const size_t keylen = eq != nullptr ? static_cast<size_t>(eq - item) : n;
        if (keylen == klen && SameLetters(reinterpret_cast<const char*>(item), key, klen)) {
            if (eq == nullptr) {
                *value_len = 0;
                return item + n;  // key without value: present, no data
            }
            *value_len = static_cast<uint8_t>(n - keylen - 1);
            return eq + 1;
        }
        pos += 1 + n;
    }
    return nullptr;
}

}  // namespace

// ---- the published entry points ---------------------------------------------

EXPORT DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t, const char* regtype,
                                            const char*, DNSServiceBrowseReply callBack, void* context) {
    const std::string full = regtype != nullptr ? regtype : "";
    if (const DNSServiceErrorType e = Enter("DNSServiceBrowse", full, flags)) return e;
    const size_t comma = full.find(',');
    const std::string subtype = comma == std::string::npos ? "" : full.substr(comma + 1);
    if (g.avahi && (flags != 0 || (!subtype.empty() && subtype[0] != '_'))) return kUnsupported;
    DNSServiceRef ref = NewRef(_DNSServiceRef_t::kBrowse, reinterpret_cast<void*>(callBack), context);
    ref->type = full.substr(0, comma);
    ref->subtype = subtype;
    for (const Service& s : g.services) {
        if (BrowseMatches(ref, s)) QueueBrowse(ref, s, 0x2);
    }
    *sdRef = ref;
    return 0;
}

#ifndef FAKE_DNS_SD_WITHOUT_RESOLVE
EXPORT DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t ifindex,
                                             const char* name, const char* regtype, const char*,
                                             DNSServiceResolveReply callBack, void* context) {
    if (const DNSServiceErrorType e = Enter("DNSServiceResolve", name, flags)) return e;
    DNSServiceRef ref = NewRef(_DNSServiceRef_t::kResolve, reinterpret_cast<void*>(callBack), context);
    ref->name = name;
    ref->type = regtype;
    for (const Service& s : g.services) {
        if (s.name != name || !Same(s.type, regtype) || (ifindex != 0 && ifindex != s.ifindex)) continue;
        if (s.resolveMode == 1) break;
        Queue(ref, [ref, s] {
            const std::string fullname = s.name + "." + NoDot(s.type) + ".local.";
            reinterpret_cast<DNSServiceResolveReply>(ref->callback)(
                ref, 0, s.ifindex, s.resolveMode == 2 ? -65537 : 0, fullname.c_str(), s.host.c_str(),
                platform::NetOrder16(s.port), static_cast<uint16_t>(s.txt.size()), s.txt.data(), ref->context);
        });
        break;
    }
    *sdRef = ref;
    return 0;
}
#endif

EXPORT DNSServiceErrorType DNSServiceQueryRecord(DNSServiceRef* sdRef, DNSServiceFlags flags, uint32_t,
                                                 const char* fullname, uint16_t rrtype, uint16_t,
                                                 DNSServiceQueryRecordReply callBack, void* context) {
    if (const DNSServiceErrorType e = Enter("DNSServiceQueryRecord", fullname, flags)) return e;
    if (g.avahi && flags != 0) return kUnsupported;
    DNSServiceRef ref = NewRef(_DNSServiceRef_t::kQuery, reinterpret_cast<void*>(callBack), context);
    ref->name = fullname;
    ref->rrtype = rrtype;
    if (rrtype == 12) {
        for (const Service& s : g.services) {
            if (PtrQueryMatches(ref, s)) QueuePtr(ref, s, 0x2);
        }
    } else {
        for (const Address& a : g.addresses) {
            if (!Same(a.host, fullname)) continue;
            Queue(ref, [ref, a] {
                reinterpret_cast<DNSServiceQueryRecordReply>(ref->callback)(ref, 0x2, a.ifindex, 0, ref->name.c_str(),
                                                                            1, 1, static_cast<uint16_t>(a.data.size()),
                                                                            a.data.data(), 120, ref->context);
            });
        }
    }
    *sdRef = ref;
    return 0;
}

EXPORT DNSServiceErrorType DNSServiceReconfirmRecord(DNSServiceFlags flags, uint32_t, const char* fullname,
                                                     uint16_t rrtype, uint16_t, uint16_t rdlen, const void* rdata) {
    if (const DNSServiceErrorType e = Enter("DNSServiceReconfirmRecord", fullname, flags)) return e;
    if (g.avahi) return kUnsupported;
    g.reconfirmType = rrtype;
    const auto* p = static_cast<const uint8_t*>(rdata);
    g.reconfirmData.assign(p, p + (p != nullptr ? rdlen : 0));
    return 0;
}

#ifndef FAKE_DNS_SD_WITHOUT_RESOLVE
EXPORT int DNSServiceConstructFullName(char* fullName, const char* service, const char* regtype, const char* domain) {
    Enter("DNSServiceConstructFullName", service, 0);
    std::string text = std::string(service) + "." + NoDot(regtype) + "." + NoDot(domain) + (g.avahi ? "" : ".");
    std::snprintf(fullName, 1009, "%s", text.c_str());
    return 0;
}
#endif

EXPORT int DNSServiceRefSockFD(DNSServiceRef sdRef) { return sdRef != nullptr ? sdRef->signal.Descriptor() : -1; }

EXPORT DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef) {
    if (const DNSServiceErrorType e = Enter("DNSServiceProcessResult", "", 0)) return e;
    if (sdRef == nullptr) return kBadParam;
    if (sdRef->replies.empty()) return 0;
    TakeReply(sdRef)();
    return 0;
}

EXPORT void DNSServiceRefDeallocate(DNSServiceRef sdRef) {
    Enter("DNSServiceRefDeallocate", "", 0);
    if (sdRef == nullptr) return;
    g.refs.erase(std::remove(g.refs.begin(), g.refs.end(), sdRef), g.refs.end());
    delete sdRef;
}

EXPORT DNSServiceErrorType DNSServiceCreateConnection(DNSServiceRef*) {
    Enter("DNSServiceCreateConnection", "", 0);
    return kUnsupported;
}

EXPORT const void* TXTRecordGetValuePtr(uint16_t txtLen, const void* txtRecord, const char* key, uint8_t* valueLen) {
    uint8_t n = 0;
    const uint8_t* p = FindKey(txtLen, static_cast<const uint8_t*>(txtRecord), key, &n);
    if (p == nullptr) return nullptr;
    if (valueLen != nullptr) *valueLen = n;
    return p;
}

EXPORT int TXTRecordContainsKey(uint16_t txtLen, const void* txtRecord, const char* key) {
    uint8_t n = 0;
    return FindKey(txtLen, static_cast<const uint8_t*>(txtRecord), key, &n) != nullptr ? 1 : 0;
}

// ---- controls -------------------------------------------------------------------

EXPORT void fake_dnssd_reset() {
    for (DNSServiceRef ref : g.refs) delete ref;
    g = State{};
    g.loaded = true;
}

EXPORT void fake_dnssd_set_avahi(int on) { g.avahi = on != 0; }

EXPORT void fake_dnssd_add_service(const char* name, const char* type, const char* subtype, uint32_t ifindex,
                                   const char* host, uint16_t port, const uint8_t* txt, uint16_t txt_len) {
    Service s;
    s.name = name;
    s.type = type;
    s.subtype = subtype != nullptr ? subtype : "";
    s.ifindex = ifindex;
    s.host = host;
    s.port = port;
    if (txt != nullptr) s.txt.assign(txt, txt + txt_len);
    g.services.push_back(s);
    for (DNSServiceRef ref : g.refs) {
        if (BrowseMatches(ref, s)) QueueBrowse(ref, s, 0x2);
        if (PtrQueryMatches(ref, s)) QueuePtr(ref, s, 0x2);
    }
}

EXPORT void fake_dnssd_remove_service(const char* name, const char* type) {
    for (auto it = g.services.begin(); it != g.services.end();) {
        if (it->name != name || !Same(it->type, type)) {
            ++it;
            continue;
        }
        for (DNSServiceRef ref : g.refs) {
            if (BrowseMatches(ref, *it)) QueueBrowse(ref, *it, 0);
        }
        it = g.services.erase(it);
    }
}

EXPORT void fake_dnssd_add_address(const char* host, uint32_t ifindex, const uint8_t* data, uint16_t len) {
    g.addresses.push_back(Address{host, ifindex, std::vector<uint8_t>(data, data + len)});
}

EXPORT void fake_dnssd_set_resolve_mode(const char* name, int mode) {
    for (Service& s : g.services) {
        if (s.name == name) s.resolveMode = mode;
    }
}

EXPORT void fake_dnssd_fail_next(const char* entry, int32_t error) { g.failNext[entry] = error; }
EXPORT int fake_dnssd_count(const char* entry) { return g.counts[entry]; }
EXPORT const char* fake_dnssd_last_name(const char* entry) { return g.lastName[entry].c_str(); }
EXPORT uint32_t fake_dnssd_last_flags(const char* entry) { return g.lastFlags[entry]; }
EXPORT int fake_dnssd_open_refs() { return static_cast<int>(g.refs.size()); }

EXPORT int fake_dnssd_last_reconfirm(uint16_t* rrtype, uint8_t* rdata, uint16_t* rdlen) {
    *rrtype = g.reconfirmType;
    std::copy(g.reconfirmData.begin(), g.reconfirmData.end(), rdata);
    *rdlen = static_cast<uint16_t>(g.reconfirmData.size());
    return g.counts["DNSServiceReconfirmRecord"];
}
