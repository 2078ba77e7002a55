// Feeds arbitrary text to the disk-list decoder. Text it accepts must encode and decode
// back to the same records; text it refuses must be refused with the JSON layer's error.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "HelperProtocol/HelperDiskInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto bytes = std::as_bytes(std::span(data, size));
    std::vector<quarlin::HelperDiskInfo> disks;
    try {
        disks = quarlin::decodeHelperDiskInfoList(bytes);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    auto encoded = quarlin::encodeHelperDiskInfoList(disks);
    if (quarlin::decodeHelperDiskInfoList(encoded) != disks) std::abort();
    return 0;
}
