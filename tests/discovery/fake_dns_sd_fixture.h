// The discovery library on the fake DNS-SD library, loaded through the same
// loader as the real one, on a virtual clock, with the library's log captured.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "discovery/aud.h"
#include "discovery/dnssd.h"
#include "platform/clock.h"
#include "platform/dynamic_library.h"
#include "tests/discovery/fake_dns_sd/fake_dns_sd.h"

class FakeDnsSd : public testing::Test {
protected:
    void SetUp() override {
        m_clock.SetSpinReadsPerMs(0);
        std::string error;
        m_library = dnssd::Library::Load(error);
        ASSERT_NE(m_library, nullptr) << error;
        Take(reset, "fake_dnssd_reset");
        Take(setAvahi, "fake_dnssd_set_avahi");
        Take(addService, "fake_dnssd_add_service");
        Take(removeService, "fake_dnssd_remove_service");
        Take(addAddress, "fake_dnssd_add_address");
        Take(setResolveMode, "fake_dnssd_set_resolve_mode");
        Take(failNext, "fake_dnssd_fail_next");
        Take(count, "fake_dnssd_count");
        Take(lastName, "fake_dnssd_last_name");
        Take(lastFlags, "fake_dnssd_last_flags");
        Take(lastReconfirm, "fake_dnssd_last_reconfirm");
        Take(openRefs, "fake_dnssd_open_refs");
        reset();
        ASSERT_EQ(aud_env_acquire(&env), AUD_SUCCESS);
        aud_log_set_level(env, AUD_LOG_VERBOSE);
        aud_log_set_sink_level(env, AUD_LOG_SINK_CALLBACK, AUD_LOG_VERBOSE);
        aud_log_set_timestamps(env, 0);
        aud_log_set_callback(
            env, [](void* self, int, const char* text) { static_cast<FakeDnsSd*>(self)->lines.emplace_back(text); },
            this);
        aud_interface_t lo{};
        if (aud_interface_find_loopback(env, &lo) == AUD_SUCCESS) loopback = lo.interface_index;
    }

    void TearDown() override {
        if (env != nullptr) {
            aud_log_set_callback(env, nullptr, nullptr);
            aud_log_set_level(env, AUD_LOG_NONE);
            aud_env_release(env);
        }
        if (reset != nullptr) reset();
    }

    template <typename Fn>
    void Take(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(m_library->Symbol(name));
        ASSERT_NE(fn, nullptr) << name;
    }

    static std::vector<uint8_t> Txt(const std::vector<std::string>& pairs) {
        std::vector<uint8_t> txt;
        for (const std::string& p : pairs) {
            txt.push_back(static_cast<uint8_t>(p.size()));
            txt.insert(txt.end(), p.begin(), p.end());
        }
        return txt;
    }

    void Service(const char* name, const char* type, const char* subtype, uint32_t ifindex, const char* host,
                 uint16_t port, const std::vector<std::string>& pairs) {
        const std::vector<uint8_t> txt = Txt(pairs);
        addService(name, type, subtype, ifindex, host, port, txt.data(), static_cast<uint16_t>(txt.size()));
    }

    bool Logged(const std::string& fragment) const {
        for (const std::string& l : lines) {
            if (l.find(fragment) != std::string::npos) return true;
        }
        return false;
    }

    platform::VirtualClock m_clock{1000};
    platform::ScopedClock m_scopedClock{m_clock};
    platform::ScopedLibraryRedirect m_redirect{dnssd::PlatformLibraryName(), QUIL_FAKE_DNS_SD};
    std::unique_ptr<dnssd::Library> m_library;
    aud_env_t* env = nullptr;
    uint32_t loopback = 0;
    std::vector<std::string> lines;

    fake_dnssd_reset_fn reset = nullptr;
    fake_dnssd_set_avahi_fn setAvahi = nullptr;
    fake_dnssd_add_service_fn addService = nullptr;
    fake_dnssd_remove_service_fn removeService = nullptr;
    fake_dnssd_add_address_fn addAddress = nullptr;
    fake_dnssd_set_resolve_mode_fn setResolveMode = nullptr;
    fake_dnssd_fail_next_fn failNext = nullptr;
    fake_dnssd_count_fn count = nullptr;
    fake_dnssd_last_name_fn lastName = nullptr;
    fake_dnssd_last_flags_fn lastFlags = nullptr;
    fake_dnssd_last_reconfirm_fn lastReconfirm = nullptr;
    fake_dnssd_open_refs_fn openRefs = nullptr;
};
