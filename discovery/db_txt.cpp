// TXT-record value rules shared by the browse object and the routing devices:
// identifiers, versions, subtype labels, and the media device's own split.

#include <strings.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <string_view>

#include "discovery/db_internal.h"
#include "discovery/dnssd.h"
#include "platform/net.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsLabelChar(uint8_t c) { return std::isalnum(c) != 0 || c == '-' || c == '_'; }

// One unsigned decimal part; false when there are no digits or it overflows.
bool ParseUnsigned(const char*& p, const char* end, unsigned long& value) {
    const char* start = p;
    value = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > 0xFFFFFFFFul) return false;
        ++p;
    }
    return p != start;
}

}  // namespace

extern "C" {

void db_id64_subtype_label(const db_id64_t* id, char* out, unsigned size) {
    if (out == nullptr || size == 0) return;
    out[0] = '\0';
    if (id == nullptr) return;
    unsigned n = 8;
    while (n > 0 && id->data[n - 1] == 0) --n;
    if (n == 0) {
        std::snprintf(out, size, "_00");
        return;
    }
    bool plain = id->data[0] != '_';
    for (unsigned i = 0; i < n && plain; ++i) plain = IsLabelChar(id->data[i]);
    if (plain) {
        std::snprintf(out, size, "%.*s", static_cast<int>(n), reinterpret_cast<const char*>(id->data));
        return;
    }
    char text[18] = "_";
    for (unsigned i = 0; i < n; ++i) std::snprintf(text + 1 + 2 * i, 3, "%02x", id->data[i]);
    std::snprintf(out, size, "%s", text);
}

int db_id64_from_text(db_id64_t* id, const char* text, unsigned length) {
    std::memset(id, 0, sizeof *id);
    if (text == nullptr || length == 0) return 0;
    if (text[0] == '_') {
        const unsigned digits = length - 1;
        if (digits < 2 || digits > 16 || digits % 2 != 0) return 0;
        db_id64_t value{};
        for (unsigned i = 0; i < digits / 2; ++i) {
            const int hi = HexValue(text[1 + 2 * i]);
            const int lo = HexValue(text[2 + 2 * i]);
            if (hi < 0 || lo < 0) return 0;
            value.data[i] = static_cast<uint8_t>(hi * 16 + lo);
        }
        *id = value;
        return 1;
    }
    if (length > 8) return 0;
    std::memcpy(id->data, text, length);
    return 1;
}

int db_id64_from_hex16(db_id64_t* id, const char* text, unsigned length) {
    std::memset(id, 0, sizeof *id);
    if (text == nullptr || length != 16) return 0;
    db_id64_t value{};
    for (unsigned i = 0; i < 8; ++i) {
        const int hi = HexValue(text[2 * i]);
        const int lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return 0;
        value.data[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    *id = value;
    return 1;
}

int db_numbers_from_text(const char* text, unsigned length, uint32_t* parts, int count) {
    for (int i = 0; i < count; ++i) parts[i] = 0;
    if (text == nullptr) return 0;
    const char* p = text;
    const char* end = text + length;
    int parsed = 0;
    while (parsed < count) {
        unsigned long value = 0;
        if (!ParseUnsigned(p, end, value)) break;
        parts[parsed++] = static_cast<uint32_t>(value);
        if (parsed == count || p >= end || *p != '.') break;
        ++p;
    }
    return parsed;
}

uint32_t db_leading_number(const char* text, unsigned length) {
    uint32_t value = 0;
    db_numbers_from_text(text, length, &value, 1);
    return value;
}

int db_version_from_text(db_version_t* version, const char* text, unsigned length) {
    uint32_t part[3];
    const int parsed = db_numbers_from_text(text, length, part, 3);
    version->major = static_cast<uint8_t>(part[0]);
    version->minor = static_cast<uint8_t>(part[1]);
    version->patch = static_cast<uint16_t>(part[2]);
    return parsed;
}

int32_t dt_dns_sd_process_result(int socket, void* sdref) {
    auto* ref = static_cast<DNSServiceRef>(sdref);
    const int fd = dnssd::DNSServiceRefSockFD(ref);
    if (socket != fd) {
        dt_log(DT_LOG_ERROR, "%s: Mismatch between passed socket (%d) and service ref fd (%d)",
               "dt_dns_sd_process_result", socket, fd);
        return dnssd::kDNSServiceErr_BadParam;
    }
    const int n = platform::PeekSocket(socket);
    if (n < 0) return aud_error_from_socket_error(platform::LastSocketError());
    if (n == 0) {
        dt_log(DT_LOG_ERROR, "%s: Got nothing to read ..conmon blocks here", "dt_dns_sd_process_result");
        return dnssd::kDNSServiceErr_BadState;
    }
    return dnssd::DNSServiceProcessResult(ref);
}

}  // extern "C"

namespace discovery_internal {

bool SameDnsName(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return false;
    size_t la = std::strlen(a);
    size_t lb = std::strlen(b);
    if (la > 0 && a[la - 1] == '.') --la;
    if (lb > 0 && b[lb - 1] == '.') --lb;
    return la == lb && strncasecmp(a, b, la) == 0;
}

void ParseMediaTxt(const unsigned char* txt, uint16_t length, db_device_t* into) {
    constexpr unsigned kMaxStrings = 32;
    struct Item {
        const char* text;
        unsigned length;
    } items[kMaxStrings];
    unsigned count = 0;
    unsigned pos = 0;
    while (txt != nullptr && pos < length) {
        const unsigned n = txt[pos++];
        if (n == 0) continue;
        // A string past the end, or a 33rd one, leaves the record empty.
        if (pos + n > length || count == kMaxStrings) {
            count = 0;
            break;
        }
        items[count++] = Item{reinterpret_cast<const char*>(txt + pos), n};
        pos += n;
    }
    for (unsigned i = 0; i < count; ++i) {
        const char* eq = static_cast<const char*>(std::memchr(items[i].text, '=', items[i].length));
        if (eq == nullptr) continue;
        const std::string_view key(items[i].text, static_cast<size_t>(eq - items[i].text));
        const char* value = eq + 1;
        const unsigned vlen = items[i].length - static_cast<unsigned>(value - items[i].text);
        db_version_t v{};
        if (key == "arcp_vers") {
            if (db_version_from_text(&v, value, vlen) >= 1) into->media.arcp_version = v;
        } else if (key == "arcp_min") {
            if (db_version_from_text(&v, value, vlen) >= 1) into->media.arcp_min_version = v;
        } else if (key == "router_vers") {
            if (db_version_from_text(&v, value, vlen) >= 1) into->media.router_version = v;
        } else if (key == "router_info") {
            std::snprintf(into->media.router_info, sizeof into->media.router_info, "%.*s",
                          static_cast<int>(vlen < 63 ? vlen : 63), value);
        } else if (key == "mf") {
            db_id64_from_text(&into->media.manufacturer, value, vlen);
        } else if (key == "model") {
            db_id64_from_text(&into->media.model, value, vlen);
        }
    }
}

}  // namespace discovery_internal
