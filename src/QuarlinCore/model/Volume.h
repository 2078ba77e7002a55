// A volume (partition or file system) found on a device. A plain value without a JSON form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "QuarlinCore/io/DeviceIdentity.h"
#include "QuarlinCore/io/UUID.h"
#include "QuarlinCore/model/FilesystemType.h"

namespace quarlin {

struct Volume {
    UUID id;
    DeviceIdentity identity;
    FilesystemType filesystemType;
    std::optional<std::string> label;
    std::uint64_t totalBytes;
    std::optional<std::uint64_t> usedBytes;
    bool isInternal;

    friend bool operator==(const Volume&, const Volume&) = default;
};

}  // namespace quarlin

template <>
struct std::hash<quarlin::Volume> {
    std::size_t operator()(const quarlin::Volume& volume) const noexcept;
};
