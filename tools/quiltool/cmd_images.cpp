// Image commands: SZDD expansion and compression, image names, serial-number
// text, and the images built into the program.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "app/serial_number.h"
#include "app/szdd.h"
#include "resources/firmware_resources.h"
#include "tools/quiltool/commands.h"

namespace quiltool {

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "quiltool: %s\n", message.c_str());
    return 1;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& data, std::string& error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    data.clear();
    std::vector<uint8_t> chunk(1 << 16);
    size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) != 0) data.insert(data.end(), chunk.begin(), chunk.begin() + got);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    if (!ok) error = path + ": read error";
    return ok;
}

// Writes OUT through a side file renamed into place, so that a failure never
// leaves a partial output behind.
class OutputFile final : public szdd::Sink {
public:
    explicit OutputFile(std::string path) : m_path(std::move(path)), m_temp(m_path + ".part") {
        m_fd = ::open(m_temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0) m_error = m_temp + ": " + std::strerror(errno);
        m_buffer.reserve(kBufferSize);
    }
    ~OutputFile() override {
        if (m_fd >= 0) ::close(m_fd);
        if (!m_committed) ::unlink(m_temp.c_str());
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool Opened() const { return m_fd >= 0; }
    const std::string& Error() const { return m_error; }

    // Gathers the expander's ring-sized chunks into large writes.
    bool Write(std::span<const uint8_t> data) override {
        if (m_buffer.size() + data.size() > kBufferSize && !Drain()) return false;
        if (data.size() >= kBufferSize) return WriteOut(data);
        m_buffer.insert(m_buffer.end(), data.begin(), data.end());
        return true;
    }

    bool Commit() {
        if (!Drain()) return false;
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0 || ::rename(m_temp.c_str(), m_path.c_str()) != 0) {
            m_error = m_path + ": " + std::strerror(errno);
            return false;
        }
        m_committed = true;
        return true;
    }

private:
    static constexpr size_t kBufferSize = 1 << 20;

    bool Drain() {
        const bool ok = WriteOut(m_buffer);
        m_buffer.clear();
        return ok;
    }

    bool WriteOut(std::span<const uint8_t> data) {
        while (!data.empty()) {
            const ssize_t n = ::write(m_fd, data.data(), data.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                m_error = m_temp + ": " + std::strerror(errno);
                return false;
            }
            data = data.subspan(static_cast<size_t>(n));
        }
        return true;
    }

    std::vector<uint8_t> m_buffer;
    std::string m_path;
    std::string m_temp;
    std::string m_error;
    int m_fd = -1;
    bool m_committed = false;
};

class InputFile final : public szdd::Source {
public:
    explicit InputFile(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), m_source(m_fd) {}
    ~InputFile() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    bool Opened() const { return m_fd >= 0; }
    bool Read(std::span<uint8_t> dst, size_t& got) override { return m_source.Read(dst, got); }

private:
    int m_fd;
    szdd::FdSource m_source;
};

int WriteBytes(const std::string& path, std::span<const uint8_t> bytes) {
    OutputFile out(path);
    if (!out.Opened()) return Fail(out.Error());
    if (!out.Write(bytes) || !out.Commit()) return Fail(out.Error());
    return 0;
}

// Expands (or copies) `in`, named `inName` in messages, into the file
// `outPath`, which appears only when everything went well.
int ExpandInto(szdd::Source& in, const std::string& inName, const std::string& outPath, bool& copied) {
    OutputFile out(outPath);
    if (!out.Opened()) return Fail(out.Error());
    const szdd::ExpandResult result = szdd::ExpandOrCopy(in, out);
    if (result.status != szdd::Status::Ok) {
        if (result.status == szdd::Status::WriteFailed) return Fail(out.Error());
        return Fail(inName + ": " + szdd::StatusText(result.status));
    }
    if (!out.Commit()) return Fail(out.Error());
    copied = result.copied;
    return 0;
}

}  // namespace

