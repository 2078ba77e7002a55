#include <gtest/gtest.h>
#include <zlib.h>

#include <regex>

#include "QuarlinCore/framing/XARFraming.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;
using Header = XARFraming::Header;

std::string textOf(std::span<const std::byte> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The TOC inflated by zlib's one-shot uncompress, as a reference.
std::string referenceTOC(std::span<const std::byte> compressed, std::size_t size) {
    std::string out(size, '\0');
    uLongf produced = size;
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &produced,
                         reinterpret_cast<const Bytef*>(compressed.data()), compressed.size()),
              Z_OK);
    out.resize(produced);
    return out;
}

struct Archive {
    std::vector<std::byte> bytes;
    Header header;
    std::string toc;
};

Archive makeArchive(const ScratchDir& dir, const std::string& populate) {
    EXPECT_TRUE(
        dir.run("mkdir -p in && cd in && " + populate + " && bsdtar --format xar -cf ../out.xar *"))
        << dir.lastLog();
    Archive archive;
    archive.bytes = readFile(dir / "out.xar");
    const auto header = XARFraming::parseHeader(archive.bytes, 0);
    EXPECT_TRUE(header);
    if (!header) return archive;
    archive.header = *header;
    archive.toc = referenceTOC(std::span(archive.bytes).subspan(std::size_t(header->headerSize)),
                               std::size_t(header->tocUncompressedLength));
    return archive;
}

// Archives from this writer put <length> and <size> before <offset> in every <data>, so the
// plain heapEnd pairs an offset with the next entry's length and misjudges the end. Rewritten
// with the offset first, the same TOC gives the same end under both scans.
TEST(XARFraming, HeapEndDependsOnElementOrderWhileTheElementPairingDoesNot) {
    ScratchDir dir;
    const auto archive =
        makeArchive(dir, "echo hello > a.txt && echo 'a longer second file' > b.txt");
    const auto toc = bytesOf(archive.toc);
    const auto end = xmlHeapDataEnd(archive.toc);
    ASSERT_TRUE(XARFraming::heapEnd(toc));
    EXPECT_LT(*XARFraming::heapEnd(toc), end);
    EXPECT_EQ(XARFraming::heapEndOfElements(toc), end);

    static const std::regex lengthThenOffset(
        R"((<length>\d+</length>)(\s*)(<offset>\d+</offset>))");
    const auto reordered = bytesOf(std::regex_replace(archive.toc, lengthThenOffset, "$3$2$1"));
    EXPECT_EQ(XARFraming::heapEnd(reordered), end);
    EXPECT_EQ(XARFraming::heapEndOfElements(reordered), end);
}

std::vector<std::byte> header(unsigned size, unsigned version, std::uint64_t compressed,
                              std::uint64_t uncompressed) {
    auto bytes = bytesOf("xar!");
    bytes.resize(28);
    putBE(bytes, 4, size, 2);
    putBE(bytes, 6, version, 2);
    putBE(bytes, 8, compressed, 8);
    putBE(bytes, 16, uncompressed, 8);
    putBE(bytes, 24, 1, 4);
    return bytes;
}

TEST(XARFraming, HeaderRules) {
    constexpr auto maxC = XARFraming::maxCompressedTOCBytes;
    constexpr auto maxU = XARFraming::maxUncompressedTOCBytes;
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        std::optional<Header> expected;
    } cases[] = {
        {"smallest", header(28, 1, 1, 1), Header{28, 1, 1}},
        {"largest", header(512, 1, maxC, maxU), Header{512, maxC, maxU}},
        {"header size 27", header(27, 1, 1, 1), std::nullopt},
        {"header size 513", header(513, 1, 1, 1), std::nullopt},
        {"version 0", header(28, 0, 1, 1), std::nullopt},
        {"version 2", header(28, 2, 1, 1), std::nullopt},
        {"compressed 0", header(28, 1, 0, 1), std::nullopt},
        {"compressed over the limit", header(28, 1, maxC + 1, 1), std::nullopt},
        {"uncompressed 0", header(28, 1, 1, 0), std::nullopt},
        {"uncompressed over the limit", header(28, 1, 1, maxU + 1), std::nullopt},
        {"27 bytes",
         [] {
             auto b = header(28, 1, 1, 1);
             b.pop_back();
             return b;
         }(),
         std::nullopt},
        {"magic",
         [] {
             auto b = header(28, 1, 1, 1);
             b[3] = std::byte{'?'};
             return b;
         }(),
         std::nullopt},
        {"stored size beyond the bytes", header(64, 1, 5, 9), Header{64, 5, 9}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(XARFraming::parseHeader(c.bytes, 0), c.expected) << c.name;
    const auto inside = embed(header(28, 1, 3, 4), 10, 10);
    EXPECT_EQ(XARFraming::parseHeader(inside, 10), (Header{28, 3, 4}));
    EXPECT_FALSE(XARFraming::parseHeader(inside, -1));
    EXPECT_FALSE(XARFraming::parseHeader(inside, 30));
}

std::vector<std::byte> zlibStream(std::span<const std::byte> bytes, int level = 6) {
    uLongf size = compressBound(bytes.size());
    std::vector<std::byte> out(size);
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                        reinterpret_cast<const Bytef*>(bytes.data()), bytes.size(), level),
              Z_OK);
    out.resize(size);
    return out;
}

