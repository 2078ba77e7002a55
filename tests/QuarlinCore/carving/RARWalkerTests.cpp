#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <limits>

#include "QuarlinCore/carving/RAR4Walker.h"
#include "QuarlinCore/framing/CRC32.h"
#include "QuarlinCore/carving/RAR5Walker.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using testsupport::Bytes;

std::vector<testsupport::CorpusEntry> rarEntries() {
    auto entries = testsupport::corpusEntries("rar4");
    const auto rar5 = testsupport::corpusEntries("rar5");
    entries.insert(entries.end(), rar5.begin(), rar5.end());
    return entries;
}

// Both walkers behind one face, so that each corpus case runs the walker of its format.
struct Walk {
    std::int64_t length;
    std::int64_t blocks;
    bool endReached;
};

std::optional<Walk> walkAs(const std::string& format, std::span<const std::byte> bytes,
                           std::int64_t at) {
    if (format == "rar5") {
        const auto w = RAR5Walker::walk(bytes, at);
        if (!w) return std::nullopt;
        return Walk{w->length, w->blocks, w->endReached};
    }
    const auto w = RAR4Walker::walk(bytes, at);
    if (!w) return std::nullopt;
    return Walk{w->length, w->blocks, w->endReached};
}

TEST(RARWalkers, MeasureEveryCorpusArchiveToItsExactLengthAlsoInsideOtherBytes) {
    const auto entries = rarEntries();
    ASSERT_GE(entries.size(), 25U);
    for (const auto& e : entries) {
        SCOPED_TRACE(e.file);
        const Bytes file = testsupport::readFile(testsupport::corpus(e.file));
        const auto walk = walkAs(e.format, file, e.at);
        ASSERT_TRUE(walk);
        EXPECT_EQ(walk->length, e.length);
        EXPECT_TRUE(walk->endReached);
        EXPECT_GE(walk->blocks, 3);
        // The other generation's walker does not take it for its own.
        EXPECT_FALSE(walkAs(e.format == "rar5" ? "rar4" : "rar5", file, e.at));

        // The same archive between unrelated bytes.
        const Bytes archive(file.begin() + e.at, file.begin() + e.at + e.length);
        const Bytes placed = testsupport::concat(
            {testsupport::randomBytes(4099, 1), archive, testsupport::randomBytes(5000, 2)});
        const auto inside = walkAs(e.format, placed, 4099);
        ASSERT_TRUE(inside);
        EXPECT_EQ(inside->length, e.length);
        EXPECT_TRUE(inside->endReached);
        EXPECT_FALSE(walkAs(e.format, placed, 4098));
    }
}

TEST(RARWalkers, ArchivesCutShortReportWhatFitsWithoutAnEnd) {
    for (const auto& e : rarEntries()) {
        SCOPED_TRACE(e.file);
        const Bytes file = testsupport::readFile(testsupport::corpus(e.file));
        const auto whole = walkAs(e.format, file, e.at);
        ASSERT_TRUE(whole);
        for (const std::int64_t keep : {e.length - 1, e.length / 2, std::int64_t{8}}) {
            SCOPED_TRACE(keep);
            const std::span<const std::byte> cut =
                std::span(file).first(static_cast<std::size_t>(e.at + keep));
            const auto walk = walkAs(e.format, cut, e.at);
            ASSERT_TRUE(walk) << "the signature is still there";
            EXPECT_FALSE(walk->endReached);
            EXPECT_LE(walk->length, keep);
            EXPECT_LT(walk->blocks, whole->blocks);
        }
    }
}

TEST(RARWalkers, HostileFilesNeverClaimAnEnd) {
    int walked = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(testsupport::corpus("rar/malformed"))) {
        SCOPED_TRACE(entry.path().filename().string());
        const Bytes file = testsupport::readFile(entry.path());
        for (const char* format : {"rar4", "rar5"}) {
            const auto walk = walkAs(format, file, 0);
            if (!walk) continue;
            ++walked;
            EXPECT_FALSE(walk->endReached);
            EXPECT_LE(walk->length, static_cast<std::int64_t>(file.size()));
        }
    }
    EXPECT_GE(walked, 20);
}

