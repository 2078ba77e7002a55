// The scan engine over an image of a real file system, read through the image reader: what it
// finds, in one pass or in pieces, what it writes, and its report and recovery.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "../../support/DiskImageFixtures.h"
#include "../../support/RecoveryDisk.h"
#include "QuarlinCore/io/IOError.h"
#include "QuarlinCore/io/ImageFileBlockReader.h"
#include "QuarlinCore/io/ScanPauseToken.h"
#include "QuarlinCore/carving/MPEGWalker.h"
#include "QuarlinCore/recovery/Recovery.h"
#include "QuarlinCore/recovery/ScanReport.h"
#include "QuarlinCore/recovery/Scanner.h"

namespace quarlin::recovery {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;
using namespace std::string_literals;

class ScanTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        imagePath = new std::string(dir->file("disk.img"));
        placed = new std::vector<fixtures::PlacedFile>(fixtures::makeRecoveryDisk(*imagePath));
        image = new std::string(fixtures::readWhole(*imagePath));
    }
    static void TearDownTestSuite() {
        delete image;
        delete placed;
        delete imagePath;
        delete dir;
    }

    static std::vector<FileRecord> records(const ScanOutcome& outcome) { return outcome.files->records(); }
    // Offset, length and verdict of every file: what two scans of one source must agree on.
    // What garbage behind a planted mark measures as may depend on how many bytes the walk
    // was given first, so `intactOnly` leaves the rest out.
    static std::map<std::uint64_t, std::pair<std::uint64_t, std::string>> summary(const std::vector<FileRecord>& list,
                                                                                bool intactOnly = false) {
        std::map<std::uint64_t, std::pair<std::uint64_t, std::string>> result;
        for (const auto& r : list)
            if (!intactOnly || verdictKind(r.verdict) == "looksIntact")
                result[fixtures::offsetOf(r)] = {r.declaredSize, verdictKind(r.verdict)};
        return result;
    }
    ScanOutcome scan(ScanOptions options, const std::optional<fs::path>& into = std::nullopt) {
        ImageFileBlockReader reader(*imagePath, 512);
        options.unaligned = true;
        options.filesDirectory = into;
        return scanSource(reader, image->size() / 512 * 512, options);
    }

    static inline TempDir* dir;
    static inline std::string* imagePath;
    static inline std::vector<fixtures::PlacedFile>* placed;
    static inline std::string* image;
};

class FailingReader final : public BlockReader {
public:
    FailingReader(BlockReader& inner, std::uint64_t failFrom, std::uint64_t failTo = UINT64_MAX)
        : inner_(inner), failFrom_(failFrom), failTo_(failTo) {}
    std::int64_t blockSize() const override { return inner_.blockSize(); }
    const DeviceIdentity& deviceIdentity() const override { return inner_.deviceIdentity(); }
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override {
        const auto size = static_cast<std::uint64_t>(inner_.blockSize());
        if (at * size < failTo_ && (at + static_cast<std::uint64_t>(count)) * size > failFrom_) {
            ++failedReads;
            throw IOError::posixError(EIO, "Input/output error");
        }
        co_return co_await inner_.readBlocks(at, count);
    }

    std::atomic<int> failedReads = 0;

private:
    BlockReader& inner_;
    std::uint64_t failFrom_, failTo_;
};

TEST_F(ScanTest, BringsBackEveryContiguousFileAndNoDistractor) {
    TempDir out;
    const auto outcome = scan({}, out.path());
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.stoppedAt, outcome.rangeEnd);
    fixtures::expectScanMatches(*placed, *image, records(outcome), out.path());
    // Every record has its file, and nothing else is left in the folder.
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(out.path()), fs::directory_iterator())),
              records(outcome).size());
}

