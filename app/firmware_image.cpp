#include "app/firmware_image.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "app/ascii_case.h"
#include "app/firmware_buffer.h"
#include "app/szdd.h"
#include "platform/file_io.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/ui.h"
#include "resources/firmware_resources.h"

namespace {

// A signed decimal number at `offset`: optional leading blanks and sign, then
// digits up to the first non-digit; 0 when there are none (or the name is
// shorter than the offset). Saturates far beyond any version.
long ReadDecimal(std::string_view name, size_t offset) {
    if (offset >= name.size()) return 0;
    size_t i = offset;
    while (i < name.size() && std::isspace(static_cast<unsigned char>(name[i]))) ++i;
    bool negative = false;
    if (i < name.size() && (name[i] == '+' || name[i] == '-')) {
        negative = name[i] == '-';
        ++i;
    }
    long value = 0;
    for (; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])); ++i) {
        if (value < 10000000) value = value * 10 + (name[i] - '0');
    }
    return negative ? -value : value;
}

struct NameRule {
    const char* prefix;
    uint8_t deviceId;
    size_t majorOffset;
    size_t minorOffset;  // 0: the number at majorOffset is the whole version
};

constexpr NameRule kNameRules[] = {
    {"QUIL", kDeviceQuil, 4, 0},
    {"VXMA", kDeviceVxMadi, 4, 0},
    {"VXHD", kDeviceVxHd, 4, 0},
    {"VXFW", kDeviceVxFw, 4, 0},
    {"VXDN", kDeviceVxDante, 5, 0},
    // VXUSB10V05: major at the sixth character, minor at the ninth.
    {"VXUS", kDeviceVxUsb, 5, 8},
};

constexpr CalendarDate kMainUnitDates[] = {
    {2012, 1, 1},  {2012, 2, 1},   {2012, 2, 15}, {2012, 2, 27}, {2012, 4, 3}, {2012, 11, 14}, {2014, 12, 9},
    {2016, 1, 12}, {2018, 11, 27}, {2017, 1, 1},  {2017, 1, 1},  {2017, 1, 1}, {2017, 1, 1},   {2017, 1, 1},
    {2017, 1, 1},  {2017, 1, 1},   {2017, 1, 1},  {2017, 1, 1},  {2017, 1, 1}, {2017, 1, 1},
};
constexpr CalendarDate kVxUsbDates[] = {
    {2011, 1, 1},  {2011, 1, 1},  {2011, 1, 1},  {2011, 1, 1},  {2011, 1, 1}, {2011, 7, 10}, {2012, 2, 20},
    {2012, 2, 23}, {2012, 3, 27}, {2012, 8, 14}, {2012, 9, 24}, {2015, 1, 1}, {2015, 1, 1},  {2015, 1, 1},
    {2015, 1, 1},  {2015, 1, 1},  {2015, 1, 1},  {2015, 1, 1},  {2015, 1, 1}, {2015, 1, 1},
};
constexpr CalendarDate kVxDanteDates[] = {
    {2017, 2, 7}, {2017, 2, 14}, {2017, 1, 1}, {2017, 1, 1}, {2017, 1, 1}, {2017, 1, 1},
    {2017, 1, 1}, {2017, 1, 1},  {2017, 1, 1}, {2017, 1, 1}, {2017, 1, 1},
};

constexpr unsigned kBlankMajor = 63;

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

void ShowWarning(const std::string& text, const std::string& caption) {
    platform::ShowOkBox(text, caption, platform::BoxIcon::Warning, true);
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.resize(static_cast<size_t>(n));
    return text;
}

// One failure of the expansion step: the box of the table, and a log line
// that says why.
void ExpansionFailure(const std::string& text, const std::string& caption, const char* reason = nullptr) {
    if (reason != nullptr) {
        LogMessage("ExpandFirmwareResource: %s [%s] %s\n", text.c_str(), caption.c_str(), reason);
    } else {
        LogMessage("ExpandFirmwareResource: %s [%s]\n", text.c_str(), caption.c_str());
    }
    ShowWarning(text, caption);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    // False when closing reports an error (a write that did not land).
    bool Close() {
        if (m_fd < 0) return true;
        const bool ok = platform::CloseFile(m_fd);
        m_fd = -1;
        return ok;
    }

private:
    int m_fd;
};

long ExpanderErrorFor(szdd::Status status) {
    switch (status) {
    case szdd::Status::BadMode: return kExpanderUnknownAlgorithm;
    case szdd::Status::WriteFailed: return kExpanderWrite;
    default: return kExpanderRead;
    }
}

// A resource name that names a file inside the private folder and nothing else.
bool IsPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.size() < 256 &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace

