// quilupdate on every link, for each kind of entry and of image, with and
// without XSLOT, --unit, FILE= and SN=, against saved virtual units whose
// every flash bank and card store holds something. After each run either
// exactly the store the program announced holds exactly the image and
// nothing else changed, or nothing changed at all and the exit status is 1.
// The expectation follows from the rule alone: an image goes only to the
// device its name is for, and that device must be the selected entry's (the
// card for a card entry or under XSLOT).
//
// The units' flash work runs with --sim-quick; each link's cases are split
// over several tests so that ctest -j runs them side by side. The Dante runs
// each get a private network namespace (they use the system's UDP ports),
// which needs root; elsewhere they are skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "sim/unit_description.h"
#include "tests/ui/program_runner.h"

namespace {

namespace fs = std::filesystem;

enum class Link { Midi, Driver, Dante };
enum class Image { Builtin, Quil, VxDante, VxUsb, VxHd, Unknown };
enum class Serial { None, Quil, VxDante, VxUsb };

constexpr uint8_t kQuil = 0x31;
constexpr uint8_t kVxDante = 21;
constexpr uint8_t kVxHd = 24;
constexpr uint8_t kVxUsb = 50;
constexpr uint8_t kThunderbolt = 20;

// An entry of a link's unit list.
struct Entry {
    std::optional<int> unitOption;  // --unit N; none: the first entry, without the option
    std::string serial;             // the unit's state folder
    bool card = false;              // the entry is the unit's option card
    uint8_t cardType = 0;           // the card in the unit's slot
    std::string connection;         // "... connected via <connection>"
};

std::vector<Entry> EntriesOf(Link link) {
    switch (link) {
    case Link::Midi:
        return {{std::nullopt, "3118220001", false, kVxDante, "Quil USB MIDI 1"},
                {1, "3118220001", true, kVxDante, "Quil USB MIDI 1"},
                {2, "3119100042", false, kVxHd, "Quil MIDI 2"},
                {5, "3120030043", true, kVxUsb, "Quil USB MIDI 4"}};
    case Link::Driver:
        return {{std::nullopt, "3118220001", false, kThunderbolt, "Thunderbolt"},
                {1, "3119100042", false, kThunderbolt, "Thunderbolt"}};
    case Link::Dante:
        return {{std::nullopt, "3118220001", false, kVxDante, "Dante (127.0.0.1)"},
                {1, "3118220001", true, kVxDante, "Dante (127.0.0.1)"}};
    }
    return {};
}

struct Case {
    Entry entry;
    bool xslot = false;
    Image image = Image::Builtin;  // with --update --yes
    Serial serial = Serial::None;  // SN=, without --update
};

std::string Describe(const Case& c) {
    static const char* const kImages[] = {"built-in image", "Quil image",  "VX-DANTE image",
                                          "VX-USB image",   "VX-HD image", "unknown image"};
    static const char* const kSerials[] = {"", "Quil serial", "VX-DANTE serial", "VX-USB serial"};
    std::string text = c.entry.unitOption ? "--unit " + std::to_string(*c.entry.unitOption) : "no --unit";
    if (c.xslot) text += ", XSLOT";
    text += ", ";
    text += c.serial == Serial::None ? kImages[static_cast<int>(c.image)] : kSerials[static_cast<int>(c.serial)];
    return text;
}

std::vector<Case> CasesOf(Link link) {
    std::vector<Case> cases;
    for (const Entry& entry : EntriesOf(link)) {
        for (bool xslot : {false, true}) {
            // XSLOT on a card entry changes nothing: one image is enough.
            for (Image image :
                 {Image::Builtin, Image::Quil, Image::VxDante, Image::VxUsb, Image::VxHd, Image::Unknown}) {
                if (xslot && entry.card && image != Image::Builtin) continue;
                // The built-in Quil image takes minutes over the driver and
                // the Dante links; the other program tests send it there.
                if (image == Image::Builtin && link != Link::Midi && !entry.card && !xslot) continue;
                cases.push_back({entry, xslot, image, Serial::None});
            }
            for (Serial serial : {Serial::Quil, Serial::VxDante, Serial::VxUsb}) {
                if (xslot && entry.card) continue;
                cases.push_back({entry, xslot, Image::Builtin, serial});
            }
        }
    }
    return cases;
}

// The device an image or a serial number is for.
uint8_t DeviceOf(Image image) {
    switch (image) {
    case Image::Quil: return kQuil;
    case Image::VxDante: return kVxDante;
    case Image::VxUsb: return kVxUsb;
    case Image::VxHd: return kVxHd;
    default: return 0;
    }
}
uint8_t DeviceOf(Serial serial) {
    switch (serial) {
    case Serial::Quil: return kQuil;
    case Serial::VxDante: return kVxDante;
    case Serial::VxUsb: return kVxUsb;
    default: return 0;
    }
}
const char* SerialText(Serial serial) {
    switch (serial) {
    case Serial::Quil: return "3121070011";
    case Serial::VxDante: return "1521070012";
    case Serial::VxUsb: return "3221070013";
    default: return "";
    }
}

const char* CardLabel(uint8_t type) {
    switch (type) {
    case kVxDante: return "VX-DANTE";
    case kVxHd: return "VX-HD";
    case kVxUsb: return "VX-USB";
    default: return "Unknown";
    }
}

struct MatrixParam {
    Link link;
    int chunk;
    int chunks;
};

std::string ParamName(const testing::TestParamInfo<MatrixParam>& info) {
    static const char* const kLinks[] = {"Midi", "Driver", "Dante"};
    return std::string(kLinks[static_cast<int>(info.param.link)]) + std::to_string(info.param.chunk);
}

using Files = std::vector<std::pair<fs::path, std::string>>;  // relative path, content

class QuilUpdateMatrix : public ProgramTest, public testing::WithParamInterface<MatrixParam> {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        if (GetParam().link == Link::Dante) {
            // Each run in a network of its own, so that runs side by side
            // never share the Dante ports.
            m_prefix = {"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\""};
            m_skip = ::geteuid() != 0 || Start({"-n", "true"}, "unshare").code != 0;
        }
    }

