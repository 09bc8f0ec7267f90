// Our declarations of the published DNS-SD C interface (dns_sd.h): the types,
// constants and entry-point signatures the discovery library takes from the
// platform's client library. Only what the library uses is declared.
#pragma once

#include <cstdint>

extern "C" {

typedef struct _DNSServiceRef_t* DNSServiceRef;
typedef uint32_t DNSServiceFlags;
typedef int32_t DNSServiceErrorType;

typedef void (*DNSServiceBrowseReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                      DNSServiceErrorType errorCode, const char* serviceName, const char* regtype,
                                      const char* replyDomain, void* context);
typedef void (*DNSServiceResolveReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                       DNSServiceErrorType errorCode, const char* fullname, const char* hosttarget,
                                       uint16_t port, uint16_t txtLen, const unsigned char* txtRecord, void* context);
typedef void (*DNSServiceQueryRecordReply)(DNSServiceRef sdRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                           DNSServiceErrorType errorCode, const char* fullname, uint16_t rrtype,
                                           uint16_t rrclass, uint16_t rdlen, const void* rdata, uint32_t ttl,
                                           void* context);

}  // extern "C"

namespace dnssd {

// Flags.
constexpr DNSServiceFlags kDNSServiceFlagsMoreComing = 0x1;
constexpr DNSServiceFlags kDNSServiceFlagsAdd = 0x2;
constexpr DNSServiceFlags kDNSServiceFlagsLongLivedQuery = 0x100;
constexpr DNSServiceFlags kDNSServiceFlagsForceMulticast = 0x400;

// Errors.
constexpr DNSServiceErrorType kDNSServiceErr_NoError = 0;
constexpr DNSServiceErrorType kDNSServiceErr_Unknown = -65537;
constexpr DNSServiceErrorType kDNSServiceErr_NoSuchName = -65538;
constexpr DNSServiceErrorType kDNSServiceErr_NoMemory = -65539;
constexpr DNSServiceErrorType kDNSServiceErr_BadParam = -65540;
constexpr DNSServiceErrorType kDNSServiceErr_BadReference = -65541;
constexpr DNSServiceErrorType kDNSServiceErr_BadState = -65542;
constexpr DNSServiceErrorType kDNSServiceErr_BadFlags = -65543;
constexpr DNSServiceErrorType kDNSServiceErr_Unsupported = -65544;
constexpr DNSServiceErrorType kDNSServiceErr_ServiceNotRunning = -65563;

// Record types and class.
constexpr uint16_t kDNSServiceType_A = 1;
constexpr uint16_t kDNSServiceType_PTR = 12;
constexpr uint16_t kDNSServiceClass_IN = 1;

// Room for a full domain name with its terminator.
constexpr int kDNSServiceMaxDomainName = 1009;

}  // namespace dnssd

// The eleven entry points, as the client library exports them.
extern "C" {
typedef DNSServiceErrorType (*DNSServiceBrowseFn)(DNSServiceRef*, DNSServiceFlags, uint32_t, const char*, const char*,
                                                  DNSServiceBrowseReply, void*);
typedef DNSServiceErrorType (*DNSServiceResolveFn)(DNSServiceRef*, DNSServiceFlags, uint32_t, const char*, const char*,
                                                   const char*, DNSServiceResolveReply, void*);
typedef DNSServiceErrorType (*DNSServiceQueryRecordFn)(DNSServiceRef*, DNSServiceFlags, uint32_t, const char*, uint16_t,
                                                       uint16_t, DNSServiceQueryRecordReply, void*);
typedef DNSServiceErrorType (*DNSServiceReconfirmRecordFn)(DNSServiceFlags, uint32_t, const char*, uint16_t, uint16_t,
                                                           uint16_t, const void*);
typedef int (*DNSServiceConstructFullNameFn)(char*, const char*, const char*, const char*);
typedef int (*DNSServiceRefSockFDFn)(DNSServiceRef);
typedef DNSServiceErrorType (*DNSServiceProcessResultFn)(DNSServiceRef);
typedef void (*DNSServiceRefDeallocateFn)(DNSServiceRef);
typedef DNSServiceErrorType (*DNSServiceCreateConnectionFn)(DNSServiceRef*);
typedef const void* (*TXTRecordGetValuePtrFn)(uint16_t, const void*, const char*, uint8_t*);
typedef int (*TXTRecordContainsKeyFn)(uint16_t, const void*, const char*);
}
