// The mountinfo parser on any text: every entry it gives has its type and source, and no field
// is longer than the line it came from.
#include <cstdlib>
#include <string_view>

#include "platform/diskarb/MountTable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : quarlin::platform::parseMountTable(text)) {
        if (entry.fileSystemType.empty() || entry.source.empty()) std::abort();
        for (const auto* field : {&entry.source, &entry.target, &entry.root, &entry.fileSystemType})
            if (field->size() > size) std::abort();
    }
    return 0;
}
