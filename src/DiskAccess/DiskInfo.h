// One disk or partition as the enumeration found it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "QuarlinCore/io/UUID.h"

namespace quarlin {

struct DiskInfo {
    UUID id;                                   // new for every record of every enumeration
    std::string bsdName;
    std::string filesystemType;                // "" when unknown
    std::optional<std::string> mountPoint;
    bool isWholeDisk = false;
    bool isInternal = false;
    bool isRemovable = false;
    std::optional<std::string> connectionType; // "USB", "SD", "Thunderbolt", "NVMe", "PCIe"
    std::optional<std::uint64_t> totalBytes;
    bool isVirtual = false;                    // a disk image

    friend bool operator==(const DiskInfo&, const DiskInfo&) = default;
};

}  // namespace quarlin
