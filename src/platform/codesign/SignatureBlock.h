// The signature block appended to a signed executable (loaders ignore trailing bytes):
//   code directory | detached CMS SignedData over the code directory | trailer
// The code directory names the signing identifier and carries the SHA-256 of every byte
// before the block; the trailer gives both lengths and ends in a fixed magic marker.
// All integers are little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "QuarlinCore/io/Data.h"

namespace quarlin::platform {

using SHA256Digest = std::array<std::byte, 32>;

struct CodeDirectory {
    std::string identifier;
    std::uint64_t codeLength = 0;  // bytes covered by the hash: everything before the block
    SHA256Digest codeHash{};

    Data encode() const;
    static std::optional<CodeDirectory> decode(std::span<const std::byte> bytes);
};

// A signed file split into its parts; the spans point into the bytes that were parsed.
struct SignedFileParts {
    std::span<const std::byte> code;           // the bytes the code directory covers
    std::span<const std::byte> codeDirectory;  // encoded, as signed
    std::span<const std::byte> cms;            // DER SignedData, detached
    CodeDirectory directory;
};

inline constexpr std::size_t kSignatureTrailerSize = 24;
inline constexpr std::size_t kMaxIdentifierLength = 1024;
// A signature block (code directory, CMS with its certificates, trailer) is a few kilobytes;
// one longer than this is not read.
inline constexpr std::size_t kMaxSignatureBlockSize = 1u << 20;

// The signature block alone, found from the last bytes of a file.
struct SignatureBlockParts {
    std::uint64_t codeLength = 0;              // the file's bytes before the block
    std::span<const std::byte> codeDirectory;  // encoded, as signed
    std::span<const std::byte> cms;            // DER SignedData, detached
    CodeDirectory directory;
};

// `tail` is the end of a file of `fileSize` bytes; none when the file carries no well-formed
// block or when `tail` does not hold all of it.
std::optional<SignatureBlockParts> splitSignatureBlock(std::span<const std::byte> tail, std::uint64_t fileSize);

// Splits a file into code and signature block; none when the file carries no well-formed
// block (unsigned, truncated, or lengths that disagree with each other).
std::optional<SignedFileParts> splitSignedFile(std::span<const std::byte> file);

// The bytes of the file without its signature block (the file itself if it has none).
std::span<const std::byte> unsignedPart(std::span<const std::byte> file);

// Appends a block made of an encoded code directory and its CMS signature.
Data appendSignatureBlock(std::span<const std::byte> code, std::span<const std::byte> codeDirectory,
                          std::span<const std::byte> cms);

SHA256Digest sha256(std::span<const std::byte> bytes);

// The SHA-256 of the first `length` bytes of the open file `fd`, read a piece at a time.
std::expected<SHA256Digest, std::string> sha256OfFile(int fd, std::uint64_t length, const std::string& name);

}  // namespace quarlin::platform
