// Addresses as text: what the options, the DNS-SD replies and the log read and
// write, alike on every system.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/udp_socket.h"

namespace {

uint32_t NetworkOrder(std::array<uint8_t, 4> bytes) {
    uint32_t address = 0;
    std::memcpy(&address, bytes.data(), bytes.size());
    return address;
}

TEST(Ipv4Text, DottedDecimalBothWaysAndNothingElse) {
    const struct {
        const char* text;
        std::array<uint8_t, 4> bytes;
    } good[] = {
        {"127.0.0.1", {127, 0, 0, 1}},
        {"0.0.0.0", {0, 0, 0, 0}},
        {"255.255.255.255", {255, 255, 255, 255}},
        {"10.20.30.40", {10, 20, 30, 40}},
        {"192.168.199.9", {192, 168, 199, 9}},
    };
    for (const auto& c : good) {
        uint32_t address = 0xDEADBEEF;
        ASSERT_TRUE(platform::ParseIpv4(c.text, address)) << c.text;
        EXPECT_EQ(address, NetworkOrder(c.bytes)) << c.text;
        EXPECT_EQ(platform::Ipv4Text(address), c.text);
    }
    for (const char* bad :
         {"",          "127.0.0",    "127.0.0.1.", "127.0.0.1.5", ".127.0.0.1", "127..0.1", "256.0.0.1",
          "1.2.3.256", "1.2.3.1000", "01.2.3.4",   "1.2.3.04",    "00.0.0.0",   "1.2.3.4 ", " 1.2.3.4",
          "1.2.3.-4",  "1.2.3.+4",   "a.b.c.d",    "1.2.3.4x",    "0x7f.0.0.1", "1,2,3,4"}) {
        uint32_t address = 0xDEADBEEF;
        EXPECT_FALSE(platform::ParseIpv4(bad, address)) << '"' << bad << '"';
        EXPECT_EQ(address, 0xDEADBEEFu) << "a refused text leaves the address alone: " << bad;
    }
}

}  // namespace
