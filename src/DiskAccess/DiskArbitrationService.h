// The system's window on the disk stack: which disks and partitions exist, what the
// device registry says about one of them, and taking a mounted volume out of use.
// An actor; one disk-arbitration session per service, scheduled on its own serial queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DiskAccess/DiskInfo.h"
#include "DiskAccess/MountPathTaken.h"
#include "platform/diskarb/DiskArbitration.h"
#include "platform/registry/DeviceRegistry.h"
#include "runtime/Runtime.h"

namespace quarlin {

class DiskArbitrationService : public runtime::Actor {
public:
    static constexpr std::string_view sessionQueueLabel = "dev.vembrow.quarlin.da-session";

    // This machine's disk stack.
    DiskArbitrationService();
    // The disk stack found under `roots` (fixture trees in tests).
    explicit DiskArbitrationService(platform::DiskStackRoots roots);

    // Every media object with a BSD name, whole disks first, then by name. Never fails:
    // platform failures shorten the list.
    runtime::Task<std::vector<DiskInfo>> enumerateDisks();

    // All registry properties of the first object with that BSD name; empty when there is none.
    runtime::Task<platform::PropertyDictionary> ioKitProperties(std::string bsdName);

    // Unmounts the volume of `bsdName` and says what became of it. Never fails: problems
    // are answered as readOnlyRemount with a reason.
    runtime::Task<MountPathTaken> quiesce(std::string bsdName);

    bool hasSession() const { return platform_->session_ != nullptr; }

private:
    // The registry and the session. Tasks hold them, not the service, so a task made before
    // the service is dropped still finds them.
    struct Platform {
        explicit Platform(platform::DiskStackRoots roots);
        std::vector<DiskInfo> enumerateNow() const;
        platform::PropertyDictionary propertiesNow(const std::string& bsdName) const;

        platform::DeviceRegistry registry_;
        std::shared_ptr<platform::DASession> session_;
    };
    const std::shared_ptr<const Platform> platform_;
};

// The steps of the enumeration that decide a record's fields.
namespace diskenumeration {

// "USB", "SD", "Thunderbolt", "NVMe" or "PCIe" when the class name contains the word
// (tested in that order, case-sensitively), else none.
std::optional<std::string> connectionTypeForClassName(std::string_view className);

// The first hit among the first 8 ancestors of `media` in the IOService plane.
std::optional<std::string> connectionType(const platform::DeviceRegistry& registry,
                                          const platform::RegistryObject& media);

// USB, SD and Thunderbolt are external; NVMe and PCIe internal; unknown follows removability.
bool isInternal(const std::optional<std::string>& connectionType, bool isRemovable);

// Stable: whole disks first, then by BSD name in plain character order.
void sortForListing(std::vector<DiskInfo>& disks);

// A mount point as a file-system path: without trailing slashes, except for the root.
std::string mountPointPath(std::string path);

}  // namespace diskenumeration

}  // namespace quarlin
