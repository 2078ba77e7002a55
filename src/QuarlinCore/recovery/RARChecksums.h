// The data checksums of a RAR archive that hold without unpacking anything: the CRC-32 of each
// file (or service data) stored as it is, unencrypted and whole in this volume. A compressed
// file's CRC-32 is of its unpacked bytes and is not checked here.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace quarlin::recovery {

// Why the RAR 4 or 5 archive at the start of `archive`, which holds it whole, has stored data
// that fails its CRC-32; nothing when all of it matches.
std::optional<std::string> rarStoredDataMismatch(std::span<const std::byte> archive);

}  // namespace quarlin::recovery
