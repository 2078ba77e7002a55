// Random operations on a reader: each either succeeds inside the buffer or throws the typed
// error and leaves the cursor alone.
#include "FuzzInput.h"
#include "QuarlinCore/framing/ByteReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quarlin;
    fuzz::FuzzInput input(data, size);
    const int operations = static_cast<int>(input.take(1) % 32);
    std::uint64_t controls[32][2];
    for (auto& c : controls) c[0] = input.take(1), c[1] = input.take(2);
    const auto bytes = input.rest();
    const auto n = static_cast<std::int64_t>(bytes.size());
    ByteReader reader(bytes);
    for (int i = 0; i < operations; ++i) {
        const std::int64_t before = reader.offset();
        // Offsets around the buffer's edges, and far outside it.
        const auto raw = static_cast<std::int64_t>(controls[i][1]);
        const std::int64_t at = (controls[i][0] & 0x80)   ? raw - 0x8000
                                : (controls[i][0] & 0x40) ? INT64_MAX - raw
                                                          : raw;
        try {
            switch (controls[i][0] % 10) {
                case 0:
                    reader.seek(at);
                    break;
                case 1:
                    fuzz::require(static_cast<std::int64_t>(
                                      reader.peekBytes(at, raw % 64).size()) == raw % 64);
                    break;
                case 2:
                    reader.readBytes(at % 64);
                    break;
                case 3:
                    reader.readU8();
                    break;
                case 4:
                    reader.readU16BE();
                    break;
                case 5:
                    reader.readU32LE();
                    break;
                case 6:
                    reader.readU64BE();
                    break;
                case 7:
                    reader.peekU64LE(at);
                    break;
                case 8:
                    reader.peekU32BE(at);
                    break;
                default:
                    reader.peekU16LE(at);
                    break;
            }
            fuzz::require(reader.offset() >= 0 && reader.offset() <= n);
        } catch (const ByteReaderError& e) {
            fuzz::require(reader.offset() == before);
            fuzz::require(e.value().bufferSize == n);
        }
    }
    return 0;
}
