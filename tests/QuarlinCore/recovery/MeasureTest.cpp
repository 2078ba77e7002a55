// Every format measured where a carver meets it: a real file from Debian's encoders or the
// corpus, followed by what a disk may hold next (noise, zeros, the start of another file of the
// same format), must measure to its own length and look intact; cut short, it must not.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "../../support/DiskImageFixtures.h"
#include "../../support/RecoveryDisk.h"
#include "QuarlinCore/framing/MPEGAudioFraming.h"
#include "QuarlinCore/recovery/CarvedFormat.h"
#include "QuarlinCore/recovery/Recovery.h"

namespace quarlin::recovery {
namespace {

using Bytes = std::vector<std::byte>;

Bytes bytesOf(const std::string& text) {
    const auto view = std::as_bytes(std::span(text));
    return {view.begin(), view.end()};
}

TEST(Measure, EveryFormatMeasuresToItsOwnLengthWhateverFollows) {
    fixtures::TempDir dir;
    const std::string make = "cd '" QUARLIN_SOURCE_DIR "/src/cli/sample' && python3 -c "
                             "'import sys, make_recovery_disk as m; m.make_media(sys.argv[1], 2)' '" +
                             dir.path().string() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    std::vector<std::filesystem::path> files;
    for (const char* name :
         {"song.flac", "song.mp3", "plain.mp3", "song.ogg", "voice.opus", "clip.webm", "clip.mkv",
          "remux.mkv", "docs.zip", "docs.xar", "note0.txt.gz"})
        files.push_back(dir.path() / name);
    for (const char* name : {"rar/rar_compress_normal.rar", "rar/rar5_multiple_files.rar", "rar/rar_filter.rar",
                             "pst/dist-list.pst", "udif/compression-raw.dmg"})
        files.push_back(std::filesystem::path(QUARLIN_CORPUS_DIR) / name);

    FormatSet all;
    all.set();
    std::mt19937 rng(7);
    // Cut anywhere past its first 64 bytes and before the end that all its bytes measure (as a
    // scan's read cuts the files that run past it), a file is not measured as if it ended at
    // the cut: the measurement asks for the bytes the cut took.
    const auto expectCutsAskForTheRest = [&](const std::string& what, const Bytes& bytes) {
        const auto format = markAt(bytes, 0, all);
        const auto size = static_cast<std::int64_t>(bytes.size());
        const auto whole = format ? measure(*format, bytes, size) : std::nullopt;
        for (std::int64_t cut = 64; whole && cut < whole->length; cut += std::max<std::int64_t>(1, whole->length / 700)) {
            const auto m = measure(*format, std::span(bytes).first(static_cast<std::size_t>(cut)), size);
            if (m && m->bytesWanted > cut) continue;
            ADD_FAILURE() << what << " cut at " << cut << " of " << whole->length << ": "
                          << (m ? "measured as " + std::to_string(m->length) + " bytes, " + verdictKind(m->verdict) : "no file");
            return;
        }
    };
    for (const auto& path : files) {
        const Bytes file = bytesOf(fixtures::readWhole(path));
        ASSERT_GT(file.size(), 1024U) << path;
        const auto size = static_cast<std::int64_t>(file.size());
        Bytes noise(65536);
        for (auto& b : noise) b = static_cast<std::byte>(rng());
        const Bytes tails[] = {noise, Bytes(65536), Bytes(file.begin(), file.begin() + 1024)};
        const char* tailNames[] = {"noise", "zeros", "another file's start"};
        for (std::size_t t = 0; t < std::size(tails); ++t) {
            SCOPED_TRACE(path.filename().string() + " followed by " + tailNames[t]);
            Bytes bytes = file;
            bytes.insert(bytes.end(), tails[t].begin(), tails[t].end());
            // A UDIF image is found by its trailer, the last 512 bytes, and measured back from it.
            const std::int64_t at = path.extension() == ".dmg" ? size - 512 : 0;
            const auto format = markAt(bytes, at, all);
            ASSERT_TRUE(format);
            EXPECT_TRUE(kMarkFirstBytes[std::to_integer<std::uint8_t>(bytes[static_cast<std::size_t>(at)])]);  // or unaligned scans miss it
            const auto candidate = std::span(bytes).subspan(static_cast<std::size_t>(at));
            const auto m = measure(*format, candidate, static_cast<std::int64_t>(candidate.size()));
            ASSERT_TRUE(m);
            EXPECT_EQ(at + m->start, 0);
            EXPECT_EQ(m->length, size);
            EXPECT_EQ(m->bytesWanted, 0);
            EXPECT_TRUE(std::holds_alternative<IntegrityVerdict::LooksIntact>(m->verdict.value()))
                << verdictKind(m->verdict);
        }
        const std::string name = path.filename().string();
        if (name ==
            "plain.mp3") {  // frames of another stream right after it, with no header of their own
            SCOPED_TRACE("plain.mp3 followed by headerless frames");
            Bytes two = file;
            two.insert(two.end(), file.begin() + *MPEGAudioFraming::frameLength(file, 0),
                       file.end());
            const auto m = measure(CarvedFormat::mpeg, two, static_cast<std::int64_t>(two.size()));
            ASSERT_TRUE(m);
            EXPECT_EQ(m->length, size);
        }
        // One byte changed in the middle of a file whose every byte a checksum covers: never
        // intact.
        if (name == "remux.mkv" || name == "song.ogg" || name == "docs.zip" || name == "docs.xar" ||
            name == "song.mp3") {
            SCOPED_TRACE(name + " with a byte changed");
            Bytes changed = file;
            changed[file.size() / 2] ^= std::byte{0x40};
            const auto m = measure(*markAt(changed, 0, all), changed, size);
            ASSERT_TRUE(m);
            EXPECT_FALSE(std::holds_alternative<IntegrityVerdict::LooksIntact>(m->verdict.value()));
            expectCutsAskForTheRest(name + " with a byte changed", changed);
        }
        // Its first half followed by noise as long as itself: never called intact. A disk image is
        // found by its trailer, which the cut took away.
        if (path.extension() == ".dmg") continue;
        expectCutsAskForTheRest(name, file);
        SCOPED_TRACE(path.filename().string() + " cut in half");
        Bytes bytes(file.begin(), file.begin() + size / 2);
        for (std::int64_t i = 0; i < size; ++i) bytes.push_back(static_cast<std::byte>(rng()));
        const auto format = markAt(bytes, 0, all);
        ASSERT_TRUE(format);
        const auto m = measure(*format, bytes, static_cast<std::int64_t>(bytes.size()));
        ASSERT_TRUE(m);
        EXPECT_FALSE(std::holds_alternative<IntegrityVerdict::LooksIntact>(m->verdict.value()));
        expectCutsAskForTheRest(name + " cut in half and followed by noise", bytes);
    }

    // Archives with block headers longer than 64 bytes, and a RAR 4 archive whose main header
    // holds 300 more bytes (an old archive's comment), cut.
    for (const char* name : {"rar/rar5_unicode.rar", "rar/rar5_encrypted.rar", "rar/rar.rar"}) {
        Bytes file = bytesOf(fixtures::readWhole(std::string(QUARLIN_CORPUS_DIR "/") + name));
        if (name == std::string_view("rar/rar.rar")) {
            file.insert(file.begin() + 20, 300, std::byte{0});
            file[12] = static_cast<std::byte>(std::to_integer<int>(file[12]) + 300 % 256);
            file[13] = static_cast<std::byte>(std::to_integer<int>(file[13]) + 300 / 256);
        }
        expectCutsAskForTheRest(name, file);
    }
}

// What a RAR archive stores as it is carries a CRC-32 that holds without unpacking: no
// complete archive of the corpus fails it, and one with a byte of its stored text changed does.
TEST(Measure, RARDataStoredAsItIsIsCheckedAgainstItsCRC) {
    std::ifstream lengths(QUARLIN_CORPUS_DIR "/lengths.tsv");
    int complete = 0, changedRows = 0;
    for (std::string line; std::getline(lengths, line);) {
        if (!line.starts_with("rar/") || line.find("\tcomplete archive") == std::string::npos) continue;
        const std::string name = line.substr(0, line.find('\t'));
        SCOPED_TRACE(name);
        ++complete;
        Bytes file = bytesOf(fixtures::readWhole(std::string(QUARLIN_CORPUS_DIR "/") + name));
        const auto size = static_cast<std::int64_t>(file.size());
        const auto m = measure(*markAt(file, 0, FormatSet().set()), file, size);
        ASSERT_TRUE(m);
        EXPECT_NE(verdictKind(m->verdict), "failed");
        for (const std::string stored : {"test text document", "hello libarchive test suite"}) {
            const auto text = bytesOf(stored);
            const auto at = std::search(file.begin(), file.end(), text.begin(), text.end());
            if (at == file.end()) continue;
            ++changedRows;
            at[5] ^= std::byte{1};
            const auto changed = measure(*markAt(file, 0, FormatSet().set()), file, size);
            at[5] ^= std::byte{1};
            ASSERT_TRUE(changed);
            EXPECT_EQ(verdictKind(changed->verdict), "failed");
        }
    }
    EXPECT_GE(complete, 10);
    EXPECT_GE(changedRows, 3);
}

}  // namespace
}  // namespace quarlin::recovery
