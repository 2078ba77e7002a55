// The parts of DiskArbitrationService::quiesce that meet the platform callback: the box
// that carries the waiting task's continuation, and what the callback does with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "DiskAccess/MountPathTaken.h"
#include "platform/diskarb/DiskArbitration.h"
#include "runtime/Runtime.h"

namespace quarlin::volumequiesce {

// One per unmount attempt. The continuation is set on the actor before the unmount is
// requested and afterwards touched only by the callback, which takes it and clears it.
class UnmountContinuationBox {
public:
    std::optional<runtime::CheckedContinuation<MountPathTaken>> continuation;
};

// "DA error 0x" and the status in lower-case hexadecimal, no leading zeros.
std::string statusReason(std::uint32_t status);

// The answer for a finished unmount: unmounted without a dissenter, readOnlyRemount with
// the dissenter's text (or its status) otherwise; "unknown" when the disk has no name.
MountPathTaken answerForUnmount(const std::optional<std::string>& diskBSDName,
                                const std::optional<platform::Dissenter>& dissenter);

// The unmount callback: resumes the box's continuation with the answer, once; later calls
// for the same box do nothing.
void unmountDidFinish(const std::optional<std::string>& diskBSDName,
                      const std::optional<platform::Dissenter>& dissenter, UnmountContinuationBox* box);

}  // namespace quarlin::volumequiesce