std::optional<FirmwareName> DecodeFirmwareName(std::string_view name) {
    for (const NameRule& rule : kNameRules) {
        if (!StartsWithIgnoringCase(name, rule.prefix)) continue;
        const long major = ReadDecimal(name, rule.majorOffset);
        long version = major;
        if (rule.minorOffset != 0) {
            const long minor = ReadDecimal(name, rule.minorOffset);
            if (major < 0 || minor < 0) return std::nullopt;
            version = major * 100 + minor;
        }
        // A negative number or one that does not fit below the "none" value
        // is no version at all.
        if (version < 0 || version >= kVersionNone) return std::nullopt;
        return FirmwareName{rule.deviceId, static_cast<uint16_t>(version)};
    }
    return std::nullopt;
}

bool ParseFirmwareName(std::string_view name, uint8_t& deviceId, uint16_t& version) {
    deviceId = kDeviceNone;
    version = kVersionNone;
    const std::optional<FirmwareName> parsed = DecodeFirmwareName(name);
    if (!parsed) {
        platform::ShowOkBox(kUnknownDeviceIdText, kFirmwareCaption, platform::BoxIcon::None, true);
        return false;
    }
    deviceId = parsed->deviceId;
    version = parsed->version;
    return true;
}

std::string FirmwareNameFromPath(std::string_view path) {
    const size_t slash = path.find_last_of("/\\");
    std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = file.rfind('.');
    if (dot != std::string_view::npos) file = file.substr(0, dot);
    return std::string(file);
}

std::string FormatReleaseDate(const CalendarDate& date) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* month = date.month >= 1 && date.month <= 12 ? kMonths[date.month - 1] : "???";
    return Format("%s %02d, %d", month, date.day, date.year);
}

std::span<const CalendarDate> ReleaseDateTable(uint8_t deviceId) {
    switch (deviceId) {
    case kDeviceQuil: return kMainUnitDates;
    case kDeviceVxUsb: return kVxUsbDates;
    case kDeviceVxDante: return kVxDanteDates;
    default: return {};
    }
}

std::optional<CalendarDate> DecodeFirmwareDateWord(uint16_t word) {
    CalendarDate date;
    date.day = word & 0x1F;
    date.month = (word >> 8) & 0x0F;
    date.year = 2000 + ((((word >> 5) & 0x07) << 4) | ((word >> 12) & 0x0F));
    if (date.month < 1 || date.month > 12 || date.day < 1) return std::nullopt;
    // Feb 30 and the like exist on no calendar: no date rather than a wrong one.
    if (date.day > DaysInMonth(date.year, date.month)) return std::nullopt;
    return date;
}

std::optional<CalendarDate> FirmwareReleaseDate(unsigned major, uint8_t deviceId, bool unitReadAllowed,
                                                const FirmwareDateReader& readUnitDate) {
    if (deviceId == kDeviceQuil && unitReadAllowed && readUnitDate) {
        uint16_t word = 0;
        if (readUnitDate(word)) return DecodeFirmwareDateWord(word);
    }
    const std::span<const CalendarDate> table = ReleaseDateTable(deviceId);
    if (major == kBlankMajor || major >= table.size()) return std::nullopt;
    return table[major];
}

std::vector<std::string> EmbeddedFirmwareNames() { return resources::RawResourceNames(); }

std::optional<EmbeddedFirmwareChoice> ChooseEmbeddedFirmware(uint8_t deviceId) {
    for (const std::string& name : EmbeddedFirmwareNames()) {
        const std::optional<FirmwareName> decoded = DecodeFirmwareName(name);
        if (!decoded || decoded->deviceId != deviceId) continue;
        // Version 0.05 of the VX-USB image is never offered.
        if (decoded->deviceId == kDeviceVxUsb && decoded->version == 5) continue;
        LogMessage("Selecting %s Firmware\n", name.c_str());
        return EmbeddedFirmwareChoice{name, *decoded};
    }
    return std::nullopt;
}

