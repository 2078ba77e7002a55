#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "QuarlinCore/carving/DeflateWalker.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using testsupport::Bytes;

std::uint32_t le32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | std::to_integer<std::uint32_t>(b[at + i]);
    return v;
}

std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(b[at]) |
                                      std::to_integer<unsigned>(b[at + 1]) << 8);
}

// What a zip's local file header declares for one member's deflated data.
struct Member {
    std::string name;
    std::size_t dataOffset;
    std::uint32_t crc;
    std::uint32_t compressedSize;
    std::uint32_t uncompressedSize;
};

std::vector<Member> deflatedMembers(const Bytes& zip) {
    std::vector<Member> out;
    std::size_t p = 0;
    while (p + 30 <= zip.size() && le32(zip, p) == 0x04034B50U) {
        const std::uint16_t method = le16(zip, p + 8);
        const std::size_t nameLength = le16(zip, p + 26);
        const std::size_t extraLength = le16(zip, p + 28);
        Member m{std::string(reinterpret_cast<const char*>(zip.data()) + p + 30, nameLength),
                 p + 30 + nameLength + extraLength, le32(zip, p + 14), le32(zip, p + 18),
                 le32(zip, p + 22)};
        if (method == 8) out.push_back(m);
        p = m.dataOffset + m.compressedSize;
    }
    return out;
}

class DeflateWalkerWithZip : public ::testing::Test {
  protected:
    void SetUp() override {
        Bytes words;
        const std::string text = "carving measures what a container declares; ";
        for (int i = 0; i < 20000; ++i)
            words.insert(words.end(), reinterpret_cast<const std::byte*>(text.data()),
                         reinterpret_cast<const std::byte*>(text.data()) + (i % text.size()) + 1);
        testsupport::writeFile(dir / "text.txt", words);
        testsupport::writeFile(dir / "random.bin", testsupport::randomBytes(300000, 4));
        testsupport::writeFile(dir / "zeros.bin", Bytes(5 * 1024 * 1024));
        testsupport::writeFile(dir / "tiny.txt", Bytes(3, std::byte{'a'}));
    }
    testsupport::ScratchDir dir;
};

TEST_F(DeflateWalkerWithZip, MembersMatchTheSizesAndCRCTheZipDeclares) {
    for (const char* level : {"-1", "-6", "-9"}) {
        SCOPED_TRACE(level);
        const auto zipPath = dir / (std::string("a") + level + ".zip");
        testsupport::run("cd '" + dir.path().string() + "' && zip -q -X " + level + " '" +
                     zipPath.string() + "' text.txt random.bin zeros.bin tiny.txt");
        const Bytes zip = testsupport::readFile(zipPath);
        const auto members = deflatedMembers(zip);
        ASSERT_GE(members.size(), 3U);
        for (const auto& m : members) {
            SCOPED_TRACE(m.name);
            // Each member is followed by the next header or the central directory.
            const auto walk = DeflateWalker::walk(zip, static_cast<std::int64_t>(m.dataOffset));
            ASSERT_TRUE(walk);
            EXPECT_EQ(walk->length, m.compressedSize);
            EXPECT_EQ(walk->outputLength, m.uncompressedSize);
            EXPECT_EQ(walk->crc32, m.crc);

            const std::span<const std::byte> cut =
                std::span(zip).subspan(m.dataOffset, m.compressedSize - 1);
            EXPECT_FALSE(DeflateWalker::walk(cut, 0)) << "cut one byte short";
        }
    }
}

TEST(DeflateWalker, StreamsOfEveryWindowSizeLevelAndStrategyFromPython) {
    testsupport::ScratchDir dir;
    // Writes one raw stream per setting and a table of what each should measure.
    const std::string script = R"(
import os, random, sys, zlib
out = sys.argv[1]
random.seed(3)
data = b''.join(random.choice([b'alpha ', b'beta ', b'gamma ', bytes([random.randrange(256)])]) for _ in range(60000))
rows = []
for wbits in (-9, -12, -15):
    for level in (0, 1, 6, 9):
        for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FIXED):
            c = zlib.compressobj(level, zlib.DEFLATED, wbits, 8, strategy)
            stream = c.compress(data) + c.flush()
            name = 'w%d_l%d_s%d' % (-wbits, level, strategy)
            open(os.path.join(out, name), 'wb').write(stream + b'trailing bytes')
            rows.append('%s %d %d %d' % (name, len(stream), len(data), zlib.crc32(data)))
open(os.path.join(out, 'table'), 'w').write('\n'.join(rows) + '\n')
)";
    testsupport::writeFile(dir / "make.py",
                       Bytes(reinterpret_cast<const std::byte*>(script.data()),
                             reinterpret_cast<const std::byte*>(script.data()) + script.size()));
    testsupport::run("python3 '" + (dir / "make.py").string() + "' '" + dir.path().string() + "'");

    std::ifstream table(dir / "table");
    std::string name;
    std::int64_t length;
    std::uint64_t outputLength;
    std::uint32_t crc;
    int streams = 0;
    while (table >> name >> length >> outputLength >> crc) {
        SCOPED_TRACE(name);
        ++streams;
        const Bytes file = testsupport::readFile(dir / name);
        const auto walk = DeflateWalker::walk(file, 0);
        ASSERT_TRUE(walk);
        EXPECT_EQ(*walk, (DeflateWalk{length, outputLength, crc}));
    }
    EXPECT_EQ(streams, 60);
}

TEST(DeflateWalker, NothingIsFoundWhereNoStreamStarts) {
    const Bytes noise = testsupport::randomBytes(4096, 12);
    int found = 0;
    for (std::int64_t at = 0; at < 4096; at += 97)
        found += DeflateWalker::walk(noise, at).has_value();
    EXPECT_EQ(found, 0);
    EXPECT_FALSE(DeflateWalker::walk(noise, -1));
    EXPECT_FALSE(DeflateWalker::walk(noise, 4096));
}

}  // namespace
}  // namespace quarlin