TEST_F(ScanTest, SmallChunksAndWalkBoundsFindTheSameIntactFiles) {
    const auto whole = summary(records(scan({})));
    // Files straddle many chunk boundaries, and the largest need the extension buffer.
    const auto pieces = summary(records(scan({.chunkBytes = 64 << 10, .maxWalkBytes = 512 << 10})));
    // Only files longer than the walk bound, and what garbage measures as, may differ.
    for (const auto& [offset, entry] : whole)
        EXPECT_TRUE(entry.second != "looksIntact" || entry.first > 512 << 10 || pieces.at(offset) == entry) << offset;
    for (const auto& [offset, entry] : pieces) EXPECT_TRUE(entry.second != "looksIntact" || whole.contains(offset)) << offset;

    // With walks bound to 64 KiB, larger files are still found and written from the source
    // piece by piece: whole where they declare their length, else as far as a walk goes.
    TempDir out;
    ScanOptions tiny{.chunkBytes = 64 << 10, .maxWalkBytes = 64 << 10};
    const auto bounded = scan(tiny, out.path());
    ASSERT_FALSE(bounded.error);
    int large = 0;
    for (const auto& file : *placed) {
        if (file.expect != "intact" || file.length <= (64 << 10)) continue;
        ++large;
        SCOPED_TRACE(file.name);
        const auto list = records(bounded);
        const auto it = std::ranges::find_if(list, [&](const FileRecord& r) { return fixtures::offsetOf(r) == file.offset; });
        ASSERT_NE(it, list.end());
        EXPECT_TRUE(fixtures::readWhole(out.path() / it->name) == image->substr(file.offset, it->declaredSize));
        if (file.name.ends_with(".pst")) {  // its checksums read from the source
            EXPECT_EQ(it->declaredSize, file.length);
            EXPECT_EQ(verdictKind(it->verdict), "looksIntact");
        }
    }
    EXPECT_GE(large, 3);

    // Files longer than the bound whose checksums lie all through them, checked from the
    // source: a PST, and a XAR of incompressible files; whole, then with a byte changed that a
    // checksum covers.
    std::mt19937 random(3);
    std::string noise(200000, '\0');
    for (auto& c : noise) c = static_cast<char>(random());
    std::ofstream(dir->file("noise.bin"), std::ios::binary) << noise;
    ASSERT_EQ(std::system(("cd " + dir->path().string() + " && bsdtar --format xar -cf big.xar noise.bin").c_str()), 0);
    for (const auto& [path, format] : {std::pair{std::string(QUARLIN_CORPUS_DIR "/pst/dist-list.pst"), CarvedFormat::pst},
                                       std::pair{dir->file("big.xar"), CarvedFormat::xar}}) {
        SCOPED_TRACE(path);
        std::string file = fixtures::readWhole(path);
        const FileBytes read = [&](std::uint64_t at, std::uint64_t length, const auto& use) {
            use(std::as_bytes(std::span(file)).subspan(at, length));
        };
        std::size_t flip = file.size() / 2;
        for (; flip < file.size(); flip += 100) {
            file[flip] ^= 1;
            if (verdictKind(checkContents(format, std::as_bytes(std::span(file)).first(4096), file.size(), read)) ==
                "failed")
                break;
            file[flip] ^= 1;
        }
        ASSERT_LT(flip, file.size());
        // Whole; with the byte changed; whole but for a bad block where two of the check's
        // windows overlap, read twice and counted once (in free space of the PST, which no
        // checksum covers).
        for (const int damage : {0, 1, 2}) {
            if (damage == 0) file[flip] ^= 1;
            const std::string padded = std::string(1 << 16, '\0') + file + std::string(1 << 16, '\0');
            std::ofstream(dir->file("long.img"), std::ios::binary) << padded;
            ImageFileBlockReader image(dir->file("long.img"), 512);
            const std::uint64_t bad = damage == 2 ? (1 << 16) + (3 << 16) : UINT64_MAX;
            FailingReader reader(image, bad, bad + 512);
            // Without files written as well: then only the check reads ahead of the pass.
            TempDir files;
            tiny.filesDirectory = damage == 2 ? std::nullopt : std::optional(files.path());
            const auto found = records(scanSource(reader, padded.size() / 512 * 512, tiny));
            ASSERT_EQ(found.size(), 1u);
            EXPECT_EQ(fixtures::offsetOf(found[0]), 1u << 16);
            EXPECT_EQ(found[0].declaredSize, measure(format, std::as_bytes(std::span(file)), file.size())->length);
            const std::string why = std::visit([](const auto& kind) {
                if constexpr (requires { kind.reason; }) return kind.reason;
                return std::string();
            }, found[0].verdict.value());
            if (damage < 2) EXPECT_EQ(verdictKind(found[0].verdict), damage == 0 ? "looksIntact" : "failed");
            else EXPECT_TRUE(why.ends_with("512 bytes of it could not be read (bad blocks) and are zeros")) << why;
            file[flip] ^= 1;
        }
        // A stop asked for while the check reads the file from the source takes effect there
        // (the first ask is the pass's, before its one chunk): the file is looked at again
        // when the scan resumes.
        int asked = 0;
        ScanOptions stopping = tiny;
        stopping.stopRequested = [&asked] { return ++asked > 1; };
        ImageFileBlockReader image(dir->file("long.img"), 512);
        const auto stopped = scanSource(image, fs::file_size(dir->file("long.img")) / 512 * 512, stopping);
        EXPECT_FALSE(stopped.finished);
        EXPECT_EQ(stopped.stoppedAt, 1u << 16);
        EXPECT_EQ(stopped.files->added(), 0u);
    }
}

