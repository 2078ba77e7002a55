// `quarlin frame` on the formats flac, ogg, pst, udif, ebml and xar: the real binary, run on
// real files, with its JSON output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;
using nlohmann::json;

std::string textOf(const std::filesystem::path& path) {
    const auto bytes = readFile(path);
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

struct Run {
    int status = -1;
    std::string out;
};

// Runs `quarlin frame ARGS` inside the folder; the status is the command's own exit status.
Run quarlinFrame(const ScratchDir& dir, const std::string& args) {
    const std::string command = "cd '" + dir.path().string() + "' && '" + QUARLIN_BINARY_DIR +
                                "/bin/quarlin' frame " + args + " >out.json 2>err.txt </dev/null";
    const int raw = std::system(command.c_str());
    Run run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = textOf(dir / (run.status == 0 ? "out.json" : "err.txt"));
    return run;
}

TEST(FrameCommandFormats, ReportsEachFormatsFindings) {
    ScratchDir dir;
    ASSERT_TRUE(makeWav(dir, "in.wav", 48000, 2, 1.0, true)) << dir.lastLog();
    ASSERT_TRUE(dir.run(
        "flac -s -b 2048 -o a.flac in.wav && opusenc --quiet in.wav a.opus && "
        "ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=duration=1:size=64x48:rate=10 "
        "-c:v libvpx a.webm && mkdir x && echo one > x/a && echo two > x/b && "
        "cd x && bsdtar --format xar -cf ../a.xar a b"))
        << dir.lastLog();
    const auto flacSize = std::filesystem::file_size(dir / "a.flac");
    const auto opusSize = std::filesystem::file_size(dir / "a.opus");
    const auto webmSize = std::filesystem::file_size(dir / "a.webm");
    const std::string pst = corpus("pst/32-bit.pst").string();
    const std::string dmg = corpus("udif/compression-zlib.dmg").string();
    // The image inside unrelated bytes: its trailer is found where the caller says.
    writeFile(dir / "inside.bin", embed(readFile(dmg), 1000, 100));

    struct Case {
        std::string args;
        json expected;
    } cases[] = {
        {"flac a.flac",
         {{"format", "flac"},
          {"offset", 0},
          {"length", flacSize},
          {"frames", 24},
          {"sampleRate", 48000},
          {"channels", 2},
          {"bitsPerSample", 16},
          {"totalSamples", 48000}}},
        {"ogg a.opus",
         {{"format", "ogg"},
          {"offset", 0},
          {"length", opusSize},
          {"firstPageIsBOS", true},
          {"sawEOS", true}}},
        {"pst '" + pst + "'",
         {{"format", "pst"}, {"offset", 0}, {"length", 65536}, {"unicode", false}, {"ost", false}}},
        {"udif '" + dmg + "'",
         {{"format", "udif"}, {"offset", 0}, {"length", 9204}, {"trailerOffset", 8692}}},
        {"udif inside.bin --at 9692",
         {{"format", "udif"}, {"offset", 1000}, {"length", 9204}, {"trailerOffset", 9692}}},
        {"ebml a.webm",
         {{"format", "ebml"}, {"offset", 0}, {"length", webmSize}, {"docType", "webm"}}},
        {"xar a.xar", {{"format", "xar"}, {"offset", 0}, {"installerPackage", false}}},
    };
    for (const auto& c : cases) {
        const auto run = quarlinFrame(dir, c.args);
        ASSERT_EQ(run.status, 0) << c.args << ": " << run.out;
        const auto out = json::parse(run.out);
        for (const auto& [key, value] : c.expected.items()) {
            ASSERT_TRUE(out.contains(key)) << c.args << ": " << key;
            EXPECT_EQ(out.at(key), value) << c.args << ": " << key;
        }
    }

    // Every trailer field is reported, and the XAR keys hold the walker's heap end.
    const auto udif = json::parse(quarlinFrame(dir, "udif '" + dmg + "'").out);
    for (const char* key :
         {"dataForkOffset", "dataForkLength", "resourceForkOffset", "resourceForkLength",
          "xmlOffset", "xmlLength", "codeSignatureOffset", "codeSignatureLength"})
        EXPECT_TRUE(udif.contains(key) && udif.at(key).is_number_integer()) << key;
    const auto xar = json::parse(quarlinFrame(dir, "xar a.xar").out);
    // bsdtar's archive ends with 20 bytes past the heap end, which belong to it.
    EXPECT_EQ(xar.at("length").get<std::int64_t>(),
              28 + xar.at("tocCompressedLength").get<std::int64_t>() +
                  xar.at("heapEnd").get<std::int64_t>() + 20);
    EXPECT_GT(xar.at("tocLength").get<std::int64_t>(),
              xar.at("tocCompressedLength").get<std::int64_t>());
}

TEST(FrameCommandFormats, NotFoundExitsWithOne) {
    ScratchDir dir;
    writeFile(dir / "noise.bin", embed({}, 4096, 0, 99));
    for (const char* format : {"flac", "ogg", "pst", "udif", "ebml", "xar"}) {
        EXPECT_EQ(quarlinFrame(dir, std::string(format) + " noise.bin").status, 1) << format;
        EXPECT_EQ(quarlinFrame(dir, std::string(format) + " noise.bin --at 100").status, 1)
            << format;
        EXPECT_EQ(quarlinFrame(dir, std::string(format) + " missing.bin").status, 2) << format;
    }
}

}  // namespace
}  // namespace quarlin