TEST(RAR5Walker, EncryptedHeadersStopTheWalkBehindTheEncryptionBlock) {
    const Bytes file =
        testsupport::readFile(testsupport::corpus("rar/malformed/rar5_encrypted_filenames.rar"));
    const auto walk = RAR5Walker::walk(file, 0);
    ASSERT_TRUE(walk);
    EXPECT_TRUE(walk->encryptedHeaders);
    EXPECT_FALSE(walk->endReached);
    EXPECT_EQ(walk->blocks, 1);
    EXPECT_LT(walk->length, static_cast<std::int64_t>(file.size()));

    const Bytes plain = testsupport::readFile(testsupport::corpus("rar/rar5_encrypted.rar"));  // data only
    EXPECT_FALSE(RAR5Walker::walk(plain, 0)->encryptedHeaders);
}

TEST(RARWalkers, AHeaderThatFailsItsChecksumEndsTheWalkBeforeIt) {
    Bytes rar5 = testsupport::readFile(testsupport::corpus("rar/rar5_stored.rar"));
    const auto clean = RAR5Walker::walk(rar5, 0);
    ASSERT_TRUE(clean);
    EXPECT_EQ(clean->crcMismatches, 0);
    rar5[8] ^= std::byte{0x40};  // the stored CRC of the first block after the signature
    const auto damaged = RAR5Walker::walk(rar5, 0);
    ASSERT_TRUE(damaged);
    EXPECT_EQ(damaged->crcMismatches, 1);
    EXPECT_EQ(damaged->length, 8);
    EXPECT_EQ(damaged->blocks, 0);
    EXPECT_FALSE(damaged->endReached);

    // RAR 4: the file header after the signature (7) and the main header (13).
    Bytes rar4 = testsupport::readFile(testsupport::corpus("rar/rar.rar"));
    ASSERT_TRUE(RAR4Walker::walk(rar4, 0)->endReached);
    rar4[20 + 2 + 20] ^= std::byte{0x01};  // a byte of the file header that its CRC covers
    const auto cut = RAR4Walker::walk(rar4, 0);
    EXPECT_EQ(cut->length, 20);
    EXPECT_FALSE(cut->endReached);
    // The end-of-archive header's CRC too: noise after a signature must not reach an end.
    rar4[20 + 2 + 20] ^= std::byte{0x01};
    rar4[rar4.size() - 7] ^= std::byte{0x01};
    const auto noEnd = RAR4Walker::walk(rar4, 0);
    EXPECT_EQ(noEnd->length, static_cast<std::int64_t>(rar4.size()) - 7);
    EXPECT_FALSE(noEnd->endReached);
}

TEST(RAR4Walker, AFileBlockWithoutTheAddedSizeFlagStillCarriesItsData) {
    // The walker's whole job on such an archive: step over the packed data that follows the
    // header even though flag 0x8000 is clear.
    Bytes rar4 = testsupport::readFile(testsupport::corpus("rar/rar.rar"));
    const std::int64_t file = 20;
    ASSERT_EQ(std::to_integer<int>(rar4[file + 2]), 0x74);
    rar4[file + 4] &= std::byte{0x7F};
    const std::uint16_t headerSize = std::to_integer<std::uint16_t>(rar4[file + 5]) |
                                     std::to_integer<std::uint16_t>(rar4[file + 6]) << 8;
    const auto crc = CRC32::compute(rar4, file + 2, file + headerSize);
    rar4[file] = static_cast<std::byte>(crc & 0xFF);
    rar4[file + 1] = static_cast<std::byte>((crc >> 8) & 0xFF);
    const auto walk = RAR4Walker::walk(rar4, 0);
    ASSERT_TRUE(walk);
    EXPECT_TRUE(walk->endReached);
    EXPECT_EQ(walk->length, static_cast<std::int64_t>(rar4.size()));
}

