#include "QuarlinCore/recovery/RARChecksums.h"

#include <algorithm>
#include <cstdint>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/CRC32.h"
#include "QuarlinCore/framing/RAR4Framing.h"
#include "QuarlinCore/framing/RAR5Framing.h"

namespace quarlin::recovery {
namespace {

std::string mismatchAt(std::int64_t at) {
    return "the data stored at byte " + std::to_string(at) + " fails its CRC-32";
}

bool dataMatches(std::span<const std::byte> archive, std::int64_t from, std::int64_t length, std::uint32_t crc) {
    return CRC32::compute(archive, from, from + length) == crc;
}

// RAR 4: a file header (0x74) or a newer subblock (0x7A) stores its data as it is with method
// 0x30; flags 0x01 and 0x02 mark data split across volumes, 0x04 encrypted data.
std::optional<std::string> rar4Mismatch(std::span<const std::byte> archive) {
    const auto n = static_cast<std::int64_t>(archive.size());
    const ByteReader reader(archive);
    for (std::int64_t at = static_cast<std::int64_t>(RAR4Framing::signature.size()); n - at >= 7;) {
        const std::uint8_t type = reader.peekU8(at + 2);
        const std::uint16_t flags = reader.peekU16LE(at + 3), size = reader.peekU16LE(at + 5);
        if (size < 7 || type == 0x7B) break;
        std::int64_t data = 0;
        if (flags & 0x8000U) {
            if (n - at < 11) break;
            data = reader.peekU32LE(at + 7);
        }
        const bool file = type == 0x74 || type == 0x7A;
        const bool large = file && (flags & 0x100U);
        if (file && size >= (large ? 40 : 32) && n - at >= size) {
            if (large) data += static_cast<std::int64_t>(reader.peekU32LE(at + 32)) << 32;
            const std::int64_t unpacked = reader.peekU32LE(at + 11) +
                                          (large ? static_cast<std::int64_t>(reader.peekU32LE(at + 36)) << 32 : 0);
            const bool stored = reader.peekU8(at + 25) == 0x30 && !(flags & 0x07U) && (flags & 0xE0U) != 0xE0U;
            if (stored && unpacked == data && data <= n - at - size &&
                !dataMatches(archive, at + size, data, reader.peekU32LE(at + 16)))
                return mismatchAt(at + size);
        }
        if (data > n - at - size) break;
        at += size + data;
    }
    return std::nullopt;
}

// RAR 5: a file (2) or service (3) header whose compression method is 0, with a CRC-32, no
// encryption record in its extra area, and data neither continued from nor into another volume.
std::optional<std::string> rar5Mismatch(std::span<const std::byte> archive) {
    const auto n = static_cast<std::int64_t>(archive.size());
    const auto vint = [&](std::int64_t at, std::int64_t limit) { return RAR5Framing::readVInt(archive, at, limit); };
    for (std::int64_t at = static_cast<std::int64_t>(RAR5Framing::signature.size()); at < n;) {
        const auto block = RAR5Framing::parseBlock(archive, at);
        if (!block || !block->crcMatches || block->isEndOfArchive() || block->isEncryption() ||
            block->totalLength > static_cast<std::uint64_t>(n - at))
            break;
        const std::int64_t next = at + static_cast<std::int64_t>(block->totalLength);
        const auto check = [&]() -> std::optional<std::string> {
            if (block->headerType != 2 && block->headerType != 3) return std::nullopt;
            const auto headerSize = vint(at + 4, n);
            if (!headerSize) return std::nullopt;
            const std::int64_t headerEnd = headerSize->end + static_cast<std::int64_t>(headerSize->value);
            auto field = vint(headerSize->end, headerEnd);  // the header type
            const auto flags = field ? vint(field->end, headerEnd) : std::nullopt;
            if (!flags || !(flags->value & 0x02U) || (flags->value & 0x18U)) return std::nullopt;
            std::uint64_t extraSize = 0;
            field = flags;
            if (flags->value & 0x01U) {
                field = vint(field->end, headerEnd);
                if (!field) return std::nullopt;
                extraSize = field->value;
            }
            const auto dataSize = vint(field->end, headerEnd);
            const auto fileFlags = dataSize ? vint(dataSize->end, headerEnd) : std::nullopt;
            const auto unpacked = fileFlags ? vint(fileFlags->end, headerEnd) : std::nullopt;
            const auto attributes = unpacked ? vint(unpacked->end, headerEnd) : std::nullopt;
            if (!attributes || !(fileFlags->value & 0x04U) || (fileFlags->value & 0x09U) ||
                unpacked->value != dataSize->value || extraSize > static_cast<std::uint64_t>(headerEnd - at))
                return std::nullopt;
            std::int64_t crcAt = attributes->end + ((fileFlags->value & 0x02U) ? 4 : 0);
            const auto compression = vint(crcAt + 4, headerEnd);
            if (!compression || ((compression->value >> 7) & 0x07U) != 0) return std::nullopt;
            // Extra records: size (of type and data), type; 1 is encryption.
            for (std::int64_t record = headerEnd - static_cast<std::int64_t>(extraSize); record < headerEnd;) {
                const auto recordSize = vint(record, headerEnd);
                const auto recordType = recordSize ? vint(recordSize->end, headerEnd) : std::nullopt;
                if (!recordType || recordType->value == 1) return std::nullopt;
                record = recordSize->end + static_cast<std::int64_t>(std::min<std::uint64_t>(recordSize->value, n));
            }
            const auto length = static_cast<std::int64_t>(dataSize->value);
            if (length > next - headerEnd) return std::nullopt;
            if (!dataMatches(archive, headerEnd, length, ByteReader(archive).peekU32LE(crcAt))) return mismatchAt(headerEnd);
            return std::nullopt;
        }();
        if (check) return check;
        at = next;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> rarStoredDataMismatch(std::span<const std::byte> archive) {
    const auto starts = [&](const auto& signature) {
        return archive.size() >= signature.size() && std::equal(signature.begin(), signature.end(), archive.begin());
    };
    if (starts(RAR5Framing::signature)) return rar5Mismatch(archive);
    if (starts(RAR4Framing::signature)) return rar4Mismatch(archive);
    return std::nullopt;
}

}  // namespace quarlin::recovery
