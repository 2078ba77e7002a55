#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "QuarlinCore/carving/MPEGWalker.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using testsupport::Bytes;

std::int64_t ffprobePackets(const std::filesystem::path& file) {
    const std::string command =
        "ffprobe -v error -count_packets -select_streams a:0 -show_entries "
        "stream=nb_read_packets -of csv=p=0 '" +
        file.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    long long packets = -1;
    if (!pipe || std::fscanf(pipe.get(), "%lld", &packets) != 1)
        throw std::runtime_error("ffprobe failed");
    return packets;
}

// lame and ffmpeg's MP3 muxer start the stream with an Info or Xing frame, which decoders do
// not count as audio.
bool startsWithInfoFrame(const Bytes& bytes, std::size_t firstFrame) {
    const std::size_t end = std::min(bytes.size(), firstFrame + 64);
    for (const char* mark : {"Xing", "Info"}) {
        const auto* m = reinterpret_cast<const std::byte*>(mark);
        if (std::search(bytes.begin() + firstFrame, bytes.begin() + end, m, m + 4) !=
            bytes.begin() + end)
            return true;
    }
    return false;
}

struct Encoding {
    const char* name;
    int wavRate;
    std::string command;  // {in} and {out} are replaced
    bool id3v2;
    bool id3v1;
};

std::string expand(std::string command, const std::string& in, const std::string& out) {
    command.replace(command.find("{in}"), 4, "'" + in + "'");
    command.replace(command.find("{out}"), 5, "'" + out + "'");
    return command;
}

const Encoding kEncodings[] = {
    {"MPEG-1 Layer III 128k CBR", 44100, "lame --quiet -b 128 {in} {out}", false, false},
    {"MPEG-1 Layer III VBR with both tags", 44100,
     "lame --quiet -V 2 --tt Title --ta Artist --add-id3v2 {in} {out}", true, true},
    {"MPEG-1 Layer III 320k at 48 kHz mono", 48000, "lame --quiet -m m -b 320 {in} {out}", false,
     false},
    {"MPEG-1 Layer III 32 kHz ID3v2 only", 32000,
     "lame --quiet -b 96 --id3v2-only --tt Song {in} {out}", true, false},
    {"MPEG-2 Layer III 22.05 kHz ID3v1 only", 44100,
     "lame --quiet -b 64 --resample 22.05 --id3v1-only --tt T {in} {out}", false, true},
    {"MPEG-2 Layer III 16 kHz 8k", 16000, "lame --quiet -b 8 {in} {out}", false, false},
    {"MPEG-2.5 Layer III 8 kHz", 44100, "lame --quiet -b 32 --resample 8 {in} {out}", false, false},
    {"MPEG-2.5 Layer III 11.025 kHz ABR", 11025, "lame --quiet --abr 40 {in} {out}", false, false},
    {"MPEG-1 Layer II by ffmpeg", 48000,
     "ffmpeg -nostdin -loglevel error -i {in} -c:a mp2 -b:a 192k -f mp2 {out}", false, false},
    {"MPEG-2 Layer II by ffmpeg", 24000,
     "ffmpeg -nostdin -loglevel error -i {in} -c:a mp2 -b:a 64k -f mp2 {out}", false, false},
    {"MPEG-1 Layer III by ffmpeg with both tags", 44100,
     "ffmpeg -nostdin -loglevel error -i {in} -c:a libmp3lame -b:a 112k -metadata title=x "
     "-write_id3v1 1 {out}",
     true, true},
};

class MPEGWalkerWithEncoders : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new testsupport::ScratchDir;
        int index = 0;
        for (const auto& e : kEncodings) {
            const auto wav =
                testsupport::makeWAV(*dir, "in" + std::to_string(index) + ".wav", e.wavRate, 2.5);
            const auto out = *dir / ("out" + std::to_string(index++) + ".mp3");
            testsupport::run(expand(e.command, wav.string(), out.string()));
        }
    }
    static void TearDownTestSuite() { delete dir; }
    static std::filesystem::path encoded(std::size_t index) {
        return *dir / ("out" + std::to_string(index) + ".mp3");
    }
    static testsupport::ScratchDir* dir;
};

testsupport::ScratchDir* MPEGWalkerWithEncoders::dir = nullptr;

