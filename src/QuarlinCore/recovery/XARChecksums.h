// The checksums a XAR archive carries: the TOC checksum (a digest of the compressed TOC, kept
// in the heap where the TOC's <checksum> says) and the archived checksum of every <data> and
// <ea> element (a digest of its bytes in the heap).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "QuarlinCore/carving/XARWalker.h"

namespace quarlin::recovery {

// Why the archive that `walk` measured at the start of `archive` fails one of its checksums;
// nothing when every checksum it carries matches (an unknown digest style is passed over).
// `archive` must hold the whole archive. The bytes digested are bounded by a few times the
// archive's length, however many entries a hostile TOC lists: past that bound the remaining
// checksums are left unchecked.
// Why no checksum can be checked here (the digest library could not be loaded); nothing when
// they can.
std::optional<std::string> xarChecksumsUncheckable();

std::optional<std::string> xarChecksumMismatch(std::span<const std::byte> archive,
                                               const XARWalk& walk);

// The same for an archive of `archiveLength` bytes of which `head` holds the start (its TOC at
// least): the heap is read through `read`, which hands [at, at + length) of the archive on
// piece by piece and may throw.
using XARBytes = std::function<void(std::uint64_t at, std::uint64_t length,
                                    const std::function<void(std::span<const std::byte>)>& use)>;
std::optional<std::string> xarChecksumMismatch(std::span<const std::byte> head, std::uint64_t archiveLength,
                                               const XARBytes& read, const XARWalk& walk);

}  // namespace quarlin::recovery
