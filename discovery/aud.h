// The discovery library's run-time: the reference-counted environment with its
// logger, the wall clock, the library's error codes and their texts, the
// translation of system errors, socket sets for select(), the host's IPv4
// interface list, and the process-wide diagnostic log.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

extern "C" {

// ---- error codes -------------------------------------------------------
typedef int aud_error_t;
enum {
    AUD_SUCCESS = 0,
    AUD_ERR_DONE,
    AUD_ERR_SYSTEM,
    AUD_ERR_INVALIDPARAMETER,
    AUD_ERR_INVALIDDATA,
    AUD_ERR_INVALIDSTATE,
    AUD_ERR_NOMEMORY,
    AUD_ERR_INTERRUPTED,
    AUD_ERR_TRUNCATED,
    AUD_ERR_NOTSUPPORTED,
    AUD_ERR_TIMEDOUT,
    AUD_ERR_NOTFOUND,
    AUD_ERR_DNSSDFAIL,
    AUD_ERR_RANGE,
    AUD_ERR_POLICY,
    AUD_ERR_VERSION,
    AUD_ERR_ACCES,
    AUD_ERR_ADDRINUSE,
    AUD_ERR_ADDRNOTAVAIL,
    AUD_ERR_AFNOSUPPORT,
    AUD_ERR_ALREADY,
    AUD_ERR_BADF,
    AUD_ERR_CONNABORTED,
    AUD_ERR_CONNREFUSED,
    AUD_ERR_CONNRESET,
    AUD_ERR_DESTADDRREQ,
    AUD_ERR_FAULT,
    AUD_ERR_HOSTUNREACH,
    AUD_ERR_INPROGRESS,
    AUD_ERR_ISCONN,
    AUD_ERR_MFILE,
    AUD_ERR_MSGSIZE,
    AUD_ERR_NETDOWN,
    AUD_ERR_NETRESET,
    AUD_ERR_NETUNREACH,
    AUD_ERR_NOBUFS,
    AUD_ERR_NODATA,
    AUD_ERR_NODEV,
    AUD_ERR_NOPROTOOPT,
    AUD_ERR_NORECOVERY,
    AUD_ERR_NOTCONN,
    AUD_ERR_NOTINITIALISED,
    AUD_ERR_NOTSOCK,
    AUD_ERR_PROTONOSUPPORT,
    AUD_ERR_PROTOTYPE,
    AUD_ERR_SHUTDOWN,
    AUD_ERR_SOCKTNOSUPPORT,
    AUD_ERR_TRYAGAIN,
    AUD_ERR_NOTRUNNING,
    AUD_NUM_ERRORS
};

// Room aud_error_text needs, terminator included.
#define AUD_ERROR_TEXT_SIZE 513

// "success", "DNS-SD system failed: (0x000c=DNSSDFAIL)", ...; returns buf.
const char* aud_error_text(aud_error_t code, char* buf);
// The code's NAME ("DNSSDFAIL"), "" outside the table.
const char* aud_error_name(aud_error_t code);
// A system error number (errno here) as a library code; unlisted -> SYSTEM.
aud_error_t aud_error_from_system(int system_error);
// The same for a Windows error number.
aud_error_t aud_error_from_windows(uint32_t windows_error);
// A socket error as the system numbers it (errno, or Winsock's codes).
aud_error_t aud_error_from_socket_error(int socket_error);

// ---- clock --------------------------------------------------------------
typedef struct aud_utime {
    int32_t tv_sec;
    int32_t tv_usec;
} aud_utime_t;

// Wall-clock time since 1970-01-01 00:00 UTC. Under a test clock the clock's
// tick count stands for it, so that deadlines follow virtual time.
aud_error_t aud_utime_get(aud_utime_t* out);
// a + b, microseconds carried so that they stay below 1,000,000.
aud_utime_t aud_utime_add(aud_utime_t a, aud_utime_t b);
// -1, 0, 1.
int aud_utime_compare(const aud_utime_t* a, const aud_utime_t* b);

// ---- socket sets -----------------------------------------------------------
#define AUD_SOCKET_SET_MAX 1024
typedef struct aud_socket_set {
    int32_t add_count;
    int32_t count;
    int sockets[AUD_SOCKET_SET_MAX];
    uint8_t member[AUD_SOCKET_SET_MAX];  // per entry of sockets: still in the set
} aud_socket_set_t;

void aud_socket_set_init(aud_socket_set_t* set);
// Adds a socket once; beyond the set's room it is silently not stored.
void aud_socket_set_add(aud_socket_set_t* set, int socket);
void aud_socket_set_remove(aud_socket_set_t* set, int socket);
int aud_socket_set_contains(const aud_socket_set_t* set, int socket);
// select() on the set as the read set; the set keeps only the readable
// sockets' membership. Returns the ready count, or -1 with *error set.
int aud_socket_set_select(aud_socket_set_t* set, int32_t timeout_us, aud_error_t* error);

// ---- logging ------------------------------------------------------------
enum {
    AUD_LOG_NONE = 0,
    AUD_LOG_CRITICAL,
    AUD_LOG_ERROR,
    AUD_LOG_WARNING,
    AUD_LOG_NOTICE,
    AUD_LOG_INFO,
    AUD_LOG_DEBUG,
    AUD_LOG_VERBOSE
};
// Sinks, in the order of their thresholds.
enum {
    AUD_LOG_SINK_NETWORK = 0,
    AUD_LOG_SINK_STDOUT,
    AUD_LOG_SINK_STDERR,
    AUD_LOG_SINK_FILE,
    AUD_LOG_SINK_DEBUGGER,
    AUD_LOG_SINK_CALLBACK,
    AUD_LOG_NUM_SINKS
};
// Time-stamp flag bits per sink.
enum {
    AUD_LOG_TS_NETWORK = 0x01,
    AUD_LOG_TS_STDOUT = 0x02,
    AUD_LOG_TS_STDERR = 0x04,
    AUD_LOG_TS_FILE = 0x08,
    AUD_LOG_TS_DEBUGGER = 0x10,
    AUD_LOG_TS_DEFAULT = 0x0E
};

typedef struct aud_env aud_env_t;
typedef void (*aud_log_callback_fn)(void* context, int level, const char* text);

// "None" .. "Verbose", "Undef" for anything else.
const char* aud_log_level_name(int level);
void aud_log(aud_env_t* env, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
void aud_logv(aud_env_t* env, int level, const char* format, va_list args);
// Thresholds start at 0 (nothing written); these raise them.
void aud_log_set_level(aud_env_t* env, int level);
void aud_log_set_sink_level(aud_env_t* env, int sink, int level);
void aud_log_set_timestamps(aud_env_t* env, unsigned flags);
void aud_log_set_file(aud_env_t* env, FILE* file);
void aud_log_set_callback(aud_env_t* env, aud_log_callback_fn fn, void* context);
// Up to two UDP destinations (connected sockets); -1 clears one.
aud_error_t aud_log_set_network_socket(aud_env_t* env, unsigned slot, int socket);
// "Jan  1 00:00:00" of the current local time, into 16 bytes.
void aud_log_timestamp(char* out16);

// ---- environment -------------------------------------------------------------
aud_error_t aud_env_acquire(aud_env_t** out);
void aud_env_release(aud_env_t* env);
int aud_env_reference_count(const aud_env_t* env);

// ---- interface list -------------------------------------------------------
enum {
    AUD_INTERFACE_CLASS_UNUSUAL = 0,
    AUD_INTERFACE_CLASS_ADAPTER = 1,
    AUD_INTERFACE_CLASS_LOOPBACK = 2,
    AUD_INTERFACE_CLASS_WIRELESS = 3,
    AUD_INTERFACE_CLASS_VIRTUAL = 4,
    AUD_INTERFACE_CLASS_IEEE1394 = 5,
    AUD_INTERFACE_CLASS_BLUETOOTH = 6
};

typedef struct aud_interface {
    char display_name[64];
    char adapter_name[256];
    char dns_suffix[64];
    uint32_t interface_index;
    uint16_t pktinfo_index;
    int interface_class;
    uint8_t physical_address[8];
    uint32_t ip_address;  // network order
    uint32_t netmask;     // network order
    uint32_t dns_server;  // network order, 0 when none
    uint32_t gateway;     // network order, 0 when none
    uint8_t up;
    uint8_t loopback;
    uint8_t multicast;
    uint32_t link_speed_mbps;
} aud_interface_t;

// Allocates *out (free with aud_interface_list_free); ordered by class, then
// interface index.
aud_error_t aud_interface_list_with_env(aud_env_t* env, aud_interface_t** out, unsigned* count);
void aud_interface_list_free(aud_interface_t* list);
// The first entry with the software-loopback flag; NOTFOUND when none.
aud_error_t aud_interface_find_loopback(aud_env_t* env, aud_interface_t* out);

// ---- process-wide diagnostic log ------------------------------------------
enum {
    DT_LOG_NO_ERROR = 0,
    DT_LOG_DEBUG,
    DT_LOG_INFO,
    DT_LOG_NOTICE,
    DT_LOG_WARNING,
    DT_LOG_ERROR,
    DT_LOG_CRITICAL,
    DT_LOG_FATAL
};
enum {
    DT_LOG_TO_STDOUT = 0x01,
    DT_LOG_TO_STDERR = 0x02,
    DT_LOG_TO_SYSLOG = 0x04,
    DT_LOG_TO_NETWORK = 0x10,
    DT_LOG_TO_FILE = 0x20
};
const char* dt_log_level_name(int level);
void dt_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void dt_log_set_threshold(int level);
void dt_log_set_flags(unsigned flags);
void dt_log_set_stream_threshold(int level);
void dt_log_set_file(FILE* file);
void dt_log_set_timestamps(int on);
void dt_log_set_network_socket(int socket);

}  // extern "C"
