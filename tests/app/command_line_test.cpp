// The main window's keywords and the program's own options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/manufacture_date.h"
#include "app/program_options.h"

namespace {

TEST(CommandLineKeywords, EachKeywordByItsFirstCharacters) {
    const CommandLineKeywords k =
        ParseCommandLineKeywords("  sn=3a18220001x getsnx FILE=/Images/Quil0905B.bin  prom=1\tXSLOTS other");
    ASSERT_TRUE(k.serialText);
    EXPECT_EQ(*k.serialText, "3A18220001");
    EXPECT_TRUE(k.askSerial);
    ASSERT_TRUE(k.filePath);
    EXPECT_EQ(*k.filePath, "/Images/Quil0905B.bin");  // the path keeps its case
    // The tab does not separate: "prom=1\tXSLOTS" is one PROM= token.
    ASSERT_TRUE(k.bank);
    EXPECT_EQ(*k.bank, 0);
    EXPECT_FALSE(k.forceXSlot);

    const CommandLineKeywords later = ParseCommandLineKeywords("PROM=1 FILE=a FILE=b PROM=2 xslot");
    EXPECT_EQ(*later.bank, 1);
    EXPECT_EQ(*later.filePath, "b");
    EXPECT_TRUE(later.forceXSlot);

    const CommandLineKeywords none = ParseCommandLineKeywords("--simulate GET SN FILE PROM");
    EXPECT_FALSE(none.serialText || none.filePath || none.bank || none.askSerial || none.forceXSlot);
}

TEST(ManufactureDate, WeeksCountFromTheFirstOfJanuaryWithATwentyEightDayFebruary) {
    struct Case {
        unsigned year, week;
        int month, day;
    };
    const Case cases[] = {{18, 1, 1, 1},   {18, 5, 1, 29},  {18, 9, 2, 26},   {18, 10, 3, 5},
                          {18, 18, 4, 30}, {18, 22, 5, 28}, {20, 53, 12, 31}, {63, 52, 12, 24}};
    for (const Case& c : cases) {
        const auto date = ManufactureDate(c.year, c.week);
        ASSERT_TRUE(date) << c.week;
        EXPECT_EQ(*date, (CalendarDate{2000 + static_cast<int>(c.year), c.month, c.day})) << c.week;
    }
    EXPECT_FALSE(ManufactureDate(18, 54));
    EXPECT_FALSE(ManufactureDate(18, 0));
}

TEST(ProgramOptions, OptionsKeywordsAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string keywordsOrError;
    };
    const Case cases[] = {
        {{"--simulate", "--sim-state", "/tmp/s", "--sim-fault=pgmerr@3", "GETSN", "PROM=1"}, true, "GETSN PROM=1"},
        {{"--console", "--unit", "2", "--update", "--yes", "FILE=/x/Quil.bin"}, true, "FILE=/x/Quil.bin"},
        {{"-simulate"}, false, "unknown option '-simulate'"},
        {{"--simulat"}, false, "unknown option '--simulat'"},
        {{"--unit"}, false, "option '--unit' needs a value"},
        {{"--unit", "-1"}, false, "option '--unit' needs an entry number from 0, not '-1'"},
        {{"--unit=two"}, false, "option '--unit' needs an entry number from 0, not 'two'"},
        {{"--console=yes"}, false, "option '--console' takes no value"},
        {{"--sim-state", "dir"}, false, "option '--sim-state' needs --simulate"},
        {{"--sim-fault", "txerr@1"}, false, "option '--sim-fault' needs --simulate"},
    };
    for (const Case& c : cases) {
        ProgramOptions options;
        std::string error;
        const bool ok = ParseProgramOptions(c.args, options, error);
        EXPECT_EQ(ok, c.ok) << c.args[0];
        EXPECT_EQ(ok ? options.keywords : error, c.keywordsOrError);
    }
    ProgramOptions options;
    std::string error;
    ASSERT_TRUE(ParseProgramOptions({"--simulate", "--sim-state", "/tmp/s", "--sim-fault=silence@7", "--unit=3"},
                                    options, error));
    EXPECT_TRUE(options.simulate);
    EXPECT_EQ(options.simState.value_or(""), "/tmp/s");
    EXPECT_EQ(options.simFault.value_or(""), "silence@7");
    EXPECT_EQ(options.unit.value_or(-1), 3);
}

}  // namespace
