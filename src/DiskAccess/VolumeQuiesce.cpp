#include "DiskAccess/VolumeQuiesce.h"

#include <cstdio>
#include <functional>

#include "DiskAccess/DiskArbitrationService.h"

namespace quarlin {

namespace volumequiesce {

std::string statusReason(std::uint32_t status) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(status));
    return std::string("DA error 0x") + hex;
}

MountPathTaken answerForUnmount(const std::optional<std::string>& diskBSDName,
                                const std::optional<platform::Dissenter>& dissenter) {
    std::string name = diskBSDName.value_or("unknown");
    if (!dissenter) return MountPathTaken::unmounted(std::move(name));
    std::string reason = dissenter->statusString ? *dissenter->statusString : statusReason(dissenter->status);
    return MountPathTaken::readOnlyRemount(std::move(name), std::move(reason));
}

void unmountDidFinish(const std::optional<std::string>& diskBSDName,
                      const std::optional<platform::Dissenter>& dissenter, UnmountContinuationBox* box) {
    if (!box) return;
    MountPathTaken answer = answerForUnmount(diskBSDName, dissenter);
    if (box->continuation) box->continuation->resume(std::move(answer));
    box->continuation.reset();
}

}  // namespace volumequiesce

runtime::Task<MountPathTaken> DiskArbitrationService::quiesce(std::string bsdName) {
    return isolated([platform = platform_, bsdName = std::move(bsdName)]() -> runtime::Task<MountPathTaken> {
        if (!platform->session_)
            co_return MountPathTaken::readOnlyRemount(bsdName, "DiskArbitration session unavailable.");
        auto disk = platform->session_->createDisk(bsdName);
        if (!disk)
            co_return MountPathTaken::readOnlyRemount(bsdName, "Could not create DADisk for '" + bsdName + "'.");
        auto description = disk->copyDescription();
        if (description && !description->volumePath) co_return MountPathTaken::alreadyUnmounted(bsdName);

        // The session stays referenced by the disk until the answer is in; the actor is
        // free for other calls while this one waits. The body is named before the await
        // (g++ 12 mishandles owning temporaries inside a co_await expression).
        std::function<void(runtime::CheckedContinuation<MountPathTaken>)> request =
            [&disk](runtime::CheckedContinuation<MountPathTaken> continuation) {
                auto box = std::make_shared<volumequiesce::UnmountContinuationBox>();
                box->continuation = std::move(continuation);
                disk->unmount(0, [box](const platform::DADisk& finished,
                                       const std::optional<platform::Dissenter>& dissenter) {
                    volumequiesce::unmountDidFinish(finished.bsdName(), dissenter, box.get());
                });
            };
        std::string label = "quiesce(bsdName:)";
        MountPathTaken answer = co_await runtime::withCheckedContinuation<MountPathTaken>(std::move(label), std::move(request));
        co_return answer;
    });
}

}  // namespace quarlin