TEST_F(MPEGWalkerWithEncoders, MeasuresWholeFilesWithTheirTags) {
    for (std::size_t i = 0; i < std::size(kEncodings); ++i) {
        const auto& e = kEncodings[i];
        SCOPED_TRACE(e.name);
        const Bytes file = testsupport::readFile(encoded(i));
        const auto walk = MPEGWalker::walk(file, 0);
        ASSERT_TRUE(walk);
        EXPECT_EQ(walk->length, static_cast<std::int64_t>(file.size()));
        EXPECT_EQ(walk->id3v2, e.id3v2);
        EXPECT_EQ(walk->id3v1, e.id3v1);
        const std::size_t firstFrame =
            e.id3v2 ? static_cast<std::size_t>(*MPEGWalker::id3v2Length(file, 0)) : 0;
        EXPECT_EQ(walk->frames,
                  ffprobePackets(encoded(i)) + (startsWithInfoFrame(file, firstFrame) ? 1 : 0));
    }
}

// An APEv2 tag of one item, as taggers write it: header (when asked), the item, the footer.
Bytes apeTag(bool withHeader) {
    const std::string item = std::string("\x05\0\0\0\0\0\0\0", 8) + "Title" + '\0' + "hello";
    auto frame = [&](std::uint32_t flags) {
        Bytes f(32);
        std::memcpy(f.data(), "APETAGEX", 8);
        const std::uint32_t fields[] = {2000, static_cast<std::uint32_t>(item.size() + 32), 1, flags};
        std::memcpy(f.data() + 8, fields, sizeof fields);  // little-endian on the machines we build for
        return f;
    };
    Bytes tag = withHeader ? frame(0xA0000000U) : Bytes();
    for (const char c : item) tag.push_back(static_cast<std::byte>(c));
    const Bytes footer = frame(withHeader ? 0x80000000U : 0);
    tag.insert(tag.end(), footer.begin(), footer.end());
    return tag;
}

// An ID3v2.4 tag with its "3DI" footer, as appended at a file's end.
Bytes appendedID3v24() {
    Bytes body(20, std::byte{0});
    std::memcpy(body.data(), "TIT2\0\0\0\x06\0\0\x03hey!", 15);
    Bytes tag{std::byte{'I'}, std::byte{'D'}, std::byte{'3'}, std::byte{4}, std::byte{0}, std::byte{0x10},
              std::byte{0}, std::byte{0}, std::byte{0}, std::byte{20}};
    tag.insert(tag.end(), body.begin(), body.end());
    Bytes footer(tag.begin(), tag.begin() + 10);
    std::memcpy(footer.data(), "3DI", 3);
    tag.insert(tag.end(), footer.begin(), footer.end());
    return tag;
}

