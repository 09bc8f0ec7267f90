// Units behind the kernel driver, end to end: the main window lists them by
// their Thunderbolt interface and updates one through the driver link; and
// the program's option that puts the demo units there.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "app/program_options.h"
#include "platform/driver.h"
#include "sim/virtual_driver_setup.h"
#include "tests/app/main_window_fixture.h"

namespace {

using namespace resources;

class DriverUpdateTest : public MainWindowTest {
protected:
    // A Quil as it sits behind the driver: the Thunderbolt interface in its
    // slot.
    static sim::UnitDescription QuilBehindDriver() {
        sim::UnitDescription u = QuilWithCard(sim::kCardNone);
        u.card.type = sim::kCardThunderbolt;
        return u;
    }
    std::unique_ptr<sim::VirtualDriverSetup> m_driver = std::make_unique<sim::VirtualDriverSetup>();
    platform::ScopedDriverSystem m_scopedDriver{m_driver->System()};
};

TEST_F(DriverUpdateTest, MainUnitUpdateThroughTheDriverLink) {
    const std::vector<uint8_t> image = ExpandedEmbeddedImage("QUIL0803C.BIN");
    ASSERT_EQ(image.size(), 5346254u);
    sim::VirtualQuil* quil = m_driver->AddAdapter(0x3114, QuilBehindDriver());
    // A sibling model on the next adapter is not listed.
    sim::UnitDescription sibling;
    sibling.pid = sim::kPidNimbra16;
    sibling.firmwareMajor = 17;
    sibling.card.type = sim::kCardThunderbolt;
    m_driver->AddAdapter(0x2614, sibling);

    ui().QueuePress(IDC_UPDATE);
    ui().QueueAnswer(platform::BoxAnswer::Ok);
    Run("");

    EXPECT_EQ(ListTexts(MainWindow()), (std::vector<std::string>{"Quil connected via Thunderbolt"}));
    EXPECT_EQ(ui().Boxes().at(0).text,
              "About to program the Quil connected via Thunderbolt with Firmware Version 8.3\n");
    EXPECT_EQ(m_dialog->LastUpdate(), UpdateOutcome::Succeeded);
    const std::span<const uint8_t> written = quil->Bank(2);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), image.begin(), image.end()));
    ExpectLogInOrder({"Found Quil. Number Of Connections: 2\n", "Found Quil connected via Thunderbolt\n",
                      "Download took: ", "Programming Complete\n"});
}

TEST(ProgramOptionsDriver, SimulateTakesTheDriverOrDante) {
    const struct {
        std::vector<std::string> args;
        bool ok, simulate, driver, dante;
    } cases[] = {
        {{"--simulate=driver", "--sim-state", "d"}, true, true, true, false},
        {{"--simulate=dante", "--sim-state", "d"}, true, true, false, true},
        {{"--simulate"}, true, true, false, false},
        {{"--simulate=midi"}, false, false, false, false},
        {{"--simulate="}, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        ProgramOptions options;
        std::string error;
        EXPECT_EQ(ParseProgramOptions(c.args, options, error), c.ok);
        EXPECT_EQ(options.simulate, c.simulate);
        EXPECT_EQ(options.simulateDriver, c.driver);
        EXPECT_EQ(options.simulateDante, c.dante);
        EXPECT_EQ(error, c.ok ? "" : "option '--simulate' takes no value, '=driver' or '=dante'");
    }
}

}  // namespace
