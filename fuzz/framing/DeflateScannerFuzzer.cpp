// The one-shot scan and a scanner fed in pieces of fuzzer-chosen sizes must agree.
#include "FuzzInput.h"
#include "QuarlinCore/framing/DeflateFraming.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quarlin;
    fuzz::FuzzInput input(data, size);
    const std::size_t piece = 1 + input.take(1) % 64;
    const auto bytes = input.rest();
    const auto scan = DeflateFraming::scanRawStream(bytes, 0);

    const auto scanner =
        DeflateFraming::RawInflateScanner::make(static_cast<std::int64_t>(piece) * 16);
    fuzz::require(scanner != nullptr);
    auto state = DeflateFraming::ScanState::needsMoreInput;
    for (std::size_t fed = 0;
         fed < bytes.size() && state == DeflateFraming::ScanState::needsMoreInput;) {
        const std::size_t take = std::min(piece, bytes.size() - fed);
        state = scanner->consume(bytes.subspan(fed, take));
        fed += take;
    }
    fuzz::require(scanner->totalIn() <= bytes.size());
    fuzz::require(scan.has_value() == (state == DeflateFraming::ScanState::finished));
    if (scan) {
        fuzz::require(scan->compressedLength == static_cast<std::int64_t>(scanner->totalIn()));
        fuzz::require(scan->outputLength == scanner->totalOut());
        fuzz::require(scan->crc32 == scanner->outputCRC32());
    }
    return 0;
}
