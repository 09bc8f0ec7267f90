// Controls of the fake DNS-SD library, taken by name from the loaded library.
#pragma once

#include <cstdint>

extern "C" {
typedef void (*fake_dnssd_reset_fn)();
// Avahi's differences: subtype labels without "_" and non-zero query or
// browse flags refused, no trailing dot from ConstructFullName, every
// instance reported twice, reconfirmation unsupported.
typedef void (*fake_dnssd_set_avahi_fn)(int on);
typedef void (*fake_dnssd_add_service_fn)(const char* name, const char* type, const char* subtype, uint32_t ifindex,
                                          const char* host, uint16_t port, const uint8_t* txt, uint16_t txt_len);
typedef void (*fake_dnssd_remove_service_fn)(const char* name, const char* type);
typedef void (*fake_dnssd_add_address_fn)(const char* host, uint32_t ifindex, const uint8_t* data, uint16_t len);
// 0 answer, 1 never answer, 2 answer with an error.
typedef void (*fake_dnssd_set_resolve_mode_fn)(const char* name, int mode);
// The next call of ENTRY fails with ERROR.
typedef void (*fake_dnssd_fail_next_fn)(const char* entry, int32_t error);
typedef int (*fake_dnssd_count_fn)(const char* entry);
// Argument text (regtype, name or full name) and flags of ENTRY's last call.
typedef const char* (*fake_dnssd_last_name_fn)(const char* entry);
typedef uint32_t (*fake_dnssd_last_flags_fn)(const char* entry);
// The last reconfirmed record's type and data.
typedef int (*fake_dnssd_last_reconfirm_fn)(uint16_t* rrtype, uint8_t* rdata, uint16_t* rdlen);
typedef int (*fake_dnssd_open_refs_fn)();
}