    std::vector<std::string> LinkOptions() const {
        switch (GetParam().link) {
        case Link::Midi: return {"--simulate"};
        case Link::Driver: return {"--simulate=driver"};
        case Link::Dante: return {"--simulate=dante"};
        }
        return {};
    }

    ProgramRun Run(std::vector<std::string> args) {
        std::vector<std::string> all = {"--console"};
        for (const std::string& option : LinkOptions()) all.push_back(option);
        all.push_back("--sim-quick");
        all.insert(all.end(), args.begin(), args.end());
        return Finish(Spawn(all, kQuilUpdate, {}, -1, m_prefix));
    }

    // The units saved once without changes, then every bank and card store
    // given content of its own.
    void MakeSeed() {
        m_seed = m_dir / "seed";
        const ProgramRun first = Run({"--sim-state", m_seed.string()});
        ASSERT_EQ(first.code, 0) << first.out << first.err;
        int n = 0;
        for (const fs::directory_entry& unit : fs::directory_iterator(m_seed)) {
            if (!unit.is_directory()) continue;  // the folder's lock file
            for (const char* store : {"bank1.bin", "bank2.bin", "card.bin"}) {
                std::string content(300 + 37 * n, '\0');
                for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13 + n * 7 + 1);
                std::ofstream(unit.path() / store, std::ios::binary) << content;
                ++n;
            }
        }
        m_seedFiles = Snapshot(m_seed);
    }

    // Every store and the serial registers of every unit.
    static Files Snapshot(const fs::path& folder) {
        Files files;
        for (const fs::directory_entry& unit : fs::directory_iterator(folder)) {
            if (!unit.is_directory()) continue;
            for (const char* name : {"bank1.bin", "bank2.bin", "card.bin"}) {
                files.emplace_back(unit.path().filename() / name, ReadAll(unit.path() / name));
            }
            const std::string registers = ReadAll(unit.path() / "registers.bin");
            files.emplace_back(unit.path().filename() / "unit serial", registers.substr(12, 4));
            files.emplace_back(unit.path().filename() / "card serial", registers.substr(28, 4));
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    // Images for FILE=, small so that a run stays short; the Quil's begins
    // like an FPGA bitstream, as the unit checks.
    void MakeImages() {
        const std::pair<Image, const char*> names[] = {{Image::Quil, "QUIL0901A.BIN"},
                                                       {Image::VxDante, "VXDNT0103.BIN"},
                                                       {Image::VxUsb, "VXUSB10V07.BIN"},
                                                       {Image::VxHd, "VXHD0201.BIN"},
                                                       {Image::Unknown, "NOPE0100.BIN"}};
        for (const auto& [image, name] : names) {
            std::string content(1000, '\0');
            for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + 3);
            std::fill_n(content.begin(), 16, '\xFF');
            content.replace(16, 4, "\xAA\x99\x55\x66");
            const fs::path path = m_dir / "images" / name;
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << content;
            m_images[static_cast<int>(image)] = {path, content};
        }
        const std::pair<uint8_t, const char*> builtin[] = {
            {kQuil, "QUIL0803C.BIN"}, {kVxDante, "VXDNT0102NC.BIN"}, {kVxUsb, "VXUSB10V00.BIN"}};
        for (const auto& [device, name] : builtin) {
            const fs::path path = m_dir / "images" / ("builtin-" + std::string(name));
            const ProgramRun extract = Start({"extract", name, path.string()}, kQuiltool);
            ASSERT_EQ(extract.code, 0) << extract.err;
            m_builtin.emplace_back(device, ReadAll(path));
        }
    }

    std::string Builtin(uint8_t device) const {
        for (const auto& [d, content] : m_builtin) {
            if (d == device) return content;
        }
        return {};
    }

    void Check(const Case& c, int index) {
        SCOPED_TRACE(Describe(c));
        const fs::path state = m_dir / ("state" + std::to_string(index));
        fs::copy(m_seed, state, fs::copy_options::recursive);
        std::vector<std::string> args = {"--sim-state", state.string()};
        if (c.entry.unitOption) {
            args.push_back("--unit");
            args.push_back(std::to_string(*c.entry.unitOption));
        }
        if (c.xslot) args.push_back("XSLOT");
        if (c.serial == Serial::None) {
            args.push_back("--update");
            args.push_back("--yes");
            if (c.image != Image::Builtin) args.push_back("FILE=" + m_images[static_cast<int>(c.image)].first.string());
        } else {
            args.push_back(std::string("SN=") + SerialText(c.serial));
        }
        const ProgramRun run = Run(args);

        // What the rule says must happen.
        const bool card = c.entry.card || c.xslot;
        const uint8_t device = card ? c.entry.cardType : kQuil;
        // The VX-DANTE card's store is reached only through the Dante link's
        // card endpoint; the VX-USB card only through the USB audio driver,
        // which the demo offers beside the MIDI ports.
        const Link link = GetParam().link;
        const bool writable =
            device == kQuil || (device == kVxDante && link == Link::Dante) || (device == kVxUsb && link == Link::Midi);
        Files want = m_seedFiles;
        bool changes = false;
        const auto replace = [&](const std::string& name, const std::string& content) {
            for (auto& [path, bytes] : want) {
                if (path == fs::path(c.entry.serial) / name) bytes = content;
            }
            changes = true;
        };
        if (c.serial != Serial::None) {
            if (DeviceOf(c.serial) == device) {
                const auto value = sim::ParseSerialText(SerialText(c.serial));
                ASSERT_TRUE(value.has_value());
                const auto regs = sim::SerialRegisters(*value);
                replace(card ? "card serial" : "unit serial", std::string(regs.begin(), regs.end()));
            }
        } else if (writable && (c.image == Image::Builtin || DeviceOf(c.image) == device)) {
            std::string image =
                c.image == Image::Builtin ? Builtin(device) : m_images[static_cast<int>(c.image)].second;
            // The VX-DANTE card keeps whole packets: the last one zero-filled.
            if (device == kVxDante) image.resize((image.size() + 127) / 128 * 128, '\0');
            replace(device == kQuil ? "bank2.bin" : "card.bin", image);
        }

        const Files got = Snapshot(state);
        EXPECT_EQ(run.code, changes ? 0 : 1) << run.out << run.err;
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_TRUE(got[i].second == want[i].second)
                << got[i].first << ": " << got[i].second.size() << " bytes, expected " << want[i].second.size();
        }
        if (changes && c.serial == Serial::None) {
            const std::string description =
                card ? std::string(CardLabel(device)) + " in Quil connected via " + c.entry.connection
                     : "Quil connected via " + c.entry.connection;
            EXPECT_NE(run.out.find("About to program the " + description + " with Firmware Version"), std::string::npos)
                << run.out;
            EXPECT_NE(run.out.find("Congratulations!"), std::string::npos);
        }
        fs::remove_all(state);
    }

    std::vector<std::string> m_prefix;
    bool m_skip = false;
    fs::path m_seed;
    Files m_seedFiles;
    std::pair<fs::path, std::string> m_images[6];
    std::vector<std::pair<uint8_t, std::string>> m_builtin;
};

TEST_P(QuilUpdateMatrix, TheAnnouncedStoreGetsTheImageOrNothingChanges) {
    if (m_skip) GTEST_SKIP() << "the Dante runs need a private network namespace (root and unshare)";
    MakeImages();
    MakeSeed();
    const std::vector<Case> cases = CasesOf(GetParam().link);
    for (size_t i = 0; i < cases.size(); ++i) {
        if (static_cast<int>(i % GetParam().chunks) != GetParam().chunk) continue;
        Check(cases[i], static_cast<int>(i));
    }
}

INSTANTIATE_TEST_SUITE_P(Links, QuilUpdateMatrix,
                         testing::Values(MatrixParam{Link::Midi, 0, 3}, MatrixParam{Link::Midi, 1, 3},
                                         MatrixParam{Link::Midi, 2, 3}, MatrixParam{Link::Driver, 0, 1},
                                         MatrixParam{Link::Dante, 0, 2}, MatrixParam{Link::Dante, 1, 2}),
                         ParamName);

}  // namespace
