// The record handling of the published DNS-SD C interface that needs no
// daemon: TXT-record look-ups, full service names, and the instance label of
// a PTR record's data. Our own DNS-SD back-end answers with these; they are
// plain functions so that tests and the fuzz target reach them directly.
#pragma once

#include <cstdint>
#include <string>

namespace dnssd {

// The value of KEY (letters compared without regard to case; the first
// occurrence counts). Null when the key is absent or present without "=";
// a pointer into the record otherwise, with *valueLen its length (0 for
// "key="). A string running past the record's end ends the search.
const void* TxtValue(uint16_t txtLen, const void* txtRecord, const char* key, uint8_t* valueLen);
// 1 when KEY is present, with or without a value.
int TxtContainsKey(uint16_t txtLen, const void* txtRecord, const char* key);

// "<service>.<regtype>.<domain>." with the service's dots and backslashes
// escaped by a backslash and bytes up to the space and DEL as "\DDD"; a
// regtype and a domain with or without their trailing dot. 0, or -1 when the
// name would not fit in kDNSServiceMaxDomainName bytes with its terminator
// (fullName then holds "").
int ConstructFullName(char* fullName, const char* service, const char* regtype, const char* domain);

// The first label of a name in DNS wire form (the instance of a PTR
// record's data), as its raw bytes; false when the data is not such a name,
// or when the label holds a zero byte (no C string can carry it).
bool FirstWireLabel(const uint8_t* data, size_t length, std::string& label);

}  // namespace dnssd