TEST_F(ScanTest, FilesThatBeginJustBeforeAChunkEndAreFound) {
    const auto placedBytes = [&](std::string_view name) {
        const auto it = std::ranges::find_if(*placed, [&](const auto& f) { return f.name == name; });
        return image->substr(it->offset, it->length);
    };
    // An MP3 whose ID3 tag (a cover picture, say) runs past the chunk's end: a tag of 100 KiB of
    // padding before its frames. And the frames alone, the first four of them across the end.
    const std::string mp3 = placedBytes("song.mp3");
    const std::string frames = mp3.substr(static_cast<std::size_t>(*MPEGWalker::id3v2Length(std::as_bytes(std::span(mp3)), 0)));
    const std::string tagged = "ID3\3\0\0\0\6\x20\0"s + std::string(100 << 10, '\0') + frames;

    // A FLAC stream whose metadata runs past it: 100 KiB of padding after its STREAMINFO.
    std::string flac = placedBytes("song.flac");
    const char lastFlag = static_cast<char>(flac[4] & 0x80);
    flac[4] = static_cast<char>(flac[4] & 0x7F);
    flac.insert(42, std::string{static_cast<char>(lastFlag | 1), 1, static_cast<char>(0x90), 0} + std::string(100 << 10, '\0'));
    // And a disk image whose trailer's mark the chunk's end cuts, found in an aligned scan.
    const std::string dmg = placedBytes("compression-raw.dmg");

    constexpr std::size_t kChunk = 256 << 10;
    const std::tuple<const std::string, std::size_t, bool> cases[] = {
        {tagged, 512, false},
        {tagged, 64 << 10, false},
        {frames, 1024, false},
        {flac, 4096, false},
        {placedBytes("docs.zip"), 3, true},
        {placedBytes("note0.txt.gz"), 5, true},
        {dmg, dmg.size() - 512 + 2, false},
    };
    for (const auto& [file, before, unaligned] : cases) {
        SCOPED_TRACE(std::to_string(file.size()) + " bytes, " + std::to_string(before) + " before the chunk's end");
        std::string source = std::string(kChunk - before, '\0') + file;
        source.resize((source.size() / kChunk + 1) * kChunk);
        std::ofstream(dir->file("across.img"), std::ios::binary | std::ios::trunc) << source;
        ImageFileBlockReader reader(dir->file("across.img"), 512);
        TempDir out;
        const ScanOptions options{.unaligned = unaligned, .filesDirectory = out.path(), .chunkBytes = kChunk};
        const auto found = records(scanSource(reader, source.size(), options));
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(fixtures::offsetOf(found[0]), kChunk - before);
        EXPECT_EQ(verdictKind(found[0].verdict), "looksIntact");
        EXPECT_TRUE(fixtures::readWhole(out.path() / found[0].name) == file);
    }
}

