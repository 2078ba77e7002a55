// The checksums an Outlook PST or OST file carries: the header's, and along both B-trees (of
// nodes and of blocks) the trailer of every page and of every block the block tree lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace quarlin::recovery {

// Why the file at the start of `file` (which holds it whole) fails one of its checksums;
// nothing when all match. Pages are visited once at most, each level below the last, and the
// bytes checked are bounded by a few times the file's length however the trees are made:
// past that bound the rest is left unchecked.
std::optional<std::string> pstChecksumMismatch(std::span<const std::byte> file, bool unicode);

// The same for a file of `fileLength` bytes read piece by piece: `read` gives `length` bytes
// from `at`, fewer when the file has no more, valid until its next call, and may throw. The
// blocks are read in the order they lie in the file, after the pages that list them.
using PSTBytes = std::function<std::span<const std::byte>(std::uint64_t at, std::size_t length)>;
std::optional<std::string> pstChecksumMismatch(std::uint64_t fileLength, const PSTBytes& read, bool unicode);

// The bytes the header's checksums cover, and whether they match (false when `file` holds
// fewer bytes).
inline constexpr std::size_t kPSTHeaderBytes = 528;
bool pstHeaderIntact(std::span<const std::byte> file, bool unicode);

}  // namespace quarlin::recovery
