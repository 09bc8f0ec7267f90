// Image commands: SZDD expansion and compression, image names, serial-number
// text, and the images built into the program.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "app/serial_number.h"
#include "app/szdd.h"
#include "platform/file_io.h"
#include "platform/files.h"
#include "resources/firmware_resources.h"
#include "tools/quiltool/commands.h"

namespace quiltool {

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "quiltool: %s\n", message.c_str());
    return 1;
}

// An output's name in messages.
std::string OutputName(const std::string& path) { return path == "-" ? "standard output" : path; }

// The most compress takes: several times a firmware image, and little
// enough that the compressor's working memory stays small.
constexpr size_t kMaxCompressInput = size_t{64} << 20;

class InputFile final : public szdd::Source {
public:
    explicit InputFile(const std::string& path)
        : m_fd(platform::OpenFile(path, platform::FileOpen::Read)), m_source(m_fd) {}
    ~InputFile() override {
        if (m_fd >= 0) platform::CloseFile(m_fd);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    bool Opened() const { return m_fd >= 0; }
    bool Read(std::span<uint8_t> dst, size_t& got) override { return m_source.Read(dst, got); }

private:
    int m_fd;
    szdd::FdSource m_source;
};

// Expands (or copies) `in`, named `inName` in messages, into `outPath`. A
// regular file appears only when everything went well.
int ExpandInto(szdd::Source& in, const std::string& inName, const std::string& outPath, bool& copied) {
    std::string error;
    const std::unique_ptr<platform::OutputFile> out = platform::OutputFile::Open(outPath, error);
    if (!out) return Fail(error);
    szdd::BufferedFdSink sink(out->Fd());
    const szdd::ExpandResult result = szdd::ExpandOrCopy(in, sink);
    if (result.status == szdd::Status::WriteFailed || (result.status == szdd::Status::Ok && !sink.Finish())) {
        return Fail(OutputName(outPath) + ": " + std::strerror(errno));
    }
    if (result.status != szdd::Status::Ok) return Fail(inName + ": " + szdd::StatusText(result.status));
    if (!out->Commit()) return Fail(out->Error());
    copied = result.copied;
    return 0;
}

// Writing a file over its own input would destroy the input before it is read.
bool RefuseSameFile(const std::string& in, const std::string& out) {
    if (!platform::SameFile(in, out)) return false;
    Fail(out + ": is the input file");
    return true;
}

}  // namespace

int RunExpand(const Args& args) {
    ParsedArgs parsed;
    if (!SplitArgs("expand", args, {}, parsed)) return 2;
    if (parsed.operands.size() != 2) return UsageError("usage: quiltool expand IN OUT");
    const std::string& inPath = parsed.operands[0];
    const std::string& outPath = parsed.operands[1];
    if (inPath.empty()) return Fail(platform::kEmptyFileName);
    InputFile in(inPath);
    if (!in.Opened()) return Fail(inPath + ": " + std::strerror(errno));
    if (RefuseSameFile(inPath, outPath)) return 1;
    bool copied = false;
    const int code = ExpandInto(in, inPath, outPath, copied);
    if (code == 0 && copied)
        std::fprintf(stderr, "quiltool: %s is not an SZDD container: copied unchanged\n", inPath.c_str());
    return code;
}

int RunCompress(const Args& args) {
    static constexpr OptionSpec kOptions[] = {{"--max-match", true}};
    ParsedArgs parsed;
    if (!SplitArgs("compress", args, kOptions, parsed)) return 2;
    if (parsed.operands.size() != 2) return UsageError("usage: quiltool compress [--max-match N] IN OUT");
    szdd::CompressOptions options;
    if (const std::string* value = parsed.Value("--max-match")) {
        unsigned long n = 0;
        if (!ParseNumber(*value, n) || n < szdd::kMinMatch || n > szdd::kMaxMatch) {
            return UsageError("compress: --max-match takes a number from " + std::to_string(szdd::kMinMatch) + " to " +
                              std::to_string(szdd::kMaxMatch));
        }
        options.maxMatch = n;
    }
    const std::string& inPath = parsed.operands[0];
    const std::string& outPath = parsed.operands[1];
    if (RefuseSameFile(inPath, outPath)) return 1;
    std::vector<uint8_t> data;
    std::string error;
    if (platform::ReadWholeFile(inPath, kMaxCompressInput, data, error) != platform::ReadStatus::Ok) {
        return Fail(error);
    }
    // The header records the last character of the expanded file's name.
    const std::string name = inPath.substr(inPath.find_last_of('/') + 1);
    options.missingChar = name.empty() ? 0 : static_cast<uint8_t>(name.back());
    // The container goes out as it is made, so that only the input is held.
    const std::unique_ptr<platform::OutputFile> out = platform::OutputFile::Open(outPath, error);
    if (!out) return Fail(error);
    szdd::BufferedFdSink sink(out->Fd());
    if (!szdd::Compress(data, sink, options) || !sink.Finish()) {
        return Fail(OutputName(outPath) + ": " + std::strerror(errno));
    }
    if (!out->Commit()) return Fail(out->Error());
    return 0;
}

int RunName(const Args& args) {
    ParsedArgs operands;
    if (!SplitArgs("name", args, {}, operands)) return 2;
    if (operands.operands.size() != 1) return UsageError("usage: quiltool name NAME");
    const std::optional<FirmwareName> parsed = DecodeFirmwareName(FirmwareNameFromPath(operands.operands[0]));
    if (!parsed) {
        std::printf("%s\n", kUnknownDeviceIdText);
        return 1;
    }
    std::printf("device=0x%02X version=%u\n", parsed->deviceId, parsed->version);
    return 0;
}

int RunSerial(const Args& args) {
    ParsedArgs parsed;
    if (!SplitArgs("serial", args, {}, parsed)) return 2;
    if (parsed.operands.size() != 1) return UsageError("usage: quiltool serial TEXT");
    const std::optional<uint32_t> serial = ParseSerialNumberText(parsed.operands[0]);
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
    ParsedArgs split;
    if (!SplitArgs("images", args, {}, split)) return 2;
    if (!split.operands.empty()) return UsageError("usage: quiltool images");
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
    ParsedArgs parsed;
    if (!SplitArgs("extract", args, {}, parsed)) return 2;
    if (parsed.operands.size() != 2) return UsageError("usage: quiltool extract NAME OUT");
    const std::string& name = parsed.operands[0];
    const resources::RawResource* image = resources::FindRawResource(name);
    if (image == nullptr) return Fail("no embedded image named " + name);
    szdd::SpanSource in(image->bytes);
    bool copied = false;
    return ExpandInto(in, name, parsed.operands[1], copied);
}

}  // namespace quiltool
