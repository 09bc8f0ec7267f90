// The browse object: finds Dante devices by DNS-SD, resolves every advertised
// instance and keeps the results in a device tree sorted by name, calling its
// user back for every device found, changed or gone. It owns no thread: the
// user selects on its sockets and hands the readable set to db_browse_process.
#pragma once

#include <cstdint>

#include "discovery/aud.h"

extern "C" {

// Type bits; the bit position is the type's index.
enum {
    DB_TYPE_MEDIA_DEVICE = 0x01,
    DB_TYPE_MEDIA_CHANNEL = 0x02,
    DB_TYPE_CONMON_DEVICE = 0x04,
    DB_TYPE_SAFE_MODE = 0x08,
    DB_TYPE_UPGRADE_MODE = 0x10,
    DB_TYPE_VIA_DEVICE = 0x20,
    DB_TYPE_AES67_DEVICE = 0x40,
    DB_TYPE_ALL = 0x7F
};
#define DB_NUM_TYPES 7
#define DB_TYPE_INDEX_NONE 7
#define DB_MAX_NETWORKS 2

// Per-network device flags.
enum {
    DB_FLAG_MEDIA_DEVICE = 0x01,
    DB_FLAG_MEDIA_CHANNELS = 0x02,
    DB_FLAG_CONMON_DEVICE = 0x04,
    DB_FLAG_SAFE_MODE = 0x08,
    DB_FLAG_UPGRADE_MODE = 0x10,
    DB_FLAG_VIA_DEVICE = 0x20
};

typedef struct db_id64 {
    uint8_t data[8];
} db_id64_t;

typedef struct db_version {
    uint8_t major;
    uint8_t minor;
    uint16_t patch;
} db_version_t;

typedef struct db_browse_config {
    uint32_t num_networks;
    uint32_t interface_index[DB_MAX_NETWORKS];
    int32_t network_mask;
    int32_t include_loopback;
    aud_utime_t resolve_timeout;
} db_browse_config_t;

typedef struct db_browse db_browse_t;
typedef struct db_tree db_tree_t;

typedef struct db_channel {
    struct db_device* device;
    uint16_t id;
    char name[32];
    uint32_t flags;
} db_channel_t;

typedef struct db_device {
    db_tree_t* tree;
    uint32_t flags;
    uint32_t network_flags[DB_MAX_NETWORKS];
    uint32_t loopback_flags;
    char name[32];
    char host[32];
    struct {
        db_id64_t device_id;
        uint16_t process_id;
        db_id64_t vendor_id;
        uint8_t vba[4];
        db_id64_t manufacturer;
        db_id64_t model;
    } conmon;
    struct {
        uint16_t port;
        db_id64_t device_id;
        uint16_t process_id;
        db_version_t min_version;
        db_version_t current_version;
    } via;
    struct {
        db_version_t arcp_version;
        db_version_t arcp_min_version;
        db_version_t router_version;
        char router_info[64];
        db_id64_t manufacturer;
        db_id64_t model;
    } media;
    unsigned num_channels;
    unsigned max_channels;
    db_channel_t* channels;
    struct {
        db_id64_t device_id;
        uint16_t process_id;
        uint16_t mode;
    } safe_mode, upgrade_mode;
} db_device_t;

enum { DB_NODE_DEVICE = 0, DB_NODE_CHANNEL = 1, DB_NODE_CHANNEL_LABEL = 2, DB_NODE_AES67 = 3 };
enum { DB_NODE_ADDED = 0, DB_NODE_MODIFIED = 1, DB_NODE_REMOVED = 2 };

typedef struct db_node_event {
    int32_t kind;
    void* node;
} db_node_event_t;

typedef void (*db_browse_node_fn)(db_browse_t* browse, const db_node_event_t* event, int change);
typedef void (*db_browse_fn)(db_browse_t* browse);

aud_error_t db_browse_new(aud_env_t* env, unsigned types, db_browse_t** out);
void db_browse_delete(db_browse_t* browse);
aud_error_t db_browse_set_max_sockets(db_browse_t* browse, unsigned total);
aud_error_t db_browse_set_subtype_filter(db_browse_t* browse, const db_id64_t* filter);
void db_browse_set_context(db_browse_t* browse, void* context);
void* db_browse_get_context(const db_browse_t* browse);
void db_browse_set_node_callback(db_browse_t* browse, db_browse_node_fn fn);
void db_browse_set_tree_callback(db_browse_t* browse, db_browse_fn fn);
void db_browse_set_sockets_callback(db_browse_t* browse, db_browse_fn fn);
void db_browse_config_init(db_browse_config_t* config);
aud_error_t db_browse_start_config(db_browse_t* browse, const db_browse_config_t* config);
aud_error_t db_browse_get_sockets(const db_browse_t* browse, aud_socket_set_t* set);
aud_error_t db_browse_process(db_browse_t* browse, aud_socket_set_t* readable, aud_utime_t* next_deadline);
aud_error_t db_browse_stop(db_browse_t* browse);
unsigned db_browse_get_num_networks(const db_browse_t* browse);

// The tree, for readers outside the callbacks.
unsigned db_browse_num_devices(const db_browse_t* browse);
const db_device_t* db_browse_device_at(const db_browse_t* browse, unsigned index);
// The subtype label in use ("" when no filter is set).
const char* db_browse_get_subtype_label(const db_browse_t* browse);
// The resolve limit and the numbers of running and queued resolves.
unsigned db_browse_get_max_resolves(const db_browse_t* browse);
unsigned db_browse_num_active_resolves(const db_browse_t* browse);
unsigned db_browse_num_pending_resolves(const db_browse_t* browse);

const char* db_device_get_name(const db_device_t* device);
uint16_t db_channel_get_id(const db_channel_t* channel);

// ---- helpers shared with the routing devices and the fuzz target ----------
// The subtype label of an 8-byte filter into out (at least 18 bytes).
void db_id64_subtype_label(const db_id64_t* id, char* out, unsigned size);
// The TXT text rule: up to 8 plain characters, or "_" and 2 to 16 hex digits.
// False (id zeroed) for any other form.
int db_id64_from_text(db_id64_t* id, const char* text, unsigned length);
// "%u.%u.%u"; returns the number of parts parsed (parts that fail stay 0).
int db_version_from_text(db_version_t* version, const char* text, unsigned length);
// Up to COUNT decimal numbers separated by dots, as "%u.%u..." reads them:
// returns how many were read before the first that is not there (what
// follows the last one read is not looked at). Parts not read are 0.
int db_numbers_from_text(const char* text, unsigned length, uint32_t* parts, int count);
// The decimal number the text begins with, as "%u" of a value that must only
// be present: 0 when it has no leading digits.
uint32_t db_leading_number(const char* text, unsigned length);
// Exactly 16 hex digits into 8 bytes.
int db_id64_from_hex16(db_id64_t* id, const char* text, unsigned length);

// The DNS-SD socket step shared by browsing and routing devices: checks the
// socket belongs to the reference, peeks one byte, then lets the library
// process the result.
int32_t dt_dns_sd_process_result(int socket, void* sdref);

}  // extern "C"
