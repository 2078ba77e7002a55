#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "QuarlinCore/carving/DeflateWalker.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using testsupport::Bytes;

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
