// The PST, UDIF, EBML and XAR walkers on the corpus and on files from real tools, alone,
// inside unrelated bytes and cut short; the hostile XAR files are walked without harm.
#include <gtest/gtest.h>
#include <zlib.h>

#include "QuarlinCore/carving/EBMLWalker.h"
#include "QuarlinCore/carving/PSTWalker.h"
#include "QuarlinCore/carving/UDIFWalker.h"
#include "QuarlinCore/carving/XARWalker.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;

TEST(PSTWalker, CorpusFilesMeasureExactlyAloneAndInsideOtherBytes) {
    for (const auto& entry : corpusEntries("pst")) {
        const auto file = readFile(corpus(entry.file));
        const bool unicode = entry.file.find("dist-list") != std::string::npos;
        EXPECT_EQ(PSTWalker::walk(file, entry.at), (PSTWalk{entry.length, unicode, false}))
            << entry.file;
        const auto inside = embed(file, 12345, 999);
        EXPECT_EQ(PSTWalker::walk(inside, 12345), (PSTWalk{entry.length, unicode, false}))
            << entry.file;
        EXPECT_FALSE(PSTWalker::walk(inside, 0)) << entry.file;
        // Only the header has to be held; the declared size is what the carver takes.
        EXPECT_EQ(PSTWalker::walk(std::span(file).first(192), 0),
                  (PSTWalk{entry.length, unicode, false}));
    }
    auto header = readFile(corpus("pst/dist-list.pst"));
    header.resize(192);
    putLE(header, 184, 0x8000000000000000ULL, 8);  // beyond what a length can say
    EXPECT_FALSE(PSTWalker::walk(header, 0));
}

TEST(UDIFWalker, CorpusImagesMeasureExactlyAndTellWhereTheyBegan) {
    for (const auto& entry : corpusEntries("udif")) {
        const auto file = readFile(corpus(entry.file));
        const auto walk = UDIFWalker::walk(file);
        ASSERT_TRUE(walk) << entry.file;
        EXPECT_EQ(walk->trailerOffset, entry.at);
        EXPECT_EQ(walk->length, entry.length);
        EXPECT_EQ(walk->imageOffset, 0);
        EXPECT_EQ(UDIFWalker::walk(file, entry.at), walk);

        const auto inside = embed(file, 7000, 3000);
        const auto moved = UDIFWalker::walk(inside, entry.at + 7000);
        ASSERT_TRUE(moved) << entry.file;
        EXPECT_EQ(moved->imageOffset, 7000);
        EXPECT_EQ(moved->length, entry.length);
        EXPECT_EQ(moved->trailer, walk->trailer);
        EXPECT_FALSE(UDIFWalker::walk(inside)) << "the last 512 bytes are not a trailer";
        // With the image's first byte missing, the image cannot have begun inside the bytes.
        EXPECT_FALSE(UDIFWalker::walk(std::span(file).subspan(1))) << entry.file;
        EXPECT_FALSE(UDIFWalker::walk(file, -1));
    }
}

struct EBMLFiles {
    ScratchDir dir;
    std::vector<std::byte> webm, matroska, streamed;
    EBMLFiles() {
        EXPECT_TRUE(dir.run(
            "ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=duration=3:size=96x64:rate=15 "
            "-f lavfi -i sine=duration=3 -c:v libvpx -b:v 200k -c:a libopus -shortest a.webm && "
            "mkvmerge -q -o b.mkv a.webm && "
            "ffmpeg -hide_banner -loglevel error -i a.webm -c copy -f matroska - > c.mkv"))
            << dir.lastLog();
        webm = readFile(dir / "a.webm");
        matroska = readFile(dir / "b.mkv");
        streamed = readFile(dir / "c.mkv");
    }
};