TEST(RARWalkers, SignaturesAndOffsets) {
    const Bytes rar5 = testsupport::readFile(testsupport::corpus("rar/rar5_stored.rar"));
    const Bytes rar4 = testsupport::readFile(testsupport::corpus("rar/rar.rar"));
    for (const std::int64_t at :
         {std::int64_t{-1}, std::int64_t{1}, static_cast<std::int64_t>(rar5.size()),
          std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}) {
        EXPECT_FALSE(RAR5Walker::walk(rar5, at)) << at;
        EXPECT_FALSE(RAR4Walker::walk(rar4, at)) << at;
    }
    // A signature alone is found, with nothing walked after it.
    const auto bare5 = RAR5Walker::walk(std::span(rar5).first(8), 0);
    ASSERT_TRUE(bare5);
    EXPECT_EQ(bare5->length, 8);
    EXPECT_EQ(bare5->blocks, 0);
    EXPECT_FALSE(RAR5Walker::walk(std::span(rar5).first(7), 0));
    const auto bare4 = RAR4Walker::walk(std::span(rar4).first(7), 0);
    ASSERT_TRUE(bare4);
    EXPECT_EQ(bare4->length, 7);
    EXPECT_EQ(bare4->blocks, 1);
    EXPECT_FALSE(RAR4Walker::walk({}, 0));
}

// A RAR 4 archive holding one member of 4 GiB + 16 bytes, written as a sparse file so that only
// its headers take room, and walked through a read-only mapping.
TEST(RAR4Walker, StepsOverMembersOfFourGigabytesAndMore) {
    constexpr std::uint64_t packed = (std::uint64_t{1} << 32) + 0x10;
    Bytes headers(testsupport::readFile(testsupport::corpus("rar/rar.rar")));
    headers.resize(7 + 13);  // signature and main header of a real archive
    Bytes file(40);
    file[2] = std::byte{0x74};
    file[3] = std::byte{0x00};  // flags 0x8100: added size, large member
    file[4] = std::byte{0x81};
    file[5] = std::byte{40};
    file[7] = std::byte{0x10};   // low 32 bits of the packed size
    file[32] = std::byte{0x01};  // high 32 bits
    auto seal = [](Bytes& header) {  // the header's own CRC
        const auto crc = CRC32::compute(header, 2);
        header[0] = static_cast<std::byte>(crc & 0xFF);
        header[1] = static_cast<std::byte>((crc >> 8) & 0xFF);
    };
    seal(file);
    headers.insert(headers.end(), file.begin(), file.end());
    Bytes end{std::byte{0}, std::byte{0}, std::byte{0x7B}, std::byte{0}, std::byte{0x40}, std::byte{7}, std::byte{0}};
    seal(end);
    const std::uint64_t total = headers.size() + packed + end.size();

    testsupport::ScratchDir dir;
    const auto path = (dir / "large.rar").string();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    auto write = [&](const Bytes& b, std::uint64_t at) {
        ASSERT_EQ(pwrite(fd, b.data(), b.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(b.size()));
    };
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(total)), 0);
    write(headers, 0);
    write(end, headers.size() + packed);
    void* map = mmap(nullptr, total, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    const std::span<const std::byte> bytes(static_cast<const std::byte*>(map), total);

    const auto walk = RAR4Walker::walk(bytes, 0);
    ASSERT_TRUE(walk);
    EXPECT_EQ(walk->length, static_cast<std::int64_t>(total));
    EXPECT_EQ(walk->blocks, 4);
    EXPECT_TRUE(walk->endReached);

    // Without the large-member flag the high half is not part of the size.
    file[4] = std::byte{0x80};
    seal(file);
    write(file, 20);
    const auto small = RAR4Walker::walk(bytes, 0);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->length, 20 + 40 + 0x10);
    EXPECT_FALSE(small->endReached);
    munmap(map, total);
    ::close(fd);
}

}  // namespace
}  // namespace quarlin
