// Serial numbers: packing, the text form and which texts are valid.
#include "app/serial_number.h"

#include <gtest/gtest.h>

namespace {

TEST(SerialNumber, PacksAndUnpacksItsFields) {
    const uint32_t serial = PackSerialNumber({0x31, 44, 48, 4095});
    EXPECT_EQ(serial, 0x31CB0FFFu);
    const SerialFields f = UnpackSerialNumber(serial);
    EXPECT_EQ(f.model, 0x31);
    EXPECT_EQ(f.year, 44u);
    EXPECT_EQ(f.week, 48u);
    EXPECT_EQ(f.unit, 4095u);
    EXPECT_EQ(FormatSerialNumber(serial), "3144484095");
    EXPECT_EQ(FormatSerialNumber(PackSerialNumber({0x31, 18, 48, 123})), "3118480123");
    EXPECT_EQ(FormatSerialNumber(PackSerialNumber({0x15, 1, 2, 3})), "1501020003");

    EXPECT_TRUE(IsBlankSerialNumber(0));
    EXPECT_TRUE(IsBlankSerialNumber(0xFFFFFFFF));
    EXPECT_FALSE(IsBlankSerialNumber(0x31CB0FFF));
}

TEST(SerialNumber, ValidTextsReadBackToTheirFields) {
    const auto s = ParseSerialNumberText("3118220001");
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, PackSerialNumber({0x31, 18, 22, 1}));
    EXPECT_EQ(FormatSerialNumber(*s), "3118220001");

    // A year of 64 or more keeps its low six bits.
    const auto wrapped = ParseSerialNumberText("3165220001");
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(UnpackSerialNumber(*wrapped).year, 1u);

    // Every owner the unit list shows: the Quil and the four option cards.
    for (const char* text : {"3118220001", "1318220001", "1518220001", "1818220001", "3218220001"}) {
        const auto v = ParseSerialNumberText(text);
        ASSERT_TRUE(v) << text;
        EXPECT_EQ(FormatSerialNumber(*v), text);
    }
    // Boundaries.
    EXPECT_TRUE(ParseSerialNumberText("3101010001"));
    EXPECT_TRUE(ParseSerialNumberText("3163534095"));
}

TEST(SerialNumber, InvalidTextsAreRefused) {
    for (const char* text : {
             "3118000001",   // week 0
             "3118540001",   // week 54
             "3118650001",   // week 65
             "3100220001",   // year 0
             "3164220001",   // year 64 wraps to 0
             "3118220000",   // unit 0
             "3118224096",   // unit 4096 wraps to 0
             "3318220001",   // model 0x33
             "1918220001",   // 0x19 is not a card type (25 is)
             "2118220001",   // nor is 0x21 (21 is 0x15)
             "311822000",    // nine characters
             "31182200011",  // eleven
             "",
             "xx18220001",
         }) {
        EXPECT_FALSE(ParseSerialNumberText(text)) << text;
    }
    EXPECT_FALSE(IsValidSerialNumber(0xFFFFFFFF));
    EXPECT_FALSE(IsValidSerialNumber(0));
}

}  // namespace
