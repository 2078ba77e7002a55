// The scan's measurement of a candidate, on hostile bytes behind every format's mark: it must
// stay inside the bytes it was given (or the source it was told of), and ask for more only
// within the source.
#include <vector>

#include "FuzzInput.h"
#include "QuarlinCore/recovery/CarvedFormat.h"

using namespace quarlin;
using namespace quarlin::recovery;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    static const std::string_view marks[] = {
        {"Rar!\x1a\x07\x00", 7}, {"Rar!\x1a\x07\x01\x00", 8}, "\x1f\x8b\x08", "PK\x03\x04", "ID3", "\xff\xfb",
        "fLaC", {"OggS\x00\x02", 6}, "!BDN", "koly", "\x1a\x45\xdf\xa3", "xar!"};
    const auto& mark = marks[input.take(1) % std::size(marks)];
    const auto beyond = static_cast<std::int64_t>(input.take(1)) * 4096;  // the source goes on past the bytes
    const auto rest = input.rest();
    std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(mark.data()),
                                 reinterpret_cast<const std::byte*>(mark.data()) + mark.size());
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    const auto n = static_cast<std::int64_t>(bytes.size());
    const auto format = markAt(bytes, 0, FormatSet().set());
    if (!format) return 0;
    const auto measured = measure(*format, bytes, n + beyond);
    if (!measured) return 0;
    fuzz::require(measured->length >= 0 && measured->length <= n + beyond);
    fuzz::require(measured->bytesWanted <= n + beyond);
    fuzz::require(measured->start <= 0 && (measured->start == 0 || *format == CarvedFormat::udif));
    if (!measured->declaredOnly && measured->bytesWanted == 0) fuzz::require(measured->length <= n);
    // A file measured whole from the bytes held is not measured as ending where a cut of them
    // ends (a scan's read cuts files anywhere): with a walk's first bytes or more, the
    // measurement asks for the bytes the cut took, or gives the same length its header declares.
    if (measured->bytesWanted == 0 && measured->start == 0 && measured->length > kFirstWalkBytes &&
        measured->length <= n) {
        const std::int64_t cut = kFirstWalkBytes + static_cast<std::int64_t>(data[0] | data[size - 1] << 8) %
                                                       (measured->length - kFirstWalkBytes);
        const auto again = measure(*format, std::span(bytes).first(static_cast<std::size_t>(cut)), n + beyond);
        fuzz::require(again && (again->bytesWanted > cut || (again->declaredOnly && again->length == measured->length)));
    }
    // A file longer than the bytes a walk holds is checked reading the rest as the scan does:
    // every read must stay inside the length measured (and its closing bytes inside the source).
    if (measured->checkFromSource) {
        const auto length = static_cast<std::uint64_t>(measured->length);
        std::vector<std::byte> source(bytes);
        source.resize(static_cast<std::size_t>(n + beyond), std::byte{0x5A});
        std::uint64_t limit = source.size();
        const FileBytes read = [&](std::uint64_t at, std::uint64_t size, const auto& use) {
            fuzz::require(at <= limit && size <= limit - at);
            use(std::span<const std::byte>(source).subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(size)));
        };
        limit = length + bytesPastMeasuredEnd(*format, bytes, length, source.size(), read);
        (void)checkContents(*format, bytes, limit, read);
    }
    return 0;
}
