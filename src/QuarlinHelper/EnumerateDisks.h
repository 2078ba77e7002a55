// The disk list of this machine as the service sends it: the helper's main hands
// `enumerateDisksAsJSON` to the service as its disk enumeration.
#pragma once

#include <vector>

#include "DiskAccess/DiskInfo.h"
#include "HelperProtocol/HelperDiskInfo.h"
#include "QuarlinCore/io/Data.h"
#include "runtime/Runtime.h"

namespace quarlin {

// Every field but the id and the virtual flag, unchanged; nothing is filtered.
HelperDiskInfo helperDiskInfo(const DiskInfo& disk);

// A new DiskArbitrationService, its enumeration converted in order and encoded as one
// compact JSON array. Throws what the enumeration or the encoding throws.
runtime::Task<Data> enumerateDisksAsJSON();

}  // namespace quarlin
