#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "discovery/aud.h"
#include "discovery/dnssd.h"
#include "discovery/dnssd_records.h"
#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "platform/net.h"

namespace {

TEST(DiscoveryErrors, TextsCarryDescriptionCodeAndName) {
    const struct {
        aud_error_t code;
        const char* text;
    } cases[] = {
        {AUD_SUCCESS, "success"},
        {AUD_ERR_DNSSDFAIL, "DNS-SD system failed: (0x000c=DNSSDFAIL)"},
        {AUD_ERR_INVALIDSTATE, "invalid state: (0x0005=INVALIDSTATE)"},
        {AUD_ERR_NOTCONN, "not connected: (0x0028=NOTCONN)"},
        {AUD_ERR_NOTRUNNING, "service not running: (0x0030=NOTRUNNING)"},
        {AUD_ERR_SYSTEM, "System error: system-specific error: (0x0002)"},
        {49, ": (0x0031=)"},
    };
    for (const auto& c : cases) {
        char buf[AUD_ERROR_TEXT_SIZE];
        EXPECT_STREQ(aud_error_text(c.code, buf), c.text) << c.code;
    }
}

TEST(DiscoveryErrors, SystemNumbersTranslate) {
    const struct {
        int system;
        aud_error_t code;
    } cases[] = {
        {0, AUD_SUCCESS},
        {EAGAIN, AUD_ERR_TIMEDOUT},
        {EINTR, AUD_ERR_INTERRUPTED},
        {EINVAL, AUD_ERR_INVALIDPARAMETER},
        {ENOMEM, AUD_ERR_NOMEMORY},
        {ENOENT, AUD_ERR_NOTFOUND},
        {ECONNREFUSED, AUD_ERR_CONNREFUSED},
        {ENOTSOCK, AUD_ERR_NOTSOCK},
        {ENETUNREACH, AUD_ERR_NETUNREACH},
        {EXDEV, AUD_ERR_SYSTEM},
    };
    for (const auto& c : cases) EXPECT_EQ(aud_error_from_system(c.system), c.code) << c.system;
    EXPECT_EQ(aud_error_from_windows(10035), AUD_ERR_TIMEDOUT);
    EXPECT_EQ(aud_error_from_windows(0x800706D9u), AUD_ERR_NOTRUNNING);
    EXPECT_EQ(aud_error_from_windows(12345), AUD_ERR_SYSTEM);
}

TEST(DiscoveryEnvironment, LastReleaseEndsTheSharedEnvironment) {
    aud_env_t* a = nullptr;
    aud_env_t* b = nullptr;
    ASSERT_EQ(aud_env_acquire(&a), AUD_SUCCESS);
    ASSERT_EQ(aud_env_acquire(&b), AUD_SUCCESS);
    EXPECT_EQ(a, b);
    EXPECT_EQ(aud_env_reference_count(a), 2);
    aud_env_release(b);
    EXPECT_EQ(aud_env_reference_count(a), 1);
    aud_env_release(a);
    EXPECT_EQ(aud_env_acquire(nullptr), AUD_ERR_INVALIDPARAMETER);
}

TEST(DiscoveryEnvironment, SilentUntilAThresholdIsRaised) {
    aud_env_t* env = nullptr;
    ASSERT_EQ(aud_env_acquire(&env), AUD_SUCCESS);
    std::vector<std::string> lines;
    aud_log_set_callback(
        env, [](void* out, int, const char* text) { static_cast<std::vector<std::string>*>(out)->emplace_back(text); },
        &lines);
    for (int level = AUD_LOG_CRITICAL; level <= AUD_LOG_VERBOSE; ++level) aud_log(env, level, "line %d", level);
    EXPECT_TRUE(lines.empty());

    platform::VirtualClock clock;
    clock.SetLocalTime({2026, 1, 1, 0, 0, 5});
    platform::ScopedClock scoped(clock);
    aud_log_set_level(env, AUD_LOG_WARNING);
    aud_log_set_sink_level(env, AUD_LOG_SINK_CALLBACK, AUD_LOG_VERBOSE);
    aud_log_set_timestamps(env, AUD_LOG_TS_DEBUGGER);
    aud_log(env, AUD_LOG_DEBUG, "hidden");
    aud_log(env, AUD_LOG_WARNING, "%s: shown\n", "op");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Jan  1 00:00:05:Warning:op: shown\n");
    aud_log_set_callback(env, nullptr, nullptr);
    aud_log_set_level(env, AUD_LOG_NONE);
    aud_env_release(env);
    EXPECT_STREQ(aud_log_level_name(8), "Undef");
    EXPECT_STREQ(dt_log_level_name(5), "Error");
    EXPECT_STREQ(dt_log_level_name(9), "Undefined error");
}

TEST(DiscoveryClock, VirtualTicksStandForTheWallClock) {
    platform::VirtualClock clock(500);
    clock.SetSpinReadsPerMs(0);
    platform::ScopedClock scoped(clock);
    aud_utime_t now{};
    ASSERT_EQ(aud_utime_get(&now), AUD_SUCCESS);
    EXPECT_EQ(now.tv_sec, 0);
    EXPECT_EQ(now.tv_usec, 500000);
    EXPECT_EQ(aud_utime_get(nullptr), AUD_ERR_INVALIDPARAMETER);
    const aud_utime_t sum = aud_utime_add({1, 700000}, {30, 400000});
    EXPECT_EQ(sum.tv_sec, 32);
    EXPECT_EQ(sum.tv_usec, 100000);
}

TEST(DiscoverySocketSet, StoresEachSocketOnceUpToItsRoom) {
    auto set = std::make_unique<aud_socket_set_t>();
    aud_socket_set_init(set.get());
    aud_socket_set_add(set.get(), 5);
    aud_socket_set_add(set.get(), 5);
    aud_socket_set_add(set.get(), 9);
    EXPECT_EQ(set->count, 2);
    EXPECT_TRUE(aud_socket_set_contains(set.get(), 9));
    aud_socket_set_remove(set.get(), 5);
    EXPECT_EQ(set->count, 1);
    EXPECT_EQ(set->sockets[0], 9);
    EXPECT_FALSE(aud_socket_set_contains(set.get(), 5));
    // A descriptor select() cannot watch (on Linux one from FD_SETSIZE on;
    // Windows takes any socket) is never stored.
    aud_socket_set_add(set.get(), -1);
    EXPECT_EQ(set->count, 1);
    aud_socket_set_add(set.get(), AUD_SOCKET_SET_MAX);
    EXPECT_EQ(set->count, platform::SocketSelectable(AUD_SOCKET_SET_MAX) ? 2 : 1);
}

TEST(DiscoveryInterfaces, LoopbackIsListedWithItsClass) {
    aud_interface_t* list = nullptr;
    unsigned count = 0;
    ASSERT_EQ(aud_interface_list_with_env(nullptr, &list, &count), AUD_SUCCESS);
    bool found = false;
    for (unsigned i = 0; i < count; ++i) {
        if (list[i].loopback) {
            found = true;
            EXPECT_EQ(list[i].interface_class, AUD_INTERFACE_CLASS_LOOPBACK);
            EXPECT_EQ(list[i].ip_address, platform::NetOrder32(0x7F000001u));
        }
        if (i > 0) {
            EXPECT_LE(list[i - 1].interface_class, list[i].interface_class);
        }
    }
    aud_interface_list_free(list);
    EXPECT_TRUE(found);
}

TEST(DnsSdLoader, MissingLibraryOrEntryPointIsReported) {
    std::string error;
    {
        platform::ScopedLibraryRedirect redirect(dnssd::PlatformLibraryName(), "/nonexistent/libdns_sd.so.1");
        EXPECT_EQ(dnssd::Library::Load(error), nullptr);
        EXPECT_NE(error.find("/nonexistent/libdns_sd.so.1"), std::string::npos) << error;
    }
    // A library of ours that has none of them.
    EXPECT_EQ(dnssd::Library::Load(error, QUIL_FAKE_TUSBAUDIO_INCOMPLETE), nullptr);
    EXPECT_NE(error.find("missing entry point DNSServiceBrowse"), std::string::npos) << error;
    EXPECT_FALSE(dnssd::LibraryLoaded());
    DNSServiceRef ref = nullptr;
    EXPECT_EQ(dnssd::DNSServiceBrowse(&ref, 0, 0, "_x._udp.", "local", nullptr, nullptr),
              dnssd::kDNSServiceErr_ServiceNotRunning);
}

TEST(DnsSdRecords, TxtValuesAsThePublishedInterfaceGivesThem) {
    // Keys are matched without regard to case and the first occurrence
    // counts; a key without "=" is present without a value; a string past
    // the record's end ends the search.
    const std::string txt = std::string("\x05k1=ab\x03k2=\x02k3\x00\x06K1=zzz\x03y=1\x04", 26) + "cut=" + "\x09x";
    const auto* record = txt.data();
    const auto length = static_cast<uint16_t>(txt.size());
    const struct {
        const char* key;
        int contains;
        const char* value;  // null: no value
    } cases[] = {{"k1", 1, "ab"},   {"K1", 1, "ab"}, {"j1", 0, nullptr}, {"k2", 1, ""},     {"k3", 1, nullptr},
                 {"k", 0, nullptr}, {"y", 1, "1"},   {"cut", 1, ""},     {"x", 0, nullptr}, {"", 0, nullptr}};
    for (const auto& c : cases) {
        EXPECT_EQ(dnssd::TxtContainsKey(length, record, c.key), c.contains) << c.key;
        uint8_t valueLength = 99;
        const auto* value = static_cast<const char*>(dnssd::TxtValue(length, record, c.key, &valueLength));
        if (c.value == nullptr) {
            EXPECT_EQ(value, nullptr) << c.key;
        } else {
            ASSERT_NE(value, nullptr) << c.key;
            EXPECT_EQ(std::string(value, valueLength), c.value) << c.key;
        }
    }
    EXPECT_EQ(dnssd::TxtValue(0, nullptr, "k1", nullptr), nullptr);
}

TEST(DnsSdRecords, FullNamesAndPtrLabels) {
    const struct {
        const char* service;
        const char* type;
        const char* domain;
        const char* full;
    } cases[] = {
        {"quil-1", "_netaudio-arc._udp.", "local", "quil-1._netaudio-arc._udp.local."},
        {"a.b\\c d", "_x._udp", "local.", "a\\.b\\\\c\\032d._x._udp.local."},
        {"\x1b\x7f", "_x._udp", nullptr, "\\027\\127._x._udp."},
    };
    for (const auto& c : cases) {
        char full[dnssd::kDNSServiceMaxDomainName];
        EXPECT_EQ(dnssd::ConstructFullName(full, c.service, c.type, c.domain), 0);
        EXPECT_STREQ(full, c.full);
    }
    char full[dnssd::kDNSServiceMaxDomainName];
    EXPECT_EQ(dnssd::ConstructFullName(full, std::string(600, '.').c_str(), "_x._udp", "local"), -1);
    EXPECT_STREQ(full, "");
    EXPECT_EQ(dnssd::ConstructFullName(nullptr, "a", "_x._udp", "local"), -1);

    std::string label;
    const uint8_t ptr[] = "\x04q\x0a\x1bx\x04_udp\x05local";
    EXPECT_TRUE(dnssd::FirstWireLabel(ptr, sizeof ptr, label));
    EXPECT_EQ(label, "q\n\x1bx");
    const std::string zero(
        "\x03"
        "a\0b",
        4);
    const std::string long64 = "\x40" + std::string(70, 'a');  // longer than a label may be
    for (const std::string& data : {std::string(reinterpret_cast<const char*>(ptr), 3), std::string(), zero, long64}) {
        EXPECT_FALSE(dnssd::FirstWireLabel(reinterpret_cast<const uint8_t*>(data.data()), data.size(), label))
            << data.size();
    }
    EXPECT_FALSE(dnssd::FirstWireLabel(nullptr, 5, label));
}

}  // namespace
