// The shared library environment, its logger, and the process-wide
// diagnostic log.

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "discovery/aud.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace {

constexpr size_t kFormatBufferSize = 16384;
constexpr size_t kMaxDatagram = 1458;

constexpr const char* kLevelNames[] = {"None", "Critical", "Error", "Warning", "Notice", "Info", "Debug", "Verbose"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Logger {
    int level = AUD_LOG_NONE;
    int sinkLevel[AUD_LOG_NUM_SINKS] = {};
    unsigned timestamps = AUD_LOG_TS_DEFAULT;
    int network[2] = {-1, -1};
    FILE* file = nullptr;
    aud_log_callback_fn callback = nullptr;
    void* callbackContext = nullptr;
    std::unique_ptr<char[]> buffer;  // allocated on first use
};

// Sends TEXT as datagrams of at most kMaxDatagram bytes each.
int SendChunks(int socket, const char* text, size_t length) {
    do {
        const size_t n = length < kMaxDatagram ? length : kMaxDatagram;
        const int error = platform::SendOnSocket(socket, text, n);
        if (error != 0) return error;
        text += n;
        length -= n;
    } while (length > 0);
    return 0;
}

}  // namespace

struct aud_env {
    int references = 0;
    Logger log;
};

namespace {
aud_env* g_env = nullptr;  // the one environment of the process

void WriteStream(FILE* stream, bool stamp, int level, const char* text) {
    char ts[16];
    if (stamp) {
        aud_log_timestamp(ts);
        std::fprintf(stream, "%s ", ts);
    }
    const size_t length = std::strlen(text);
    std::fprintf(stream, "%s %s%s", aud_log_level_name(level), text,
                 length > 0 && text[length - 1] == '\n' ? "" : "\n");
    std::fflush(stream);
}

void WriteNetwork(aud_env_t* env, bool stamp, int level, const char* text) {
    Logger& log = env->log;
    for (int& socket : log.network) {
        if (socket < 0) continue;
        char head[24] = "";
        if (stamp) aud_log_timestamp(head);
        std::string line = std::string(head) + " " + aud_log_level_name(level)[0] + " " + text;
        const int error = SendChunks(socket, line.data(), line.size());
        if (error == 0) continue;
        const aud_error_t code = aud_error_from_socket_error(error);
        if (code == AUD_ERR_BADF || code == AUD_ERR_NOTSOCK) {
            const int bad = socket;
            socket = -1;
            aud_log(env, AUD_LOG_NOTICE, "aud_log: bad network logging socket %d - network logging disabled: %s (%d)",
                    bad, std::strerror(error), error);
        } else {
            // The report goes through the same sinks; the recursion ends
            // because a failing socket fails again only once per line.
            const int s = socket;
            socket = -1;
            aud_log(env, AUD_LOG_NOTICE, "aud_log: network logging to %s (fd %d) failed: %s (%d)", "destination", s,
                    std::strerror(error), error);
            socket = s;
        }
    }
}

}  // namespace

extern "C" {

const char* aud_log_level_name(int level) {
    return level >= AUD_LOG_NONE && level <= AUD_LOG_VERBOSE ? kLevelNames[level] : "Undef";
}

void aud_log_timestamp(char* out16) {
    const platform::LocalTime t = platform::CurrentClock().Now();
    const int month = t.month >= 1 && t.month <= 12 ? t.month - 1 : 0;
    auto two = [](int v) { return static_cast<unsigned>(v < 0 ? 0 : v % 100); };
    char text[32];
    std::snprintf(text, sizeof text, "%s %2u %02u:%02u:%02u", kMonths[month], two(t.day), two(t.hour), two(t.minute),
                  two(t.second));
    std::memcpy(out16, text, 15);
    out16[15] = '\0';
}

void aud_logv(aud_env_t* env, int level, const char* format, va_list args) {
    if (env == nullptr || level <= AUD_LOG_NONE || env->log.level < level) return;
    Logger& log = env->log;
    bool any = false;
    for (int sink = 0; sink < AUD_LOG_NUM_SINKS; ++sink) any = any || log.sinkLevel[sink] >= level;
    if (!any) return;
    if (!log.buffer) {
        log.buffer.reset(new (std::nothrow) char[kFormatBufferSize]);
        if (!log.buffer) return;
    }
    char* text = log.buffer.get();
    std::vsnprintf(text, kFormatBufferSize, format, args);

    if (log.sinkLevel[AUD_LOG_SINK_STDOUT] >= level)
        WriteStream(stdout, log.timestamps & AUD_LOG_TS_STDOUT, level, text);
    if (log.sinkLevel[AUD_LOG_SINK_STDERR] >= level)
        WriteStream(stderr, log.timestamps & AUD_LOG_TS_STDERR, level, text);
    if (log.sinkLevel[AUD_LOG_SINK_FILE] >= level && log.file != nullptr)
        WriteStream(log.file, log.timestamps & AUD_LOG_TS_FILE, level, text);
    if (log.sinkLevel[AUD_LOG_SINK_NETWORK] >= level)
        WriteNetwork(env, log.timestamps & AUD_LOG_TS_NETWORK, level, text);
    // No debugger output here; the callback sink takes its place and its
    // time-stamp flag.
    if (log.sinkLevel[AUD_LOG_SINK_CALLBACK] >= level && log.callback != nullptr) {
        if (log.timestamps & AUD_LOG_TS_DEBUGGER) {
            char ts[16];
            aud_log_timestamp(ts);
            std::string line = std::string(ts) + ":" + aud_log_level_name(level) + ":" + text;
            log.callback(log.callbackContext, level, line.c_str());
        } else {
            std::string line = std::string(aud_log_level_name(level)) + ":" + text;
            log.callback(log.callbackContext, level, line.c_str());
        }
    }
}

void aud_log(aud_env_t* env, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    aud_logv(env, level, format, args);
    va_end(args);
}

void aud_log_set_level(aud_env_t* env, int level) {
    if (env != nullptr) env->log.level = level;
}

void aud_log_set_sink_level(aud_env_t* env, int sink, int level) {
    if (env != nullptr && sink >= 0 && sink < AUD_LOG_NUM_SINKS) env->log.sinkLevel[sink] = level;
}

void aud_log_set_timestamps(aud_env_t* env, unsigned flags) {
    if (env != nullptr) env->log.timestamps = flags;
}

void aud_log_set_file(aud_env_t* env, FILE* file) {
    if (env != nullptr) env->log.file = file;
}

void aud_log_set_callback(aud_env_t* env, aud_log_callback_fn fn, void* context) {
    if (env == nullptr) return;
    env->log.callback = fn;
    env->log.callbackContext = context;
}

aud_error_t aud_log_set_network_socket(aud_env_t* env, unsigned slot, int socket) {
    if (env == nullptr || slot > 1) return AUD_ERR_INVALIDPARAMETER;
    env->log.network[slot] = socket;
    return AUD_SUCCESS;
}

aud_error_t aud_env_acquire(aud_env_t** out) {
    if (out == nullptr) return AUD_ERR_INVALIDPARAMETER;
    if (g_env == nullptr) {
        // The socket layer starts itself with the first socket (Winsock on
        // Windows); a power window and an event-log source are not made: the
        // updater watches neither.
        g_env = new (std::nothrow) aud_env();
        if (g_env == nullptr) return AUD_ERR_NOMEMORY;
    }
    ++g_env->references;
    *out = g_env;
    return AUD_SUCCESS;
}

void aud_env_release(aud_env_t* env) {
    if (env == nullptr || env != g_env) return;
    if (--env->references > 0) return;
    delete env;
    g_env = nullptr;
}

int aud_env_reference_count(const aud_env_t* env) { return env != nullptr ? env->references : 0; }

}  // extern "C"