TEST(EBMLWalker, RealFilesAloneInsideOtherBytesAndConcatenated) {
    const EBMLFiles files;
    struct Case {
        const char* name;
        const std::vector<std::byte>& file;
        const char* docType;
    } cases[] = {{"webm", files.webm, "webm"}, {"mkvmerge", files.matroska, "matroska"}};
    for (const auto& c : cases) {
        const auto size = std::int64_t(c.file.size());
        EXPECT_EQ(EBMLWalker::walk(c.file, 0), (EBMLWalk{size, c.docType, 1, false})) << c.name;
        const auto inside = embed(c.file, 500, 4000);
        EXPECT_EQ(EBMLWalker::walk(inside, 500), (EBMLWalk{size, c.docType, 1, false})) << c.name;
        EXPECT_FALSE(EBMLWalker::walk(inside, 499)) << c.name;
        // A Segment cut short does not fit: only the EBML header is measured.
        const auto cut = EBMLWalker::walk(std::span(c.file).first(c.file.size() - 1), 0);
        ASSERT_TRUE(cut) << c.name;
        EXPECT_EQ(cut->segments, 0) << c.name;
        EXPECT_LT(cut->length, 64) << c.name;
    }
    // A further EBML header continues the walk into the second document.
    auto both = files.matroska;
    both.insert(both.end(), files.webm.begin(), files.webm.end());
    EXPECT_EQ(EBMLWalker::walk(both, 0),
              (EBMLWalk{std::int64_t(both.size()), "matroska", 2, false}));
}

TEST(EBMLWalker, SegmentsOfUnknownSizeEndWhereTheirChildrenEnd) {
    const EBMLFiles files;
    ScratchDir dir;
    // Written to a pipe, and written live: a Segment and Clusters of unknown size.
    ASSERT_TRUE(dir.run("ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=duration=2:size=64x48:rate=10 "
                        "-c:v libvpx -b:v 100k -live 1 -f webm - > live.webm"))
        << dir.lastLog();
    const auto live = readFile(dir / "live.webm");
    for (const auto* file : {&files.streamed, &live}) {
        const auto size = std::int64_t(file->size());
        const auto docType = file == &live ? "webm" : "matroska";
        // Followed by noise, by zeros, and by another file.
        const std::vector<std::vector<std::byte>> tails{embed({}, 0, 5000, 9), std::vector<std::byte>(5000), files.webm};
        for (const auto& tail : tails) {
            auto followed = *file;
            followed.insert(followed.end(), tail.begin(), tail.end());
            EXPECT_EQ(EBMLWalker::walk(followed, 0), (EBMLWalk{size, docType, 1, true})) << docType;
        }
    }
}