TEST(XARFraming, InflateAcceptsOnlyAStreamOfExactlyTheExpectedSize) {
    std::vector<std::byte> payload(100);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::byte>(i * 31);
    const auto stream = zlibStream(payload);
    EXPECT_EQ(XARFraming::inflateTOC(stream, 100), payload);
    EXPECT_FALSE(XARFraming::inflateTOC(stream, 99));   // inflates to more than declared
    EXPECT_FALSE(XARFraming::inflateTOC(stream, 101));  // to fewer
    EXPECT_FALSE(XARFraming::inflateTOC(stream, 0));
    EXPECT_FALSE(XARFraming::inflateTOC(stream, 0x10000001));
    EXPECT_FALSE(XARFraming::inflateTOC({}, 100));
    EXPECT_FALSE(
        XARFraming::inflateTOC(std::span(stream).first(stream.size() - 1), 100));  // Adler-32 cut
    auto trailed = stream;
    trailed.insert(trailed.end(), 50, std::byte{0xEE});
    EXPECT_EQ(XARFraming::inflateTOC(trailed, 100), payload);
    auto corrupt = stream;
    corrupt[corrupt.size() - 1] ^= std::byte{1};
    EXPECT_FALSE(XARFraming::inflateTOC(corrupt, 100));
    auto raw = stream;  // a raw deflate stream without the zlib wrapper
    raw.erase(raw.begin(), raw.begin() + 2);
    EXPECT_FALSE(XARFraming::inflateTOC(raw, 100));

    for (const std::size_t size : {0, 1, 1000, 300000}) {
        std::vector<std::byte> input(size);
        for (std::size_t i = 0; i < size; ++i) input[i] = static_cast<std::byte>((i * i) >> 3);
        const auto compressed = XARFraming::deflate(input);
        ASSERT_TRUE(compressed) << size;
        EXPECT_EQ(referenceTOC(*compressed, size), textOf(input)) << size;
        if (size > 0) {
            EXPECT_EQ(XARFraming::inflateTOC(*compressed, std::int64_t(size)), input) << size;
        }
    }
}

TEST(XARFraming, HeapEndScanRules) {
    struct Case {
        const char* name;
        std::string toc;
        std::optional<std::uint64_t> heapEnd;
        std::optional<std::uint64_t> elements;
    } cases[] = {
        {"length wins over size",
         "<data><offset>100</offset><length>50</length><size>900</size></data>", 150, 150},
        {"size without length", "<data><offset>100</offset><size>900</size></data>", 1000, 1000},
        {"offset alone", "<data><offset>100</offset></data>", 100, 100},
        {"length belongs to the later offset",
         "<a><offset>10</offset></a><b><offset>20</offset><length>5</length></b>", 25, 25},
        {"length before offset",
         "<data><length>7</length><offset>30</offset></data><data><offset>0</offset></data>", 30,
         37},
        {"blank before the digits", "<data><offset> 500</offset><length>5</length></data>", 0, 0},
        {"no offset", "<toc><name>x</name></toc>", 0, 0},
        {"empty", "", std::nullopt, std::nullopt},
        {"19 digits at most", "<data><offset>12345678901234567890</offset></data>",
         1234567890123456789ULL, 1234567890123456789ULL},
        {"sums wrap in the plain scan",
         "<data><offset>18446744073709551615</offset><length>2</length></data>",
         1844674407370955161ULL + 2, 1844674407370955161ULL + 2},
        {"extended attribute",
         "<file><ea><length>8</length><offset>60</offset><size>4</size></ea></file>", 64, 68},
        {"tags in comments are ignored",
         "<data><!-- <offset>900</offset> --><offset>1</offset></data>", 900, 1},
        {"CDATA and a declaration",
         "<!DOCTYPE x><data><![CDATA[<offset>7]]><length>2</length><offset>3</offset></data>", 9,
         5},
        {"attributes with '>'", "<data x=\"a>b\"><length>2</length><offset>3</offset></data>", 3,
         5},
        {"truncated TOC", "<data><length>9</length><offset>4</offset>", 4, 13},
        {"case matters", "<data><Offset>9</Offset></data>", 0, 0},
    };
    for (const auto& c : cases) {
        const auto toc = bytesOf(c.toc);
        EXPECT_EQ(XARFraming::heapEnd(toc), c.heapEnd) << c.name;
        EXPECT_EQ(XARFraming::heapEndOfElements(toc), c.elements) << c.name;
    }
    // A sum beyond 64 bits cannot be a real archive, and no real TOC nests a thousand deep.
    const auto huge = bytesOf(
        "<data><offset>9000000000000000000</offset><length>9999999999999999999</length></data>");
    EXPECT_FALSE(XARFraming::heapEndOfElements(huge));
    std::string deep;
    for (int i = 0; i < 2000; ++i) deep += "<d>";
    EXPECT_FALSE(XARFraming::heapEndOfElements(bytesOf(deep)));
}

TEST(XARFraming, InstallerPackageMarkers) {
    struct Case {
        const char* toc;
        bool expected;
    } cases[] = {
        {"<name>Distribution</name>", true},      {"<name>PackageInfo</name>", true},
        {"<name>Foo.pkg</name>", true},           {"<name>distribution</name>", false},
        {"<name>packageinfo .PKG</name>", false}, {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(XARFraming::looksLikeInstallerPackage(bytesOf(c.toc)), c.expected) << c.toc;
}

}  // namespace
}  // namespace quarlin
