// Routing devices: turn a Dante device's name into the IPv4 address and port
// of its ARCP control service (a DNS-SD resolve, then an address query), and
// own the ARCP control socket. No thread: the user selects on the sockets and
// hands the readable set to dr_devices_process.
#pragma once

#include <cstdint>

#include "discovery/aud.h"
#include "discovery/db_browse.h"

extern "C" {

typedef struct dr_devices dr_devices_t;
typedef struct dr_device dr_device_t;

enum {
    DR_DEVICE_STATE_ERROR = 0,
    DR_DEVICE_STATE_RESOLVING = 1,
    DR_DEVICE_STATE_RESOLVED = 2,
    DR_DEVICE_STATE_QUERYING = 3,
    DR_DEVICE_STATE_ACTIVE = 4
};

enum { DR_DEVICE_CHANGE_STATE = 0x80, DR_DEVICE_CHANGE_ADDRESSES = 0x400 };

// Address-slot flags.
enum { DR_ADDRESS_KNOWN = 0x1, DR_ADDRESS_RESOLVING = 0x2, DR_ADDRESS_QUERYING = 0x4 };

#define DR_ARCP_HEADER_SIZE 10
#define DR_ARCP_VERSION_DEFAULT 10013
#define DR_DEFAULT_ARCP_PORT 4440

typedef struct dr_address {
    uint32_t ip;    // network order
    uint16_t port;  // host order
} dr_address_t;

// The 10-byte header of every ARCP datagram, big-endian on the wire.
typedef struct dr_arcp_header {
    uint16_t protocol_version;
    uint16_t length;
    uint16_t seqnum;
    uint16_t opcode;
    uint16_t result;
} dr_arcp_header_t;

typedef void (*dr_devices_fn)(dr_devices_t* devices);
typedef void (*dr_device_changed_fn)(dr_device_t* device, unsigned changes);

aud_error_t dr_devices_new(aud_env_t* env, dr_devices_t** out);
aud_error_t dr_devices_delete(dr_devices_t* devices);
void dr_devices_set_context(dr_devices_t* devices, void* context);
void* dr_devices_get_context(const dr_devices_t* devices);
void dr_devices_set_sockets_callback(dr_devices_t* devices, dr_devices_fn fn);
aud_error_t dr_devices_get_sockets(const dr_devices_t* devices, aud_socket_set_t* set);
aud_error_t dr_devices_process(dr_devices_t* devices, aud_socket_set_t* readable);
// The ARCP socket (-1 when none).
int dr_devices_get_arcp_socket(const dr_devices_t* devices);

aud_error_t dr_device_open_remote(dr_devices_t* devices, const char* name, dr_device_t** out);
void dr_device_set_context(dr_device_t* device, void* context);
void* dr_device_get_context(const dr_device_t* device);
void dr_device_set_changed_callback(dr_device_t* device, dr_device_changed_fn fn);
int dr_device_get_state(const dr_device_t* device);
const char* dr_device_state_name(int state);
aud_error_t dr_device_get_addresses(const dr_device_t* device, unsigned* count, dr_address_t* out);
void dr_device_close(dr_device_t* device);
int dr_device_is_safe_mode(const dr_device_t* device);
// 1 when the device has no address and none of its look-ups runs any more (a
// DNS-SD error or a bad TXT record stopped it): nothing further will happen.
int dr_device_resolve_stopped(const dr_device_t* device);
uint16_t dr_device_get_arcp_version(const dr_device_t* device);
db_version_t dr_device_get_router_version(const dr_device_t* device);

// Header parse and build; parse fails (0) on fewer than 10 bytes.
int dr_arcp_header_read(const uint8_t* data, unsigned length, dr_arcp_header_t* out);
void dr_arcp_header_write(const dr_arcp_header_t* header, uint8_t* out);

}  // extern "C"