bool LoadFirmwareFile(const std::string& path, FirmwareBuffer& loaded) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        const int error = errno;
        char text[400];
        char caption[64];
        std::snprintf(text, sizeof text, "Unable to open file '%s'!", path.c_str());
        std::snprintf(caption, sizeof caption, "CreateFile Failure! [%08lx]", static_cast<unsigned long>(error));
        platform::ShowOkBox(text, caption, platform::BoxIcon::Warning, true);
        return false;
    }
    const uint64_t size = platform::RegularFileSize(file).value_or(0);
    // An empty image would be programmed as nothing at all: refuse it.
    if (size == 0) {
        std::fclose(file);
        LogMessage("Unable to get Firmware file size!\n");
        platform::ShowOkBox("Unable to get Firmware file size!", "", platform::BoxIcon::Warning, true);
        return false;
    }
    // No unit's flash takes an image this large, so it is refused before a
    // byte of it is read.
    if (size > kLargestFirmwareImage) {
        std::fclose(file);
        char text[600];
        std::snprintf(text, sizeof text,
                      "Unable to allocate enough RAM to load the Firmware!\n\nThe file '%s' holds %llu bytes; no "
                      "unit's flash takes more than %lu.",
                      path.c_str(), static_cast<unsigned long long>(size),
                      static_cast<unsigned long>(kLargestFirmwareImage));
        LogMessage("%s\n", text);
        platform::ShowOkBox(text, "Out of Memory", platform::BoxIcon::Warning, true);
        return false;
    }
    // Read straight into the buffer the update sends from: one copy.
    FirmwareBuffer image(static_cast<uint32_t>(size));
    const std::span<uint8_t> bytes = image.MutableImage();
    const size_t read = std::fread(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    // A truncated image is never programmed.
    if (read != bytes.size()) {
        LogMessage("Unable to read Firmware into Memory!\n");
        platform::ShowOkBox("Unable to read Firmware into Memory!", kFirmwareCaption, platform::BoxIcon::Warning, true);
        return false;
    }
    loaded = std::move(image);
    return true;
}

bool LoadFirmwareResource(std::string_view name, std::span<const uint8_t>& bytes) {
    bytes = {};
    const resources::RawResource* resource = resources::FindRawResource(name);
    if (resource == nullptr) {
        ShowWarning("Cannot Find Resource", std::string(name));
        return false;
    }
    bytes = resource->bytes;
    return true;
}

std::unique_ptr<ExpandedFirmwareFile> ExpandFirmwareResource(std::span<const uint8_t> bytes, std::string_view name,
                                                             std::string_view tempParent) {
    std::string compressedName(name);
    if (!compressedName.empty()) compressedName.back() = '_';

    int error = 0;
    std::unique_ptr<platform::TempDir> dir;
    if (IsPlainFileName(name)) {
        dir = platform::TempDir::Create("quil-update-", error, tempParent);
    } else {
        error = EINVAL;
    }
    if (!dir) {
        std::string parent(tempParent.empty() ? platform::TempParent() : std::string(tempParent));
        ExpansionFailure(Format("Unable to create compressed file '%s'!", (parent + "/" + compressedName).c_str()),
                         Format("Create File Failure! [%08lx]", static_cast<unsigned long>(error)));
        return nullptr;
    }
    // From here on every file lives in `dir`, which takes them all with it on
    // every way out but success.
    const std::string compressedPath = dir->File(compressedName);
    const std::string expandedPath = dir->File(name);
    {
        FileDescriptor file(platform::OpenFile(compressedPath, platform::FileOpen::ReplacePrivate));
        if (!file.Valid()) {
            const int code = errno;
            ExpansionFailure(Format("Unable to create compressed file '%s'!", compressedPath.c_str()),
                             Format("Create File Failure! [%08lx]", static_cast<unsigned long>(code)));
            return nullptr;
        }
        if (!platform::WriteAll(file.Get(), bytes) || !file.Close()) {
            const int code = errno;
            ExpansionFailure(Format("Unable to write compressed file '%s'!", compressedPath.c_str()),
                             Format("Write File Failure! [%08lx]", static_cast<unsigned long>(code)));
            return nullptr;
        }
    }
    {
        FileDescriptor source(platform::OpenFile(compressedPath, platform::FileOpen::ReadPrivate));
        if (!source.Valid()) {
            const int code = errno;
            ExpansionFailure(Format("Unable to open source file '%s'!", compressedPath.c_str()),
                             Format("File Open Failure! [%ld]", static_cast<long>(kExpanderBadInHandle)),
                             std::strerror(code));
            return nullptr;
        }
        FileDescriptor destination(platform::OpenFile(expandedPath, platform::FileOpen::CreatePrivate));
        if (!destination.Valid()) {
            const int code = errno;
            ExpansionFailure(Format("Unable to open destination file '%s'!", expandedPath.c_str()),
                             Format("File Open Failure! [%ld]", static_cast<long>(kExpanderBadOutHandle)),
                             std::strerror(code));
            return nullptr;
        }
        szdd::FdSource in(source.Get());
        szdd::BufferedFdSink out(destination.Get());
        szdd::ExpandResult result = szdd::ExpandOrCopy(in, out);
        if (result.status == szdd::Status::Ok && (!out.Finish() || !destination.Close())) {
            result.status = szdd::Status::WriteFailed;
        }
        if (result.status != szdd::Status::Ok) {
            ExpansionFailure(Format("Unable to expand file '%s'!", compressedPath.c_str()),
                             Format("File Copy Failure! [%ld]", ExpanderErrorFor(result.status)),
                             szdd::StatusText(result.status));
            return nullptr;
        }
    }
    platform::RemoveFile(compressedPath);
    return std::make_unique<ExpandedFirmwareFile>(std::move(dir), expandedPath);
}
