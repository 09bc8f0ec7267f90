// The kernel driver on Linux: the device object "\\.\R9MixerN" is the node
// /dev/r9mixerN, and each request is one ioctl with the request code and a
// buffer that carries the input record in and the output record back. No
// such driver is known on Linux yet, so in practice no device opens and the
// driver link finds nothing.
#pragma once

#include <memory>
#include <string>

#include "platform/driver.h"

namespace platform {

class LinuxDriverSystem final : public DriverSystem {
public:
    // Device nodes are looked for in `deviceDir`.
    explicit LinuxDriverSystem(std::string deviceDir = "/dev");
    std::unique_ptr<DriverDevice> Open(const std::string& name) override;

    // The node a device name stands for: "\\.\R9Mixer3" gives "r9mixer3"
    // (the prefix dropped, lower case); empty for a name of another form.
    static std::string NodeName(const std::string& name);

private:
    std::string m_deviceDir;
};

}  // namespace platform
