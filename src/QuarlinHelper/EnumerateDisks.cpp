// The disk list of the service: a new disk-arbitration service for every request, its
// records converted to the wire form and sent as one JSON array.
#include "QuarlinHelper/EnumerateDisks.h"

#include <exception>
#include <memory>

#include "DiskAccess/DiskArbitrationService.h"
#include "QuarlinHelper/QuarlinHelperService.h"

namespace quarlin {

HelperDiskInfo helperDiskInfo(const DiskInfo& disk) {
    return HelperDiskInfo{disk.bsdName,    disk.filesystemType, disk.mountPoint,     disk.isWholeDisk,
                          disk.isInternal, disk.isRemovable,    disk.connectionType, disk.totalBytes};
}

runtime::Task<Data> enumerateDisksAsJSON() {
    // One service per request, released when the listing is done.
    auto service = std::make_unique<DiskArbitrationService>();
    std::vector<DiskInfo> disks = co_await service->enumerateDisks();
    std::vector<HelperDiskInfo> records;
    records.reserve(disks.size());
    for (const auto& disk : disks) records.push_back(helperDiskInfo(disk));
    co_return encodeHelperDiskInfoList(records);
}

void QuarlinHelperService::enumerateDisks(Reply<std::optional<Data>, std::optional<ErrorObject>> reply) {
    runtime::detach([enumeration = diskEnumeration_, reply = std::move(reply)]() mutable -> runtime::Task<void> {
        std::optional<Data> json;
        std::string failure;
        if (!enumeration) {
            failure = "disk enumeration is not available";
        } else {
            try {
                json = co_await enumeration();
            } catch (const std::exception& e) {
                failure = e.what();
            } catch (...) {
                failure = "unknown error";
            }
        }
        if (json) {
            reply(std::move(json), std::nullopt);
        } else {
            reply(std::nullopt,
                  QuarlinHelperError::make(QuarlinHelperError::Code::general, "Enumeration failed: " + failure));
        }
    });
}

}  // namespace quarlin
