#include "platform/codesign/SignatureBlock.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>
#include <string_view>

namespace quarlin::platform {
namespace {

constexpr std::string_view kDirectoryMagic = "QRLNCD01";
constexpr std::string_view kTrailerMagic = "~Quarlin signed~";
static_assert(kTrailerMagic.size() == 16);
constexpr std::uint8_t kHashTypeSHA256 = 1;

void putU32(Data& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}
void putU64(Data& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}
void putText(Data& out, std::string_view text) {
    for (char c : text) out.push_back(static_cast<std::byte>(c));
}

// A small bounds-checked cursor for the two fixed layouts of this file.
class Cursor {
public:
    explicit Cursor(std::span<const std::byte> bytes) : bytes_(bytes) {}
    bool take(std::size_t n, std::span<const std::byte>& out) {
        if (n > bytes_.size() - position_) return false;
        out = bytes_.subspan(position_, n);
        position_ += n;
        return true;
    }
    bool u32(std::uint32_t& v) {
        std::span<const std::byte> b;
        if (!take(4, b)) return false;
        v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint32_t>(b[i]);
        return true;
    }
    bool u64(std::uint64_t& v) {
        std::span<const std::byte> b;
        if (!take(8, b)) return false;
        v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint64_t>(b[i]);
        return true;
    }
    bool text(std::string_view expected) {
        std::span<const std::byte> b;
        return take(expected.size(), b) && std::memcmp(b.data(), expected.data(), b.size()) == 0;
    }
    bool atEnd() const { return position_ == bytes_.size(); }

private:
    std::span<const std::byte> bytes_;
    std::size_t position_ = 0;
};

}  // namespace

Data CodeDirectory::encode() const {
    Data out;
    putText(out, kDirectoryMagic);
    putU32(out, static_cast<std::uint32_t>(identifier.size()));
    putText(out, identifier);
    putU64(out, codeLength);
    out.push_back(static_cast<std::byte>(kHashTypeSHA256));
    out.insert(out.end(), codeHash.begin(), codeHash.end());
    return out;
}

std::optional<CodeDirectory> CodeDirectory::decode(std::span<const std::byte> bytes) {
    Cursor c(bytes);
    CodeDirectory d;
    std::uint32_t identifierLength = 0;
    std::span<const std::byte> identifier, hashType, hash;
    if (!c.text(kDirectoryMagic) || !c.u32(identifierLength) || identifierLength == 0 ||
        identifierLength > kMaxIdentifierLength || !c.take(identifierLength, identifier) ||
        !c.u64(d.codeLength) || !c.take(1, hashType) ||
        std::to_integer<std::uint8_t>(hashType[0]) != kHashTypeSHA256 ||
        !c.take(d.codeHash.size(), hash) || !c.atEnd()) {
        return std::nullopt;
    }
    d.identifier.assign(reinterpret_cast<const char*>(identifier.data()), identifier.size());
    std::copy(hash.begin(), hash.end(), d.codeHash.begin());
    return d;
}

std::optional<SignatureBlockParts> splitSignatureBlock(std::span<const std::byte> tail, std::uint64_t fileSize) {
    if (tail.size() < kSignatureTrailerSize || fileSize < tail.size()) return std::nullopt;
    Cursor trailer(tail.last(kSignatureTrailerSize));
    std::uint32_t directoryLength = 0, cmsLength = 0;
    if (!trailer.u32(directoryLength) || !trailer.u32(cmsLength) || !trailer.text(kTrailerMagic)) {
        return std::nullopt;
    }
    const std::uint64_t block = std::uint64_t{directoryLength} + cmsLength;
    if (block > tail.size() - kSignatureTrailerSize) return std::nullopt;
    const std::size_t start = tail.size() - kSignatureTrailerSize - static_cast<std::size_t>(block);
    SignatureBlockParts parts;
    parts.codeLength = fileSize - kSignatureTrailerSize - block;
    parts.codeDirectory = tail.subspan(start, directoryLength);
    parts.cms = tail.subspan(start + directoryLength, cmsLength);
    auto directory = CodeDirectory::decode(parts.codeDirectory);
    if (!directory || directory->codeLength != parts.codeLength) return std::nullopt;
    parts.directory = std::move(*directory);
    return parts;
}

std::optional<SignedFileParts> splitSignedFile(std::span<const std::byte> file) {
    auto block = splitSignatureBlock(file, file.size());
    if (!block) return std::nullopt;
    return SignedFileParts{file.first(static_cast<std::size_t>(block->codeLength)), block->codeDirectory, block->cms,
                           std::move(block->directory)};
}

std::span<const std::byte> unsignedPart(std::span<const std::byte> file) {
    auto parts = splitSignedFile(file);
    return parts ? parts->code : file;
}

Data appendSignatureBlock(std::span<const std::byte> code, std::span<const std::byte> codeDirectory,
                          std::span<const std::byte> cms) {
    Data out;
    out.reserve(code.size() + codeDirectory.size() + cms.size() + kSignatureTrailerSize);
    out.insert(out.end(), code.begin(), code.end());
    out.insert(out.end(), codeDirectory.begin(), codeDirectory.end());
    out.insert(out.end(), cms.begin(), cms.end());
    putU32(out, static_cast<std::uint32_t>(codeDirectory.size()));
    putU32(out, static_cast<std::uint32_t>(cms.size()));
    putText(out, kTrailerMagic);
    return out;
}

std::expected<SHA256Digest, std::string> sha256OfFile(int fd, std::uint64_t length, const std::string& name) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::unexpected("cannot hash " + name);
    }
    std::vector<std::byte> piece(std::min<std::uint64_t>(length, 1u << 20));
    for (std::uint64_t done = 0; done < length;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - done));
        const ssize_t n = ::pread(fd, piece.data(), want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected("cannot read " + name + ": " + std::strerror(errno));
        if (n == 0) return std::unexpected(name + " changed while it was read");
        EVP_DigestUpdate(context.get(), piece.data(), static_cast<std::size_t>(n));
        done += static_cast<std::uint64_t>(n);
    }
    SHA256Digest digest{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char*>(digest.data()), &size);
    return digest;
}

SHA256Digest sha256(std::span<const std::byte> bytes) {
    SHA256Digest digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(digest.data()), &length,
               EVP_sha256(), nullptr);
    return digest;
}

}  // namespace quarlin::platform