TEST_F(ScanTest, AStoppedScanResumedWhereItStoppedFindsWhatOnePassFinds) {
    ScanOptions options{.filesFrom = 0, .chunkBytes = 64 << 10};
    const auto whole = summary(records(scan(options)));
    std::vector<FileRecord> found;
    int chunks = 0;
    // Stops after every other chunk, then goes on from where it stopped, as --resume does:
    // files found cut or failed before the stop keep the marks inside them too.
    options.stopRequested = [&chunks] { return ++chunks % 2 == 0; };
    for (int round = 0; round < 1000; ++round) {
        const auto outcome = scan(options);
        ASSERT_FALSE(outcome.error);
        for (const auto& r : records(outcome)) found.push_back(r);
        options.coveredUntil = outcome.coveredUntil;
        if (outcome.finished) break;
        ASSERT_GT(outcome.stoppedAt, options.from);
        options.from = outcome.stoppedAt;
    }
    EXPECT_EQ(summary(found), whole);

    // A disk image whose trailer lies past the point the scan resumes from begins before it.
    const auto dmg = std::ranges::find_if(*placed, [](const auto& f) { return f.name.ends_with(".dmg"); });
    const auto again = summary(records(scan({.from = dmg->offset + 512, .filesFrom = 0})), true);
    EXPECT_EQ(again.at(dmg->offset).first, dmg->length);

    // A zip cut before its directory, stopped after its first entry: the entries after the stop
    // are its own, not archives of their own.
    const auto zip = std::ranges::find_if(*placed, [](const auto& f) { return f.name == "docs.zip"; });
    const std::string entries = image->substr(zip->offset, image->find("PK\1\2", zip->offset) - zip->offset);
    constexpr std::size_t kChunk = 256 << 10;
    std::ofstream(dir->file("cut.img"), std::ios::binary | std::ios::trunc)
        << std::string(kChunk - 100, '\0') + entries + std::string(kChunk + 100 - entries.size(), '\0');
    ImageFileBlockReader reader(dir->file("cut.img"), 512);
    int asked = 0;
    ScanOptions stopped{.unaligned = true, .filesFrom = 0, .chunkBytes = kChunk, .stopRequested = [&] { return ++asked == 2; }};
    auto outcome = scanSource(reader, 2 * kChunk, stopped);
    ASSERT_FALSE(outcome.finished);
    found = records(outcome);
    stopped.from = outcome.stoppedAt;
    stopped.coveredUntil = outcome.coveredUntil;
    outcome = scanSource(reader, 2 * kChunk, stopped);
    ASSERT_TRUE(outcome.finished);
    for (const auto& r : records(outcome)) found.push_back(r);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].declaredSize, entries.size());
}

TEST_F(ScanTest, AReportReadsBackAndRecoveryWritesTheSameBytesWithoutOverwriting) {
    TempDir out, again;
    const auto outcome = scan({}, out.path());
    ScanReport report{.source = *imagePath, .sourceIdentity = records(outcome).at(0).sourceVolume,
                      .sourceBytes = image->size() / 512 * 512, .blockSize = 512, .rangeEnd = outcome.rangeEnd,
                      .stoppedAt = outcome.rangeEnd, .finished = true, .formats = {"flac", "xar"},
                      .unreadable = joinedRanges({{8192, 512}, {1024, 1024}, {0, 1024}, {8704, 512}}),
                      .files = records(outcome)};
    ASSERT_EQ(report.unreadable, (std::vector<DataExtent>{{0, 2048}, {8192, 1024}}));
    ASSERT_TRUE(writeReport(out.path() / "report.json", report));
    const auto read = readReport(out.path() / "report.json");
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(read->files, report.files);
    EXPECT_EQ(read->unreadable, report.unreadable);
    // A name from the machine that is not UTF-8 is written with U+FFFD, not lost with the report.
    auto odd = report;
    odd.sourceIdentity.displayName = "disk\xff.img";
    ASSERT_TRUE(writeReport(out.path() / "odd.json", odd));
    EXPECT_EQ(readReport(out.path() / "odd.json")->sourceIdentity.displayName, "disk\xef\xbf\xbd.img");

    ImageFileBlockReader reader(*imagePath, 512);
    auto job = makeRecoveryJob(*read, {"looksIntact", {}}, {"dest", std::nullopt, "dest"}, again.path().string());
    ASSERT_TRUE(job) << job.error();
    // Stopped while copying its fourth file: three files are whole, the fourth is gone, no part
    // of one is left, and the next recovery writes the rest.
    int asked = 0;
    const auto stopped = recoverFiles(reader, read->sourceBytes, *job, {}, [&] { return ++asked > 7; });
    ASSERT_EQ(stopped.size(), 4u);
    EXPECT_EQ(stopped[3].error, "stopped before it was complete");
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(again.path()), fs::directory_iterator())), 3u);
    auto rest = *job;
    rest.selectedFiles.erase(rest.selectedFiles.begin(), rest.selectedFiles.begin() + 3);
    for (int pass = 0; pass < 2; ++pass) {
        const auto& files = pass == 0 ? rest : *job;
        const auto recovered = recoverFiles(reader, read->sourceBytes, files);
        ASSERT_EQ(recovered.size(), files.selectedFiles.size());
        for (const auto& file : recovered) {
            if (pass == 0) {
                EXPECT_FALSE(file.error) << file.name << ": " << *file.error;
                EXPECT_TRUE(fixtures::readWhole(again.path() / file.name) ==
                            fixtures::readWhole(out.path() / file.name));
            } else {
                ASSERT_TRUE(file.error);  // the file is there: left as it is
                EXPECT_NE(file.error->find("exists already"), std::string::npos);
            }
        }
    }
}

