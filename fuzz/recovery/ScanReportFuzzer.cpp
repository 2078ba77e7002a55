// Scan reports are read back from a folder anyone may have edited: any text either parses
// into a report that writes back to the same report, or is refused with a message.
#include <cstdint>
#include <string_view>

#include "QuarlinCore/recovery/ScanReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quarlin::recovery;
    const auto report = parseReport(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!report) {
        if (report.error().empty()) __builtin_trap();
        return 0;
    }
    const auto again = parseReport(reportJSON(*report));
    if (!again || again->files != report->files || again->stoppedAt != report->stoppedAt ||
        again->unreadable != report->unreadable)
        __builtin_trap();
    return 0;
}