TEST_F(MPEGWalkerWithEncoders, TagsAfterTheFramesBelongToTheFile) {
    const Bytes frames = testsupport::readFile(encoded(0));  // no tags of its own
    Bytes id3v1(128, std::byte{' '});
    std::memcpy(id3v1.data(), "TAG", 3);
    const struct {
        const char* name;
        std::vector<Bytes> tags;
    } cases[] = {
        {"APEv2 with header", {apeTag(true)}},
        {"APEv2 footer only", {apeTag(false)}},
        {"APEv2 then ID3v1", {apeTag(true), id3v1}},
        {"appended ID3v2.4", {appendedID3v24()}},
        {"appended ID3v2.4, APEv2, ID3v1", {appendedID3v24(), apeTag(false), id3v1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = frames;
        for (const Bytes& tag : c.tags) file.insert(file.end(), tag.begin(), tag.end());
        for (const Bytes& tail : {testsupport::randomBytes(5000, 3), Bytes(5000), frames}) {
            const auto walk = MPEGWalker::walk(testsupport::concat({file, tail}), 0);
            ASSERT_TRUE(walk);
            EXPECT_EQ(walk->length, static_cast<std::int64_t>(file.size()));
        }
    }
}

TEST_F(MPEGWalkerWithEncoders, FilesCutShortKeepOnlyWholeFrames) {
    const Bytes file = testsupport::readFile(encoded(1));  // ID3v2, frames, ID3v1
    const auto whole = MPEGWalker::walk(file, 0);
    ASSERT_TRUE(whole);
    const auto tag = *MPEGWalker::id3v2Length(file, 0);
    struct Cut {
        std::size_t keep;
        std::optional<std::int64_t> framesLost;  // absent: some
    };
    const Cut cuts[] = {
        {file.size() - 1, 0},  // inside the ID3v1 tag
        {file.size() - 128, 0},
        {file.size() - 129, 1},  // last byte of the last frame
        {file.size() / 2, std::nullopt},
        {static_cast<std::size_t>(tag) + 500, std::nullopt},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.keep);
        const auto walk = MPEGWalker::walk(std::span(file).first(cut.keep), 0);
        ASSERT_TRUE(walk);
        EXPECT_FALSE(walk->id3v1);
        EXPECT_TRUE(walk->id3v2);
        EXPECT_LE(walk->length, static_cast<std::int64_t>(cut.keep));
        EXPECT_GT(walk->length, static_cast<std::int64_t>(cut.keep) - 1441)
            << "at most one partial frame dropped";
        if (cut.framesLost) {
            EXPECT_EQ(walk->frames, whole->frames - *cut.framesLost);
        } else {
            EXPECT_LT(walk->frames, whole->frames);
        }
    }
    // Cut inside the ID3v2 tag: the tag does not fit, so nothing is found.
    EXPECT_FALSE(MPEGWalker::walk(std::span(file).first(static_cast<std::size_t>(tag) - 1), 0));
}

// The LAME tag's CRC-16 of the music (CRC-16/ARC) against the plain definition, a bit at a
// time: every length around the folding's block sizes, from offsets that leave the blocks
// unaligned, from a register carried in.
TEST(MPEGWalker, MusicCRCMatchesTheBitwiseDefinition) {
    EXPECT_EQ(MPEGWalker::crc16(testsupport::bytesOf("123456789")), 0xBB3D);
    const Bytes noise = testsupport::randomBytes(700, 3);
    for (std::size_t from : {0, 1, 15}) {
        std::uint16_t bitwise = 0x1234;
        for (std::size_t to = from; to <= noise.size(); ++to) {
            ASSERT_EQ(MPEGWalker::crc16(std::span(noise).subspan(from, to - from), 0x1234), bitwise) << from << ".." << to;
            if (to == noise.size()) break;
            bitwise ^= std::to_integer<std::uint16_t>(noise[to]);
            for (int bit = 0; bit < 8; ++bit) bitwise = (bitwise & 1U) ? (bitwise >> 1) ^ 0xA001U : bitwise >> 1;
        }
    }
}

TEST(MPEGWalker, ID3v2Headers) {
    struct Case {
        const char* name;
        Bytes header;
        std::optional<std::int64_t> length;
    };
    auto header = [](unsigned major, unsigned revision, unsigned flags,
                     std::initializer_list<unsigned> size) {
        Bytes out{std::byte{'I'},   std::byte{'D'},      std::byte{'3'},
                  std::byte(major), std::byte(revision), std::byte(flags)};
        for (unsigned s : size) out.push_back(std::byte(s));
        return out;
    };
    const Case cases[] = {
        {"v2.3, syncsafe 0x201", header(3, 0, 0, {0, 0, 4, 1}), 10 + 0x201},
        {"v2.4 with footer", header(4, 0, 0x10, {0, 0, 0, 20}), 10 + 20 + 10},
        {"v2.3 footer flag means nothing", header(3, 0, 0x10, {0, 0, 0, 20}), 10 + 20},
        {"v2.2", header(2, 0, 0, {0, 0, 0, 1}), 11},
        {"size byte with bit 7", header(3, 0, 0, {0, 0, 0x80, 1}), std::nullopt},
        {"version 5", header(5, 0, 0, {0, 0, 0, 1}), std::nullopt},
        {"revision 0xFF", header(3, 0xFF, 0, {0, 0, 0, 1}), std::nullopt},
        {"larger than the bytes", header(3, 0, 0, {0x7F, 0x7F, 0x7F, 0x7F}), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = c.header;
        bytes.resize(bytes.size() + 0x300);
        EXPECT_EQ(MPEGWalker::id3v2Length(bytes, 0), c.length);
    }
    EXPECT_FALSE(MPEGWalker::id3v2Length(header(3, 0, 0, {0, 0, 0}), 0)) << "nine bytes";
}

TEST(MPEGWalker, ATagOrNoiseWithoutAFrameIsNotFound) {
    const Bytes tag{std::byte{'I'}, std::byte{'D'}, std::byte{'3'}, std::byte{3},
                    std::byte{0},   std::byte{0},   std::byte{0},   std::byte{0},
                    std::byte{0},   std::byte{2},   std::byte{0},   std::byte{0}};
    EXPECT_FALSE(MPEGWalker::walk(testsupport::concat({tag, testsupport::randomBytes(2000, 8)}), 0));
    // A frame header that claims more bytes than there are.
    const Bytes lone{std::byte{0xFF}, std::byte{0xFB}, std::byte{0x90}, std::byte{0x64},
                     std::byte{0}};
    EXPECT_FALSE(MPEGWalker::walk(lone, 0));
    const Bytes noise = testsupport::randomBytes(5000, 9);
    for (const std::int64_t at :
         {std::int64_t{-1}, std::int64_t{5000}, std::int64_t{5001},
          std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()})
        EXPECT_FALSE(MPEGWalker::walk(noise, at)) << at;
    EXPECT_FALSE(MPEGWalker::walk({}, 0));
}

}  // namespace
}  // namespace quarlin
