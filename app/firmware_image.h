// Firmware images: what an image's file name says it is for, the release
// date of a firmware version, and the embedded images with their expansion
// into a temporary file for an update.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/temp_dir.h"
#include "remote/option_card.h"

// DeviceID values: what an image is for. The same byte heads a serial number.
inline constexpr uint8_t kDeviceQuil = 0x31;
inline constexpr uint8_t kDeviceVxMadi = kCardVxMadi;
inline constexpr uint8_t kDeviceVxDante = kCardVxDante;
inline constexpr uint8_t kDeviceVxHd = kCardVxHd;
inline constexpr uint8_t kDeviceVxFw = kCardVxFw;
inline constexpr uint8_t kDeviceVxUsb = kCardVxUsb;
inline constexpr uint8_t kDeviceNone = 0xFF;
inline constexpr uint16_t kVersionNone = 0xFFFF;

inline constexpr const char kFirmwareCaption[] = "Quil Firmware Update";
inline constexpr const char kUnknownDeviceIdText[] = "Unable to determine DeviceID from File Name";

struct FirmwareName {
    uint8_t deviceId = kDeviceNone;
    uint16_t version = kVersionNone;  // major * 100 + minor
};

// Reads DeviceID and version from an image name (a resource name, or a file
// name without folder and extension); the prefix is compared without regard
// to case. Empty for an unknown prefix or a version that does not fit.
std::optional<FirmwareName> DecodeFirmwareName(std::string_view name);

// As DecodeFirmwareName; sets the outputs to none first, and shows the box
// "Unable to determine DeviceID from File Name" when the name is not known.
bool ParseFirmwareName(std::string_view name, uint8_t& deviceId, uint16_t& version);

// A path's file name without its folder and extension ("/x/QUIL0803C.BIN" ->
// "QUIL0803C"); '/' and '\' both separate folders.
std::string FirmwareNameFromPath(std::string_view path);

// A calendar date (local midnight), for display.
struct CalendarDate {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    bool operator==(const CalendarDate&) const = default;
};

// "%b %d, %Y" in the C locale, e.g. "Nov 27, 2018".
std::string FormatReleaseDate(const CalendarDate& date);

// The release date of each major version for a device: index = major. Empty
// for a device without a table.
std::span<const CalendarDate> ReleaseDateTable(uint8_t deviceId);

// The unit's firmware date word: day bits 0-4, month bits 8-11, year - 2000
// with its high three bits in bits 5-7 and its low four in bits 12-15. No date
// for a month outside 1 to 12 or a day that the month does not have.
std::optional<CalendarDate> DecodeFirmwareDateWord(uint16_t word);

// Reads the unit's firmware date word (the remote's GetFirmwareDate); false
// when it cannot.
using FirmwareDateReader = std::function<bool(uint16_t& word)>;

// The release date to show for firmware `major` of `deviceId`: the unit's own
// date word for a Quil when `unitReadAllowed` and the reader succeeds, the
// device's table otherwise. No date for a device without a table, for major
// 63 (a blank register) or for a major past the table's end.
std::optional<CalendarDate> FirmwareReleaseDate(unsigned major, uint8_t deviceId, bool unitReadAllowed,
                                                const FirmwareDateReader& readUnitDate = {});

// The names of the embedded images, alphabetically (at most 16, each at most
// 31 characters): what the main window enumerates into m_resourceNames.
std::vector<std::string> EmbeddedFirmwareNames();

// The embedded image for a device, as the main window chooses it: the first
// name (alphabetically) whose DeviceID is `deviceId`, never version 0.05 of
// the VX-USB image. Logs "Selecting %s Firmware\n". Empty when there is none.
struct EmbeddedFirmwareChoice {
    std::string name;
    FirmwareName decoded;
};
std::optional<EmbeddedFirmwareChoice> ChooseEmbeddedFirmware(uint8_t deviceId);

// Reads the image file `path` into `image`, whole or not at all: an empty
// file, one larger than kLargestFirmwareImage or a short read is refused
// with its message box ("Unable to open file '%s'!", "Unable to get Firmware
// file size!", "Unable to allocate enough RAM to load the Firmware!",
// "Unable to read Firmware into Memory!").
class FirmwareBuffer;
bool LoadFirmwareFile(const std::string& path, FirmwareBuffer& image);

// Finds the embedded image `name` (case-insensitive). On failure shows
// "Cannot Find Resource" (caption: the name, warning icon) and returns false.
bool LoadFirmwareResource(std::string_view name, std::span<const uint8_t>& bytes);

// The temporary files of one expansion, in a private folder made for it; the
// folder and everything in it go when this object does.
class ExpandedFirmwareFile {
public:
    ExpandedFirmwareFile(std::unique_ptr<platform::TempDir> dir, std::string path)
        : m_dir(std::move(dir)), m_path(std::move(path)) {}
    // The expanded image: the private folder followed by the resource name.
    const std::string& Path() const { return m_path; }

private:
    std::unique_ptr<platform::TempDir> m_dir;
    std::string m_path;
};

// Expands the container `bytes` for resource `name`: writes the compressed
// copy (name with its last character replaced by '_') into a private folder
// under `tempParent` ($TMPDIR or /tmp when empty), expands it into the file
// `name` beside it and deletes the copy. On failure shows the message box of
// the step that failed, logs the reason, removes every file it made and
// returns null. An input that is not a container is copied unchanged.
std::unique_ptr<ExpandedFirmwareFile> ExpandFirmwareResource(std::span<const uint8_t> bytes, std::string_view name,
                                                             std::string_view tempParent = {});

// The codes the expansion step puts in its captions, as the system's LZ
// expander numbers its errors.
enum ExpanderError : long {
    kExpanderBadInHandle = -1,
    kExpanderBadOutHandle = -2,
    kExpanderRead = -3,
    kExpanderWrite = -4,
    kExpanderUnknownAlgorithm = -8,
};
