#include "discovery/dnssd_records.h"

#include <cstdio>
#include <cstring>

#include "discovery/dns_sd_api.h"

namespace dnssd {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The string of the record whose key is KEY; null when there is none.
const uint8_t* FindTxtString(uint16_t txtLen, const void* txtRecord, const char* key, uint8_t& length) {
    if (txtRecord == nullptr || key == nullptr) return nullptr;
    const auto* txt = static_cast<const uint8_t*>(txtRecord);
    const size_t keyLength = std::strlen(key);
    for (size_t pos = 0; pos < txtLen;) {
        const uint8_t n = txt[pos];
        const uint8_t* item = txt + pos + 1;
        if (pos + 1 + n > txtLen) return nullptr;
        size_t k = 0;
        while (k < n && item[k] != '=') ++k;
        if (k == keyLength && k > 0) {
            size_t i = 0;
            while (i < k && Lower(static_cast<char>(item[i])) == Lower(key[i])) ++i;
            if (i == k) {
                length = n;
                return item;
            }
        }
        pos += 1 + size_t{n};
    }
    return nullptr;
}

}  // namespace

const void* TxtValue(uint16_t txtLen, const void* txtRecord, const char* key, uint8_t* valueLen) {
    uint8_t n = 0;
    const uint8_t* item = FindTxtString(txtLen, txtRecord, key, n);
    const size_t keyLength = item != nullptr ? std::strlen(key) : 0;
    if (item == nullptr || keyLength == n) return nullptr;  // absent, or a key without "="
    if (valueLen != nullptr) *valueLen = static_cast<uint8_t>(n - keyLength - 1);
    return item + keyLength + 1;
}

int TxtContainsKey(uint16_t txtLen, const void* txtRecord, const char* key) {
    uint8_t n = 0;
    return FindTxtString(txtLen, txtRecord, key, n) != nullptr ? 1 : 0;
}

int ConstructFullName(char* fullName, const char* service, const char* regtype, const char* domain) {
    if (fullName == nullptr) return -1;
    std::string name;
    for (const char* p = service != nullptr ? service : ""; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '.' || c == '\\') {
            name += '\\';
            name += static_cast<char>(c);
        } else if (c <= ' ' || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(c));
            name += escaped;
        } else {
            name += static_cast<char>(c);
        }
    }
    for (const char* part : {regtype, domain}) {
        if (part == nullptr || *part == '\0') continue;
        if (!name.empty()) name += '.';
        name += part;
        if (name.back() == '.') name.pop_back();
    }
    name += '.';
    if (name.size() >= static_cast<size_t>(kDNSServiceMaxDomainName)) {
        fullName[0] = '\0';
        return -1;
    }
    std::memcpy(fullName, name.c_str(), name.size() + 1);
    return 0;
}

bool FirstWireLabel(const uint8_t* data, size_t length, std::string& label) {
    if (data == nullptr || length < 1) return false;
    const size_t n = data[0];
    if (n == 0 || n > 63 || 1 + n > length) return false;
    label.assign(reinterpret_cast<const char*>(data + 1), n);
    return label.find('\0') == std::string::npos;
}

}  // namespace dnssd