TEST_F(ScanTest, CorruptReportsAndSelectionsAreRefusedNamingWhatIsWrong) {
    ScanReport report{.source = "disk.img", .sourceIdentity = {"disk.img", std::nullopt, "disk.img"},
                      .sourceBytes = 1 << 20, .blockSize = 512, .rangeEnd = 1 << 20, .stoppedAt = 1 << 20,
                      .unreadable = {{512, 512}, {4096, 1024}}};
    report.files.push_back(FileRecord(UUID::random(), "../../etc/passwd", std::nullopt, 4, std::nullopt,
                                      IntegrityVerdict::looksIntact(), report.sourceIdentity,
                                      DataLayout::extents({{0, 4}}), std::nullopt, std::nullopt));
    const std::string good = reportJSON(report);
    struct Case {
        std::string from, to, error;
    };
    for (const Case& c : {Case{"\"blockSize\": 512", "\"blockSize\": \"512\"", "'blockSize'"},
                          Case{"\"declaredSize\": 4", "\"declaredSize\": -4", "'declaredSize'"},
                          Case{"\"type\": \"looksIntact\"", "\"type\": 7", "files[0]"},
                          Case{"\"sourceIdentity\"", "\"sourceID\"", "'sourceIdentity'"},
                          Case{"\"stoppedAt\": 1048576", "\"stoppedAt\": 2048576", "do not agree"},
                          Case{"\"stoppedAt\": 1048576", "\"stoppedAt\": 0, \"coveredUntil\": 2097152", "do not agree"},
                          Case{"\"volumeByteOffset\": 4096", "\"volumeByteOffset\": 768", "unreadable[1]"},
                          Case{"\"byteLength\": 1024", "\"byteLength\": 1048576", "unreadable[1]"},
                          Case{"\"byteLength\": 1024", "\"byteLength\": null", "unreadable: "},
                          Case{good, "[1]", "object"}}) {
        std::string text = good;
        const auto at = text.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.from;
        text.replace(at, c.from.size(), c.to);
        const auto parsed = parseReport(text);
        ASSERT_FALSE(parsed) << c.to;
        EXPECT_NE(parsed.error().find(c.error), std::string::npos) << parsed.error();
    }
    const auto parsed = parseReport(good);
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(makeRecoveryJob(*parsed, {"intact", {}}, {}, "/tmp"));
    EXPECT_FALSE(makeRecoveryJob(*parsed, {std::nullopt, {UUID::random().uuidString()}}, {}, "/tmp"));
    EXPECT_EQ(makeRecoveryJob(*parsed, {std::nullopt, {parsed->files[0].id.uuidString(), "42"}}, {}, "/tmp").error(),
              "'42' is not a file id (the \"id\" of a record in the report)");
    // Named twice, once in lower case: one file.
    const std::string id = parsed->files[0].id.uuidString();
    std::string lower = id;
    std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(makeRecoveryJob(*parsed, {std::nullopt, {id, lower}}, {}, "/tmp")->selectedFiles.size(), 1u);
    // A name that climbs out of the destination is never used as a path.
    TempDir dest;
    ImageFileBlockReader reader(*imagePath, 512);
    const auto recovered = recoverFiles(reader, 1 << 20, *makeRecoveryJob(*parsed, {}, {}, dest.path().string()));
    ASSERT_EQ(recovered.size(), 1u);
    EXPECT_TRUE(recovered[0].error);
    EXPECT_TRUE(fs::is_empty(dest.path()));
}