// ---- process-wide diagnostic log -------------------------------------------

namespace {

struct DiagnosticLog {
    int threshold = DT_LOG_WARNING;
    int streamThreshold = DT_LOG_WARNING;
    int networkThreshold = DT_LOG_INFO;
    unsigned flags = DT_LOG_TO_STDERR;
    bool timestamps = true;
    FILE* file = nullptr;
    int socket = -1;
    bool inNetwork = false;  // the network sink does not log about itself
};
DiagnosticLog g_dt;

constexpr const char* kDtLevelNames[] = {"No error", "Debug", "Info",           "Notice",
                                         "Warning",  "Error", "Critical error", "Fatal error"};

void DtStream(FILE* stream, int level, const char* text) {
    if (level < g_dt.streamThreshold) return;
    if (g_dt.timestamps) {
        char ts[16];
        aud_log_timestamp(ts);
        std::fprintf(stream, "%s ", ts);
    }
    const size_t length = std::strlen(text);
    std::fprintf(stream, "%s: %s%s", dt_log_level_name(level), text,
                 length > 0 && text[length - 1] == '\n' ? "" : "\n");
    std::fflush(stream);
}

}  // namespace

extern "C" {

const char* dt_log_level_name(int level) {
    return level >= 0 && level <= DT_LOG_FATAL ? kDtLevelNames[level] : "Undefined error";
}

void dt_log(int level, const char* format, ...) {
    if (level < g_dt.threshold) return;
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (g_dt.flags & DT_LOG_TO_STDOUT) DtStream(stdout, level, text);
    if (g_dt.flags & DT_LOG_TO_STDERR) DtStream(stderr, level, text);
    if ((g_dt.flags & DT_LOG_TO_FILE) && g_dt.file != nullptr) DtStream(g_dt.file, level, text);
    // DT_LOG_TO_SYSLOG: formatted above and discarded, as the hook does.
    if ((g_dt.flags & DT_LOG_TO_NETWORK) && g_dt.socket >= 0 && level >= g_dt.networkThreshold && !g_dt.inNetwork) {
        g_dt.inNetwork = true;
        char line[kMaxDatagram + 1];
        const int n = std::snprintf(line, sizeof line, "%c %s", dt_log_level_name(level)[0], text);
        const size_t length =
            n < 0 ? 0 : (static_cast<size_t>(n) < kMaxDatagram ? static_cast<size_t>(n) : kMaxDatagram);
        if (const int error = platform::SendOnSocket(g_dt.socket, line, length); error != 0) {
            dt_log(DT_LOG_NOTICE, "%s: network logging failed: %s (%d)", "log_socket", std::strerror(error), error);
        }
        g_dt.inNetwork = false;
    }
}

void dt_log_set_threshold(int level) { g_dt.threshold = level; }
void dt_log_set_flags(unsigned flags) { g_dt.flags = flags; }
void dt_log_set_stream_threshold(int level) { g_dt.streamThreshold = level; }
void dt_log_set_file(FILE* file) { g_dt.file = file; }
void dt_log_set_timestamps(int on) { g_dt.timestamps = on != 0; }
void dt_log_set_network_socket(int socket) { g_dt.socket = socket; }

}  // extern "C"
