// The library's error codes, their texts, and the translation of system error
// numbers into them.
#include <cerrno>
#include <cstdio>

#include "discovery/aud.h"
#include "platform/net.h"

namespace {

struct ErrorInfo {
    const char* name;
    const char* description;
};

constexpr ErrorInfo kErrors[AUD_NUM_ERRORS] = {
    {"SUCCESS", "success"},
    {"DONE", "operation complete"},
    {"SYSTEM", "system-specific error"},
    {"INVALIDPARAMETER", "invalid parameter"},
    {"INVALIDDATA", "invalid data"},
    {"INVALIDSTATE", "invalid state"},
    {"NOMEMORY", "out of memory"},
    {"INTERRUPTED", "interrupted"},
    {"TRUNCATED", "message truncated"},
    {"NOTSUPPORTED", "operation not supported"},
    {"TIMEDOUT", "operation timed out"},
    {"NOTFOUND", "object or item not found"},
    {"DNSSDFAIL", "DNS-SD system failed"},
    {"RANGE", "value out of range"},
    {"POLICY", "not allowed by policy"},
    {"VERSION", "version mismatch"},
    {"ACCES", "permission denied"},
    {"ADDRINUSE", "address already in use"},
    {"ADDRNOTAVAIL", "address not available"},
    {"AFNOSUPPORT", "address family not supported"},
    {"ALREADY", "already in progress or already exists"},
    {"BADF", "bad file descriptor"},
    {"CONNABORTED", "connection aborted"},
    {"CONNREFUSED", "connection refused"},
    {"CONNRESET", "connection reset"},
    {"DESTADDRREQ", "destination address required"},
    {"FAULT", "bad address"},
    {"HOSTUNREACH", "host unreachable"},
    {"INPROGRESS", "operation in progress"},
    {"ISCONN", "already connected"},
    {"MFILE", "too many open sockets"},
    {"MSGSIZE", "message too long"},
    {"NETDOWN", "network is down"},
    {"NETRESET", "network dropped connection on reset"},
    {"NETUNREACH", "network unreachable"},
    {"NOBUFS", "no buffer space available"},
    {"NODATA", "no data of the requested type"},
    {"NODEV", "no such device"},
    {"NOPROTOOPT", "protocol option not available"},
    {"NORECOVERY", "non-recoverable error"},
    {"NOTCONN", "not connected"},
    {"NOTINITIALISED", "socket layer not initialised"},
    {"NOTSOCK", "not a socket"},
    {"PROTONOSUPPORT", "protocol not supported"},
    {"PROTOTYPE", "wrong protocol type for socket"},
    {"SHUTDOWN", "socket has been shut down"},
    {"SOCKTNOSUPPORT", "socket type not supported"},
    {"TRYAGAIN", "temporary failure, try again"},
    {"NOTRUNNING", "service not running"},
};

struct SystemRow {
    int system;
    aud_error_t code;
};

// errno values of this platform.
constexpr SystemRow kErrnoTable[] = {
    {0, AUD_SUCCESS},
    {EINVAL, AUD_ERR_INVALIDPARAMETER},
    {ENAMETOOLONG, AUD_ERR_INVALIDPARAMETER},
    {ENOMEM, AUD_ERR_NOMEMORY},
    {EINTR, AUD_ERR_INTERRUPTED},
    {EOPNOTSUPP, AUD_ERR_NOTSUPPORTED},
    {EAGAIN, AUD_ERR_TIMEDOUT},  // would block: the end of the available data
    {ETIMEDOUT, AUD_ERR_TIMEDOUT},
    {ENOENT, AUD_ERR_NOTFOUND},
    {EACCES, AUD_ERR_ACCES},
    {EPERM, AUD_ERR_ACCES},
    {EEXIST, AUD_ERR_ALREADY},
    {EADDRINUSE, AUD_ERR_ADDRINUSE},
    {EADDRNOTAVAIL, AUD_ERR_ADDRNOTAVAIL},
    {EAFNOSUPPORT, AUD_ERR_AFNOSUPPORT},
    {EALREADY, AUD_ERR_ALREADY},
    {ECONNABORTED, AUD_ERR_CONNABORTED},
    {ECONNREFUSED, AUD_ERR_CONNREFUSED},
    {ECONNRESET, AUD_ERR_CONNRESET},
    {EDESTADDRREQ, AUD_ERR_DESTADDRREQ},
    {EFAULT, AUD_ERR_FAULT},
    {EHOSTUNREACH, AUD_ERR_HOSTUNREACH},
    {EINPROGRESS, AUD_ERR_INPROGRESS},
    {EISCONN, AUD_ERR_ISCONN},
    {EMFILE, AUD_ERR_MFILE},
    {EMSGSIZE, AUD_ERR_MSGSIZE},
    {ENETDOWN, AUD_ERR_NETDOWN},
    {ENETRESET, AUD_ERR_NETRESET},
    {ENETUNREACH, AUD_ERR_NETUNREACH},
    {ENOBUFS, AUD_ERR_NOBUFS},
    {ENODATA, AUD_ERR_NODATA},
    {ENOPROTOOPT, AUD_ERR_NOPROTOOPT},
    {ENOTCONN, AUD_ERR_NOTCONN},
    {ENOTSOCK, AUD_ERR_NOTSOCK},
    {EPROTONOSUPPORT, AUD_ERR_PROTONOSUPPORT},
    {EPROTOTYPE, AUD_ERR_PROTOTYPE},
// Two numbers the Windows runtime's errno does not have (its sockets report
// Winsock's numbers, below).
#ifdef ESHUTDOWN
    {ESHUTDOWN, AUD_ERR_SHUTDOWN},
#endif
#ifdef ESOCKTNOSUPPORT
    {ESOCKTNOSUPPORT, AUD_ERR_SOCKTNOSUPPORT},
#endif
};

struct WindowsRow {
    uint32_t system;
    aud_error_t code;
};

// Windows and Winsock numbers, for the Windows back-end.
constexpr WindowsRow kWindowsTable[] = {
    {0, AUD_SUCCESS},
    {87, AUD_ERR_INVALIDPARAMETER},
    {10022, AUD_ERR_INVALIDPARAMETER},
    {123, AUD_ERR_INVALIDPARAMETER},
    {14, AUD_ERR_NOMEMORY},
    {8, AUD_ERR_NOMEMORY},
    {10004, AUD_ERR_INTERRUPTED},
    {192, AUD_ERR_INTERRUPTED},
    {10045, AUD_ERR_NOTSUPPORTED},
    {10035, AUD_ERR_TIMEDOUT},
    {10060, AUD_ERR_TIMEDOUT},
    {2, AUD_ERR_NOTFOUND},
    {3, AUD_ERR_NOTFOUND},
    {1060, AUD_ERR_NOTFOUND},
    {0xE000020Bu, AUD_ERR_NOTFOUND},
    {5, AUD_ERR_ACCES},
    {10013, AUD_ERR_ACCES},
    {10051, AUD_ERR_NETUNREACH},
    {67, AUD_ERR_NETUNREACH},
    {1232, AUD_ERR_NETUNREACH},
    {1231, AUD_ERR_NETUNREACH},
    {31, AUD_ERR_NETUNREACH},
    {5010, AUD_ERR_ALREADY},
    {10093, AUD_ERR_NOTINITIALISED},
    {0x800706D9u, AUD_ERR_NOTRUNNING},
    {10048, AUD_ERR_ADDRINUSE},
    {10049, AUD_ERR_ADDRNOTAVAIL},
    {10047, AUD_ERR_AFNOSUPPORT},
    {10037, AUD_ERR_ALREADY},
    {10053, AUD_ERR_CONNABORTED},
    {10061, AUD_ERR_CONNREFUSED},
    {10054, AUD_ERR_CONNRESET},
    {10039, AUD_ERR_DESTADDRREQ},
    {10014, AUD_ERR_FAULT},
    {10065, AUD_ERR_HOSTUNREACH},
    {10036, AUD_ERR_INPROGRESS},
    {10056, AUD_ERR_ISCONN},
    {10024, AUD_ERR_MFILE},
    {10040, AUD_ERR_MSGSIZE},
    {10050, AUD_ERR_NETDOWN},
    {10052, AUD_ERR_NETRESET},
    {10055, AUD_ERR_NOBUFS},
    {11004, AUD_ERR_NODATA},
    {10042, AUD_ERR_NOPROTOOPT},
    {11003, AUD_ERR_NORECOVERY},
    {10057, AUD_ERR_NOTCONN},
    {10038, AUD_ERR_NOTSOCK},
    {10043, AUD_ERR_PROTONOSUPPORT},
    {10041, AUD_ERR_PROTOTYPE},
    {10058, AUD_ERR_SHUTDOWN},
    {10044, AUD_ERR_SOCKTNOSUPPORT},
    {11002, AUD_ERR_TRYAGAIN},
};

}  // namespace

