#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <sstream>

#include "QuarlinCore/carving/RAR4Walker.h"
#include "QuarlinCore/carving/RAR5Walker.h"
#include "TestFiles.h"

namespace quarlin {
namespace {

using testing::Bytes;

struct CorpusEntry {
    std::string file;
    std::string format;
    std::int64_t at;
    std::int64_t length;
};

std::vector<CorpusEntry> rarEntries() {
    std::ifstream in(testing::corpus("lengths.tsv"));
    std::vector<CorpusEntry> out;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        CorpusEntry e;
        std::string at, length;
        std::getline(fields, e.file, '\t');
        std::getline(fields, e.format, '\t');
        std::getline(fields, at, '\t');
        std::getline(fields, length, '\t');
        if (e.format != "rar4" && e.format != "rar5") continue;
        e.at = std::stoll(at);
        e.length = std::stoll(length);
        out.push_back(e);
    }
    return out;
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
        const Bytes file = testing::readFile(testing::corpus(e.file));
        const auto walk = walkAs(e.format, file, e.at);
        ASSERT_TRUE(walk);
        EXPECT_EQ(walk->length, e.length);
        EXPECT_TRUE(walk->endReached);
        EXPECT_GE(walk->blocks, 3);
        // The other generation's walker does not take it for its own.
        EXPECT_FALSE(walkAs(e.format == "rar5" ? "rar4" : "rar5", file, e.at));

        // The same archive between unrelated bytes.
        const Bytes archive(file.begin() + e.at, file.begin() + e.at + e.length);
        const Bytes placed = testing::concat(
            {testing::randomBytes(4099, 1), archive, testing::randomBytes(5000, 2)});
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
        const Bytes file = testing::readFile(testing::corpus(e.file));
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
         std::filesystem::directory_iterator(testing::corpus("rar/malformed"))) {
        SCOPED_TRACE(entry.path().filename().string());
        const Bytes file = testing::readFile(entry.path());
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
        testing::readFile(testing::corpus("rar/malformed/rar5_encrypted_filenames.rar"));
    const auto walk = RAR5Walker::walk(file, 0);
    ASSERT_TRUE(walk);
    EXPECT_TRUE(walk->encryptedHeaders);
    EXPECT_FALSE(walk->endReached);
    EXPECT_EQ(walk->blocks, 1);
    EXPECT_LT(walk->length, static_cast<std::int64_t>(file.size()));

    const Bytes plain = testing::readFile(testing::corpus("rar/rar5_encrypted.rar"));  // data only
    EXPECT_FALSE(RAR5Walker::walk(plain, 0)->encryptedHeaders);
}

TEST(RAR5Walker, DamagedHeaderChecksumsAreCountedAndWalkedThrough) {
    Bytes file = testing::readFile(testing::corpus("rar/rar5_stored.rar"));
    const auto clean = RAR5Walker::walk(file, 0);
    ASSERT_TRUE(clean);
    EXPECT_EQ(clean->crcMismatches, 0);
    file[8] ^= std::byte{0x40};  // the stored CRC of the first block after the signature
    const auto damaged = RAR5Walker::walk(file, 0);
    ASSERT_TRUE(damaged);
    EXPECT_EQ(damaged->crcMismatches, 1);
    EXPECT_EQ(damaged->length, clean->length);
    EXPECT_EQ(damaged->blocks, clean->blocks);
    EXPECT_TRUE(damaged->endReached);
}

TEST(RARWalkers, SignaturesAndOffsets) {
    const Bytes rar5 = testing::readFile(testing::corpus("rar/rar5_stored.rar"));
    const Bytes rar4 = testing::readFile(testing::corpus("rar/rar.rar"));
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
    Bytes headers(testing::readFile(testing::corpus("rar/rar.rar")));
    headers.resize(7 + 13);  // signature and main header of a real archive
    Bytes file(40);
    file[2] = std::byte{0x74};
    file[3] = std::byte{0x00};  // flags 0x8100: added size, large member
    file[4] = std::byte{0x81};
    file[5] = std::byte{40};
    file[7] = std::byte{0x10};   // low 32 bits of the packed size
    file[32] = std::byte{0x01};  // high 32 bits
    headers.insert(headers.end(), file.begin(), file.end());
    const Bytes end{std::byte{0},    std::byte{0}, std::byte{0x7B}, std::byte{0},
                    std::byte{0x40}, std::byte{7}, std::byte{0}};
    const std::uint64_t total = headers.size() + packed + end.size();

    testing::TempDir dir;
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
    write(Bytes(file.begin() + 3, file.begin() + 5), 20 + 3);
    const auto small = RAR4Walker::walk(bytes, 0);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->length, 20 + 40 + 0x10);
    EXPECT_FALSE(small->endReached);
    munmap(map, total);
    ::close(fd);
}

}  // namespace
}  // namespace quarlin