// Records come back by offset, though disk images are found at their end; a file that lies
// inside a disk image found whole after it is part of the image: left out, its file removed.
TEST(FoundFilesTest, ReadBackByOffsetWithoutTheFilesInsideADiskImageFoundWholeAfterThem) {
    TempDir dir;
    auto found = FoundFiles::create(dir.path());
    ASSERT_TRUE(found) << found.error();
    const auto add = [&](std::uint64_t offset, std::uint64_t length, std::optional<CarvedFormat> format,
                         bool whole = true) {
        const std::string name = foundFileName(offset, format == CarvedFormat::udif ? "dmg" : "flac");
        std::ofstream(dir.path() / name) << "x";
        const auto added = (*found)->add(
            FileRecord(UUID::random(), name, std::nullopt, length, std::nullopt,
                       whole ? IntegrityVerdict::looksIntact() : IntegrityVerdict::mayBePartial("cut"),
                       {"disk", std::nullopt, "disk"}, DataLayout::extents({{offset, length}}), std::nullopt, std::nullopt),
            format);
        ASSERT_TRUE(added) << added.error();
    };
    add(0, 100, std::nullopt);  // an earlier scan's
    add(1000, 100, CarvedFormat::flac);
    add(1100, 4000, CarvedFormat::flac);          // runs past the image's end: its own file
    add(950, 500, CarvedFormat::udif);            // an image inside the next one
    add(900, 2100, CarvedFormat::udif);           // [900, 3000)
    add(920, 2000, CarvedFormat::udif, false);    // not whole: leaves nothing out, but lies inside
    add(5000, 100, CarvedFormat::flac);
    add(4000, 2000, CarvedFormat::udif, false);   // not whole: what lies in it stays
    std::vector<std::uint64_t> offsets;
    for (const auto& record : (*found)->records()) offsets.push_back(fixtures::offsetOf(record));
    EXPECT_EQ(offsets, (std::vector<std::uint64_t>{0, 900, 1100, 4000, 5000}));
    ASSERT_TRUE((*found)->removeFilesLeftOut(dir.path()));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename().string());
    std::ranges::sort(left);
    EXPECT_EQ(left, (std::vector<std::string>{foundFileName(0, "flac"), foundFileName(900, "dmg"),
                                              foundFileName(1100, "flac"), foundFileName(4000, "dmg"),
                                              foundFileName(5000, "flac")}));
}

// A source whose reads fail where they touch [failFrom, failTo): one that goes away (failTo
// past its end), as a detached disk does, or one with bad blocks. A double, since a test can
// neither time a real detach between two reads nor make a sector go bad.
TEST_F(ScanTest, ASourceThatFailsEndsTheScanKeepingWhatWasFound) {
    TempDir out;
    ImageFileBlockReader image(*imagePath, 512);
    const std::uint64_t failAt = 24 << 20;  // inside the area after the file system
    FailingReader reader(image, failAt);
    const ScanOptions options{.filesDirectory = out.path(), .chunkBytes = 1 << 20};
    const auto outcome = scanSource(reader, this->image->size() / 512 * 512, options);
    ASSERT_TRUE(outcome.error);
    EXPECT_FALSE(outcome.finished);
    EXPECT_LE(outcome.stoppedAt, failAt);
    const auto found = records(outcome);
    EXPECT_FALSE(found.empty());
    for (const auto& file : found) EXPECT_EQ(fs::file_size(out.path() / file.name), file.declaredSize);
}

