// The FLAC and Ogg walkers on streams from real encoders, alone, inside unrelated bytes,
// truncated and damaged.
#include <gtest/gtest.h>

#include "FLACTools.h"
#include "QuarlinCore/carving/FLACWalker.h"
#include "QuarlinCore/carving/OggWalker.h"
#include "QuarlinCore/framing/OggFraming.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;

struct FLACCase {
    const char* name;
    const char* flacOptions;
    int sampleRate;
    int channels;
    bool variable;
    const char* codec = "pcm_s16le";
};

class FLACWalkerOnRealStreams : public ::testing::TestWithParam<FLACCase> {};

TEST_P(FLACWalkerOnRealStreams, MeasuresTheWholeStreamAloneAndInsideOtherBytes) {
    const auto& c = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(makeWav(dir, "in.wav", c.sampleRate, c.channels, 2.5, true, c.codec)) << dir.lastLog();
    ASSERT_TRUE(dir.run(std::string("flac -s -f --lax ") + c.flacOptions + " -o in.flac in.wav"))
        << dir.lastLog();
    auto frames = analyze(dir, "in.flac");
    auto file = readFile(dir / "in.flac");
    if (c.variable) {
        file = toVariableBlockSize(file, frames);
        writeFile(dir / "in.flac", file);
        frames = analyze(dir, "in.flac");
    }
    const auto size = std::int64_t(file.size());

    const auto walk = FLACWalker::walk(file, 0);
    ASSERT_TRUE(walk);
    EXPECT_EQ(walk->length, size);
    EXPECT_EQ(walk->frames, std::int64_t(frames.size()));
    EXPECT_EQ(walk->streamInfo.sampleRate, c.sampleRate);
    EXPECT_EQ(walk->streamInfo.channels, c.channels);
    EXPECT_EQ(walk->streamInfo.totalSamples, std::uint64_t(c.sampleRate * 5 / 2));

    const auto inside = embed(file, 3333, 20000, 11);
    EXPECT_EQ(FLACWalker::walk(inside, 3333), walk);
    EXPECT_FALSE(FLACWalker::walk(inside, 3332));

    // Cut inside frame k: the frames before it are measured, the cut one is not.
    for (const std::size_t k : {std::size_t{1}, frames.size() / 2, frames.size() - 1}) {
        const auto cutAt = std::size_t(frames[k].offset) + 9;
        const auto cut = FLACWalker::walk(std::span(file).first(cutAt), 0);
        ASSERT_TRUE(cut);
        EXPECT_EQ(cut->frames, std::int64_t(k)) << k;
        EXPECT_EQ(cut->length, frames[k].offset) << k;
    }
    // Metadata alone: found, without frames.
    EXPECT_EQ(FLACWalker::walk(std::span(file).first(std::size_t(frames[0].offset)), 0),
              (FLACWalk{frames[0].offset, 0, walk->streamInfo}));
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, FLACWalkerOnRealStreams,
    ::testing::Values(FLACCase{"default_44k_stereo", "", 44100, 2, false},
                      FLACCase{"block_576_8k_mono", "-b 576", 8000, 1, false},
                      FLACCase{"block_16384_96k", "-b 16384", 96000, 2, false},
                      FLACCase{"block_300_best", "-8 -b 300", 22050, 2, false},
                      FLACCase{"no_padding_48k", "--no-padding --no-seektable -b 2048", 48000, 2,
                               false},
                      FLACCase{"variable_4096", "-b 4096", 44100, 2, true},
                      FLACCase{"variable_1152_mono", "-b 1152", 32000, 1, true},
                      // Block sizes and rates that the header codes by table, in 8 or 16 bits, in kHz or tens of Hz.
                      FLACCase{"block_192_24bit", "-b 192", 48000, 2, false, "pcm_s24le"},
                      FLACCase{"block_100_rate_khz", "-b 100", 12000, 1, false},
                      FLACCase{"block_1000_rate_tens", "-b 1000", 200010, 1, false},
                      FLACCase{"six_channels_8bit", "-b 256", 32000, 6, false, "pcm_u8"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(FLACWalker, DamagedFrameEndsTheWalk) {
    ScratchDir dir;
    ASSERT_TRUE(makeWav(dir, "in.wav", 44100, 2, 1.0, true)) << dir.lastLog();
    ASSERT_TRUE(dir.run("flac -s -f -b 1024 -o in.flac in.wav")) << dir.lastLog();
    const auto file = readFile(dir / "in.flac");
    const auto frames = analyze(dir, "in.flac");
    // A flipped bit in the header of frame k breaks its CRC-8: frame k - 1 has no successor
    // and ends at its own footer, so exactly k frames are measured.
    for (const std::size_t k : {std::size_t{3}, frames.size() / 2}) {
        auto damaged = file;
        damaged[std::size_t(frames[k].offset) + 2] ^= std::byte{0x01};
        const auto walk = FLACWalker::walk(damaged, 0);
        ASSERT_TRUE(walk);
        EXPECT_EQ(walk->frames, std::int64_t(k));
        EXPECT_EQ(walk->length, frames[k].offset);
    }
    EXPECT_FALSE(FLACWalker::walk(file, -1));
    EXPECT_FALSE(FLACWalker::walk(file, std::int64_t(file.size()) + 1));
}

TEST(OggWalker, MeasuresRealFilesAloneChainedAndInsideOtherBytes) {
    ScratchDir dir;
    ASSERT_TRUE(makeWav(dir, "in.wav", 48000, 2, 2.0, true)) << dir.lastLog();
    ASSERT_TRUE(
        dir.run("oggenc -Q -o v.ogg in.wav && opusenc --quiet in.wav o.ogg && "
                "ffmpeg -hide_banner -loglevel error -i in.wav -c:a flac -f ogg f.ogg"))
        << dir.lastLog();
    std::vector<std::byte> chained;
    for (const char* name : {"v.ogg", "o.ogg", "f.ogg"}) {
        const auto file = readFile(dir / name);
        const auto size = std::int64_t(file.size());
        const auto walk = OggWalker::walk(file, 0);
        ASSERT_TRUE(walk) << name;
        EXPECT_EQ(walk->length, size) << name;
        EXPECT_TRUE(walk->firstPageIsBOS && walk->sawEOS) << name;
        EXPECT_GT(walk->pages, 2) << name;
        const auto inside = embed(file, 1000, 1000);
        EXPECT_EQ(OggWalker::walk(inside, 1000), walk) << name;
        EXPECT_FALSE(OggWalker::walk(inside, 999)) << name;
        // From the second page: found, but without the stream's beginning.
        const auto second = *OggPageFraming::pageLength(file, 0);
        EXPECT_EQ(OggWalker::walk(file, second),
                  (OggWalk{size - second, walk->pages - 1, false, true, size - second}))
            << name;
        chained.insert(chained.end(), file.begin(), file.end());
    }
    const auto walk = OggWalker::walk(chained, 0);
    ASSERT_TRUE(walk);
    EXPECT_EQ(walk->length, std::int64_t(chained.size()));
    EXPECT_FALSE(OggWalker::walk(chained, -1));
    EXPECT_FALSE(OggWalker::walk({}, 0));
}

}  // namespace
}  // namespace quarlin