TEST(EBMLWalker, HeaderRules) {
    const auto bytes = [](std::initializer_list<unsigned> values) {
        std::vector<std::byte> out;
        for (auto v : values) out.push_back(static_cast<std::byte>(v));
        return out;
    };
    // EBML header of 7 bytes holding DocType "webm", then the given top-level bytes.
    const auto document = [&](std::initializer_list<unsigned> rest) {
        auto out = bytes({0x1A, 0x45, 0xDF, 0xA3, 0x87, 0x42, 0x82, 0x84, 'w', 'e', 'b', 'm'});
        const auto tail = bytes(rest);
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    };
    struct Case {
        const char* name;
        std::vector<std::byte> input;
        std::optional<EBMLWalk> expected;
    } cases[] = {
        {"header only", document({}), EBMLWalk{12, "webm", 0, false}},
        {"void then segment", document({0xEC, 0x81, 0x00, 0x18, 0x53, 0x80, 0x67, 0x82, 1, 2}),
         EBMLWalk{22, "webm", 1, false}},
        {"unknown element ends the walk", document({0x1F, 0x43, 0xB6, 0x75, 0x80, 0xEC, 0x80}),
         EBMLWalk{12, "webm", 0, false}},
        {"void of unknown size ends the walk", document({0xEC, 0xFF, 0, 0}),
         EBMLWalk{12, "webm", 0, false}},
        {"eight 0xFF size bytes: unknown size, and no child follows",
         document({0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 9}),
         EBMLWalk{24, "webm", 1, true}},
        {"segment larger than the bytes",
         document({0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}),
         EBMLWalk{12, "webm", 0, false}},
        {"header of unknown size", bytes({0x1A, 0x45, 0xDF, 0xA3, 0xFF, 0x42, 0x82, 0x81, 'x'}),
         std::nullopt},
        {"header larger than the bytes",
         bytes({0x1A, 0x45, 0xDF, 0xA3, 0x88, 0x42, 0x82, 0x84, 'w', 'e', 'b', 'm'}), std::nullopt},
        {"no DocType", bytes({0x1A, 0x45, 0xDF, 0xA3, 0x83, 0x42, 0x86, 0x81, 0x01}), std::nullopt},
        {"not an EBML header", bytes({0x18, 0x53, 0x80, 0x67, 0x80}), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(EBMLWalker::walk(c.input, 0), c.expected) << c.name;
}

TEST(XARWalker, BsdtarArchivesMeasureToTheEndOfTheirHeapData) {
    struct Case {
        const char* name;
        const char* populate;
        bool installer;
    } cases[] = {
        {"two files", "echo hello > a && echo 'a second, longer file' > b", false},
        {"many files", "for i in $(seq 1 40); do head -c $((i * 37)) /dev/urandom > f$i; done",
         false},
        {"installer-like",
         "mkdir -p x.pkg && echo data > x.pkg/Payload && echo '<pkg-info/>' > PackageInfo", true},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        ASSERT_TRUE(dir.run(std::string("mkdir in && cd in && ") + c.populate +
                            " && bsdtar --format xar -cf ../a.xar *"))
            << dir.lastLog();
        const auto file = readFile(dir / "a.xar");
        const auto walk = XARWalker::walk(file, 0);
        ASSERT_TRUE(walk) << c.name;
        std::string toc(walk->tocLength, '\0');
        uLongf produced = toc.size();
        ASSERT_EQ(
            uncompress(reinterpret_cast<Bytef*>(toc.data()), &produced,
                       reinterpret_cast<const Bytef*>(file.data() + 28), walk->tocCompressedLength),
            Z_OK);
        const auto heapEnd = xmlHeapDataEnd(toc);
        EXPECT_EQ(walk->heapEnd, heapEnd) << c.name;
        // bsdtar ends the archive with the first 20 bytes of the compressed TOC again.
        EXPECT_EQ(walk->length, std::int64_t(28 + walk->tocCompressedLength + heapEnd + 20)) << c.name;
        EXPECT_EQ(walk->length, std::int64_t(file.size())) << c.name;
        EXPECT_EQ(walk->installerPackage, c.installer) << c.name;

        const auto inside = embed(file, 100, 100);
        EXPECT_EQ(XARWalker::walk(inside, 100), walk) << c.name;
        // A TOC that is not wholly held cannot be inflated, so nothing is measured.
        EXPECT_FALSE(XARWalker::walk(std::span(file).first(28 + walk->tocCompressedLength - 1), 0))
            << c.name;
        // A heap cut short is still measured from the TOC (without the copy it cannot see).
        auto cut = *walk;
        cut.length -= 20;
        EXPECT_EQ(XARWalker::walk(std::span(file).first(28 + walk->tocCompressedLength), 0), cut) << c.name;
    }
}

TEST(XARWalker, HostileArchivesAreWalkedWithoutHarm) {
    const std::filesystem::path folder = corpus("xar/malformed");
    int files = 0;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        ++files;
        const auto file = readFile(item.path());
        const auto walk = XARWalker::walk(file, 0);
        ASSERT_TRUE(walk) << item.path();  // each has an intact header and TOC
        EXPECT_LE(walk->length, std::int64_t(file.size())) << item.path();
        EXPECT_FALSE(walk->installerPackage);
        for (std::size_t cut = 0; cut < file.size(); ++cut) {
            const auto shorter = XARWalker::walk(std::span(file).first(cut), 0);
            if (shorter) {
                // Cut before the writer's trailing copy of the TOC's start, which it then lacks.
                auto measured = *shorter;
                if (measured.length + 20 == walk->length && std::int64_t(cut) < walk->length) measured.length += 20;
                EXPECT_EQ(measured, *walk) << item.path() << " cut at " << cut;
            }
        }
        for (std::size_t at = 0; at < file.size(); ++at) {
            auto flipped = file;
            flipped[at] ^= std::byte{0x04};
            if (const auto damaged = XARWalker::walk(flipped, 0)) {
                EXPECT_GE(damaged->length,
                          damaged->headerSize + std::int64_t(damaged->tocCompressedLength));
            }
        }
    }
    EXPECT_EQ(files, 6);
}

}  // namespace
}  // namespace quarlin
