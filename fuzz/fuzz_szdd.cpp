// The SZDD expander and the image-name parser on arbitrary bytes: no crash,
// no read or write out of bounds, and an expansion that succeeds gives exactly
// the header's length.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "app/firmware_image.h"
#include "app/serial_number.h"
#include "app/szdd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);

    std::vector<uint8_t> image;
    const szdd::ExpandResult r = szdd::ExpandBuffer(input, image);
    if (r.status == szdd::Status::Ok && image.size() != r.expected) __builtin_trap();
    if (r.status != szdd::Status::Ok && !image.empty()) __builtin_trap();

    // The streaming path must agree with the memory path.
    szdd::SpanSource source(input);
    szdd::CountingSink sink;
    const szdd::ExpandResult streamed = szdd::ExpandOrCopy(source, sink);
    if (r.status == szdd::Status::NotContainer) {
        if (streamed.status != szdd::Status::Ok || !streamed.copied || sink.Count() != size) __builtin_trap();
    } else if (streamed.status != r.status) {
        __builtin_trap();
    }

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto name = DecodeFirmwareName(text);
    if (name && name->version == kVersionNone) __builtin_trap();
    (void)FirmwareNameFromPath(text);
    if (const auto serial = ParseSerialNumberText(text)) {
        if (!IsValidSerialNumber(*serial) || FormatSerialNumber(*serial).size() != 10) __builtin_trap();
    }
    return 0;
}