extern "C" {

const char* aud_error_name(aud_error_t code) { return code >= 0 && code < AUD_NUM_ERRORS ? kErrors[code].name : ""; }

const char* aud_error_text(aud_error_t code, char* buf) {
    if (buf == nullptr) return "";
    const bool known = code >= 0 && code < AUD_NUM_ERRORS;
    if (code == AUD_SUCCESS) {
        std::snprintf(buf, AUD_ERROR_TEXT_SIZE, "success");
    } else if (code == AUD_ERR_SYSTEM) {
        // No single system message stands behind SYSTEM here: the code only
        // says the number was not one the table knows.
        std::snprintf(buf, AUD_ERROR_TEXT_SIZE, "System error: %s: (0x%04x)", kErrors[code].description,
                      static_cast<unsigned>(code));
    } else {
        std::snprintf(buf, AUD_ERROR_TEXT_SIZE, "%s: (0x%04x=%s)", known ? kErrors[code].description : "",
                      static_cast<unsigned>(code), known ? kErrors[code].name : "");
    }
    return buf;
}

aud_error_t aud_error_from_system(int system_error) {
    for (const SystemRow& row : kErrnoTable) {
        if (row.system == system_error) return row.code;
    }
    return AUD_ERR_SYSTEM;
}

aud_error_t aud_error_from_windows(uint32_t windows_error) {
    for (const WindowsRow& row : kWindowsTable) {
        if (row.system == windows_error) return row.code;
    }
    return AUD_ERR_SYSTEM;
}

aud_error_t aud_error_from_socket_error(int socket_error) {
    return platform::SocketErrorsAreWindows() ? aud_error_from_windows(static_cast<uint32_t>(socket_error))
                                              : aud_error_from_system(socket_error);
}

}  // extern "C"