int RunExpand(const Args& args) {
    if (args.size() != 2) return UsageError("usage: expand IN OUT");
    InputFile in(args[0]);
    if (!in.Opened()) return Fail(args[0] + ": " + std::strerror(errno));
    bool copied = false;
    const int code = ExpandInto(in, args[0], args[1], copied);
    if (code == 0 && copied) std::fprintf(stderr, "quiltool: %s is not an SZDD container: copied unchanged\n", args[0].c_str());
    return code;
}

int RunCompress(const Args& args) {
    szdd::CompressOptions options;
    size_t first = 0;
    if (args.size() == 4 && args[0] == "--max-match") {
        unsigned long n = 0;
        if (!ParseNumber(args[1], n) || n < szdd::kMinMatch || n > szdd::kMaxMatch) {
            return UsageError("--max-match takes 3 to 18");
        }
        options.maxMatch = n;
        first = 2;
    } else if (args.size() != 2) {
        return UsageError("usage: compress [--max-match N] IN OUT");
    }
    std::vector<uint8_t> data;
    std::string error;
    if (!ReadWholeFile(args[first], data, error)) return Fail(error);
    // The header records the last character of the expanded file's name.
    const std::string name = args[first].substr(args[first].find_last_of('/') + 1);
    options.missingChar = name.empty() ? 0 : static_cast<uint8_t>(name.back());
    std::vector<uint8_t> container;
    if (!szdd::Compress(data, container, options)) return Fail(args[first] + ": too large for an SZDD container");
    return WriteBytes(args[first + 1], container);
}

int RunName(const Args& args) {
    if (args.size() != 1) return UsageError("usage: name NAME");
    const std::optional<FirmwareName> parsed = DecodeFirmwareName(FirmwareNameFromPath(args[0]));
    if (!parsed) {
        std::printf("%s\n", kUnknownDeviceIdText);
        return 1;
    }
    std::printf("device=0x%02X version=%u\n", parsed->deviceId, parsed->version);
    return 0;
}

int RunSerial(const Args& args) {
    if (args.size() != 1) return UsageError("usage: serial TEXT");
    const std::optional<uint32_t> serial = ParseSerialNumberText(args[0]);
    if (!serial) {
        std::printf("invalid\n");
        return 1;
    }
    const SerialFields f = UnpackSerialNumber(*serial);
    std::printf("valid 0x%08" PRIX32 " model=0x%02X year=%u week=%u unit=%u\n", *serial, f.model, f.year, f.week,
                f.unit);
    return 0;
}

int RunImages(const Args& args) {
    if (!args.empty()) return UsageError("usage: images");
    int rc = 0;
    for (const resources::RawResource& image : resources::RawResources()) {
        const std::string name(image.name);
        szdd::SpanSource in(image.bytes);
        szdd::CountingSink out;
        const szdd::ExpandResult result = szdd::ExpandOrCopy(in, out);
        const std::optional<FirmwareName> parsed = DecodeFirmwareName(name);
        std::printf("%s device=0x%02X version=%u stored=%zu expanded=", name.c_str(),
                    parsed ? parsed->deviceId : kDeviceNone, parsed ? parsed->version : kVersionNone,
                    image.bytes.size());
        if (result.status == szdd::Status::Ok) {
            std::printf("%" PRIu64 "\n", out.Count());
        } else {
            std::printf("error (%s)\n", szdd::StatusText(result.status));
            rc = 1;
        }
    }
    return rc;
}

int RunExtract(const Args& args) {
    if (args.size() != 2) return UsageError("usage: extract NAME OUT");
    const resources::RawResource* image = resources::FindRawResource(args[0]);
    if (image == nullptr) return Fail("no embedded image named " + args[0]);
    szdd::SpanSource in(image->bytes);
    bool copied = false;
    return ExpandInto(in, args[0], args[1], copied);
}

}  // namespace quiltool
