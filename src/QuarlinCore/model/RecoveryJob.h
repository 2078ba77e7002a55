// An order to copy a selection of file records from a source device to a directory on a
// destination device. Identified by its id; it has no equality, hashing or JSON form.
#pragma once

#include <string>
#include <vector>

#include "QuarlinCore/io/DeviceIdentity.h"
#include "QuarlinCore/io/JSONSupport.h"
#include "QuarlinCore/io/UUID.h"
#include "QuarlinCore/model/FileRecord.h"

namespace quarlin {

struct RecoveryJob {
    UUID id;
    DeviceIdentity source;
    DeviceIdentity destination;
    std::string destinationPath;
    std::vector<FileRecord> selectedFiles;  // in the order given
    Timestamp createdAt;
};

}  // namespace quarlin
