// Inside the browse object: the resolve records and the reply handlers that
// the DNS-SD library calls, declared here so that the fuzz target can drive
// them with arbitrary replies.
#pragma once

#include "discovery/db_browse.h"
#include "discovery/dns_sd_api.h"

struct db_resolve;

extern "C" {
void db_dnssd_browse(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error,
                     const char* name, const char* type, const char* domain, void* context);
void db_dnssd_resolve(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index, DNSServiceErrorType error,
                      const char* fullname, const char* host_target, uint16_t port, uint16_t txt_len,
                      const unsigned char* txt, void* context);
}

namespace discovery_internal {
// A resolve record for (network, type index, name), as a browse reply queues
// it; null when the arguments do not name a type of the mask. The record
// belongs to the browse object (pending list).
db_resolve* QueueResolve(db_browse_t* browse, unsigned network, unsigned type_index, const char* name);
// The two-byte-prefix split of a media device's TXT record, as the handler
// does it (exposed for tests and fuzzing): returns the fields into a device
// node's media part.
void ParseMediaTxt(const unsigned char* txt, uint16_t length, db_device_t* into);
// "a.b.c"-style comparison without a trailing dot, ignoring letter case.
bool SameDnsName(const char* a, const char* b);
}  // namespace discovery_internal