// Each failed read of a dying disk may take minutes: a pause or a stop asked for inside a bad
// area takes effect at the next read, even in the middle of a walk or of a file copied from
// the source, and the scan resumes there.
TEST_F(ScanTest, APauseOrStopInsideABadAreaTakesEffectAtTheNextRead) {
    using namespace std::chrono_literals;
    struct Case {
        const char* where;
        std::uint64_t badFrom, badTo;
        std::int64_t blockSize, chunkBytes, maxWalkBytes;
    } cases[] = {
        {"the pass", 0x400000, 0x1600000, 512, 1 << 20, 1 << 20},
        // The end of the PST, which is longer than the walk bound and so copied from the source
        // into the folder, past the chunks and the bytes its walk read (small blocks allow
        // small chunks).
        {"a copy", 0x1848000, 0x184a000, 1, 64 << 10, 128 << 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        ImageFileBlockReader image(*imagePath, c.blockSize);
        FailingReader reader(image, c.badFrom, c.badTo);
        TempDir out;
        ScanOptions options{.unaligned = true, .filesDirectory = out.path(), .chunkBytes = c.chunkBytes,
                            .maxWalkBytes = c.maxWalkBytes, .pauseToken = std::make_shared<ScanPauseToken>()};
        std::thread resumer;
        int atPause = -1, whilePaused = -2;
        options.stopRequested = [&] {
            if (reader.failedReads >= 3 && !resumer.joinable()) {
                atPause = reader.failedReads;
                runtime::runBlocking(options.pauseToken->pause());
                resumer = std::thread([&] {
                    std::this_thread::sleep_for(100ms);
                    whilePaused = reader.failedReads;
                    runtime::runBlocking(options.pauseToken->resume());
                });
            }
            return reader.failedReads >= 12;
        };
        const auto stopped = scanSource(reader, this->image->size() / 512 * 512, options);
        EXPECT_FALSE(stopped.error);
        EXPECT_FALSE(stopped.finished);
        EXPECT_LE(stopped.stoppedAt, c.badFrom);
        // Only chunk reads already in flight may fail after the pause or the stop.
        EXPECT_LE(reader.failedReads, 12 + 2);
        resumer.join();
        EXPECT_LE(whilePaused, atPause + 2);
        // Every file in the folder is whole and named in the outcome; resumed on the disk read
        // whole, the scan finds what one pass finds.
        for (const auto& entry : fs::directory_iterator(out.path())) EXPECT_NE(entry.path().extension(), ".part");
        auto found = records(stopped);
        const ScanOptions same{.chunkBytes = c.chunkBytes, .maxWalkBytes = c.maxWalkBytes};
        options = same;
        options.from = stopped.stoppedAt;
        for (const auto& r : found) options.coveredUntil = std::max(options.coveredUntil, fixtures::offsetOf(r) + r.declaredSize);
        for (const auto& r : records(scan(options))) found.push_back(r);
        EXPECT_EQ(summary(found, true), summary(records(scan(same)), true));
    }
}

TEST_F(ScanTest, BadBlocksArePassedOverAsZerosAndEveryFileClearOfThemIsFound) {
    ImageFileBlockReader image(*imagePath, 512);
    std::vector<FileRecord> intact;
    for (const auto& record : records(scan({})))
        if (verdictKind(record.verdict) == "looksIntact") intact.push_back(record);
    const auto clean = summary(intact);
    struct Case {
        const char* where;
        std::uint64_t badFrom, badLength;
        std::int64_t chunkBytes;
        int mostFailedReads;  // each may take seconds on a dying disk
    } cases[] = {
        // A sector of the unaligned Matroska clip of the raw area, which has no CRC-32 of its own.
        {"in a chunk", 0x189e000, 512, 1 << 20, 8},
        // A sector of the damaged disk image, which the walk of the FLAC file before it reads
        // ahead of the pass, past the next chunk.
        {"read ahead", 0x18c0000 + 4096, 512, 256 << 10, 16},
        // A whole chunk, across the end of the PST and the Ogg file after it.
        {"a whole chunk", 0x1840000, 256 << 10, 256 << 10, 80},
        // 20 MiB from inside an MP3 file of the file system to an end inside a chunk, found
        // without reading every block on the way.
        {"a large bad area", 0x210000, (20 << 20) + (320 << 10), 1 << 20, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        const std::uint64_t badTo = c.badFrom + c.badLength;
        FailingReader reader(image, c.badFrom, badTo);
        TempDir out;
        const ScanOptions options{.unaligned = true, .filesDirectory = out.path(), .chunkBytes = c.chunkBytes};
        const auto outcome = scanSource(reader, this->image->size() / 512 * 512, options);
        ASSERT_FALSE(outcome.error) << *outcome.error;
        EXPECT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.unreadableBytes, badTo - c.badFrom);
        EXPECT_EQ(outcome.unreadable, (std::vector<DataExtent>{{c.badFrom, c.badLength}}));
        EXPECT_LE(reader.failedReads, c.mostFailedReads);
        const auto found = summary(records(outcome));
        for (const auto& [offset, file] : clean)
            EXPECT_TRUE((offset < badTo && offset + file.first > c.badFrom) || found.contains(offset)) << offset;
        // A file over the bad block holds zeros there: it is not intact, whatever else it passed.
        std::size_t over = 0;
        for (const auto& [offset, file] : found) {
            if (offset < badTo && offset + file.first > c.badFrom) {
                EXPECT_NE(file.second, "looksIntact") << offset;
                ++over;
            }
        }
        EXPECT_GT(over, 0u);
        // Recovered through the failing reader, each file is the source's bytes with zeros where
        // the bad blocks are, whole and counted: the files of this scan, which are what it
        // wrote, and those of the clean scan, one wholly inside a bad area included.
        std::string expected = *this->image;
        std::fill(expected.begin() + static_cast<std::ptrdiff_t>(c.badFrom),
                  expected.begin() + static_cast<std::ptrdiff_t>(badTo), '\0');
        std::uint64_t zeros = 0;
        for (const auto& [list, written] : {std::pair{records(outcome), true}, std::pair{intact, false}}) {
            TempDir again;
            const RecoveryJob job{UUID::random(), image.deviceIdentity(), {"dest", std::nullopt, "dest"},
                                  again.path().string(), list, Timestamp::now()};
            for (const auto& file : recoverFiles(reader, this->image->size() / 512 * 512, job)) {
                EXPECT_FALSE(file.error) << file.name << ": " << *file.error;
                const std::string bytes = fixtures::readWhole(again.path() / file.name);
                const auto offset = std::stoull(file.name.substr(0, 16), nullptr, 16);
                EXPECT_TRUE(bytes == expected.substr(offset, bytes.size())) << file.name;
                EXPECT_TRUE(!written || bytes == fixtures::readWhole(out.path() / file.name)) << file.name;
                zeros += file.unreadableBytes;
            }
        }
        EXPECT_GT(zeros, 0u);
    }
}

TEST_F(ScanTest, HostileMarksEverywhereEndInBoundedTimeWithNothingIntact) {
    // Every 512-byte boundary of 8 MiB of noise holds a format's mark, some with plausible headers.
    TempDir work;
    Data noise = fixtures::patternBytes(8 << 20, 5);
    const std::string marks[] = {"Rar!\x1a\x07\x00"s, "Rar!\x1a\x07\x01\x00"s, "fLaC\0\0\0\x22"s, "OggS\0\x02"s,
                                 "\x1a\x45\xdf\xa3\x84"s, "xar!\0\x1c"s, "!BDN"s, "PK\x03\x04"s, "\x1f\x8b\x08\0"s,
                                 "ID3\x03\0\0\0\0\x10\0"s, "koly"s, "\xff\xfb\x90\x64"s};
    for (std::size_t at = 0, i = 0; at < noise.size(); at += 512, ++i)
        std::memcpy(noise.data() + at, marks[i % std::size(marks)].data(), marks[i % std::size(marks)].size());
    fixtures::writeFile(work.file("noise.img"), noise);
    ImageFileBlockReader reader(work.file("noise.img"), 512);
    for (const bool unaligned : {false, true}) {
        const auto outcome = scanSource(reader, noise.size(), {.unaligned = unaligned});
        EXPECT_TRUE(outcome.finished);
        for (const auto& file : records(outcome))
            EXPECT_FALSE(std::holds_alternative<IntegrityVerdict::LooksIntact>(file.verdict.value())) << file.name;
    }

    // Headers that vouch for long checksummed contents everywhere, whose checks would go over
    // much the same bytes again for each: disk image trailers at every sector of 32 MiB, each
    // claiming the bytes before it as a data fork with a CRC-32 (1.1 TB to check), and a real
    // PST's header every 1 KiB of 16 MiB. The checks stop at their bound.
    Data trailers(32 << 20), psts(16 << 20);
    const auto put = [&](std::size_t at, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) trailers[at + i] = std::byte(value >> (8 * (width - 1 - i)));
    };
    for (std::size_t at = 512; at < trailers.size(); at += 512) {
        put(at, 0x6B6F6C79, 4), put(at + 4, 4, 4), put(at + 8, 512, 4);  // "koly", version, size
        put(at + 32, at, 8);                                              // data fork [0, at)
        put(at + 0x50, 2, 4), put(at + 0x54, 32, 4);                      // its CRC-32, 0 here
        put(at + 216, at - 1, 8), put(at + 224, 1, 8);                    // the XML's last byte
    }
    const std::string pst = fixtures::readWhole(QUARLIN_CORPUS_DIR "/pst/dist-list.pst");
    for (std::size_t at = 0; at < psts.size(); at += 1024) std::memcpy(psts.data() + at, pst.data(), 1024);
    for (const Data* hostile : {&trailers, &psts}) {
        fixtures::writeFile(work.file("hostile.img"), *hostile);
        ImageFileBlockReader hostileReader(work.file("hostile.img"), 512);
        const auto outcome = scanSource(hostileReader, hostile->size(), ScanOptions{});
        EXPECT_TRUE(outcome.finished);
        std::size_t intact = 0, checked = 0, unchecked = 0;
        for (const auto& file : records(outcome)) {
            intact += verdictKind(file.verdict) == "looksIntact";
            checked += verdictKind(file.verdict) == "failed";
            unchecked += file.verdict == IntegrityVerdict::mayBePartial(std::string(kContentsNotChecked));
        }
        EXPECT_EQ(intact, 0u);
        EXPECT_GT(checked, 0u);
        EXPECT_GT(unchecked, hostile->size() / 2048);  // most of them
    }
}

}  // namespace
}  // namespace quarlin::recovery
