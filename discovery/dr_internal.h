// Inside the routing devices: the DNS-SD reply handlers, declared for the
// fuzz target.
#pragma once

#include "discovery/dns_sd_api.h"
#include "discovery/dr_devices.h"

extern "C" {
void device_address_resolve_callback(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index,
                                     DNSServiceErrorType error, const char* fullname, const char* host_target,
                                     uint16_t port, uint16_t txt_len, const unsigned char* txt, void* context);
void device_address_query_callback(DNSServiceRef ref, DNSServiceFlags flags, uint32_t interface_index,
                                   DNSServiceErrorType error, const char* fullname, uint16_t rrtype, uint16_t rrclass,
                                   uint16_t rdlen, const void* rdata, uint32_t ttl, void* context);
// The context the handlers take: slot 0 of an open device.
void* dr_device_address_slot(dr_device_t* device);
// The address table's error set by the handlers.
aud_error_t dr_device_address_error(const dr_device_t* device);
}
