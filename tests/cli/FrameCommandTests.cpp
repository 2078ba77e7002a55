// `quarlin frame` for every format: the real binary, run on real files, read by its JSON
// output, its messages and its exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;
using nlohmann::json;

struct Run {
    int status = -1;
    std::string out, err;
};

std::string textOf(const std::filesystem::path& path) {
    const auto bytes = readFile(path);
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Runs `quarlin ARGS` (a shell word list) inside the folder.
Run quarlin(const ScratchDir& dir, const std::string& args) {
    const std::string command = "cd '" + dir.path().string() + "' && '" + QUARLIN_BINARY_DIR + "/bin/quarlin' " +
                                args + " >out.txt 2>err.txt </dev/null";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, textOf(dir / "out.txt"), textOf(dir / "err.txt")};
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

TEST(FrameCommand, ReportsEachFormatsFindingsAsOneJSONObject) {
    ScratchDir dir;
    ASSERT_TRUE(makeWav(dir, "in.wav", 48000, 2, 1.0, true)) << dir.lastLog();
    ASSERT_TRUE(dir.run(
        "flac -s -b 2048 -o a.flac in.wav && opusenc --quiet in.wav a.opus && "
        "lame --quiet -b 160 --tt Tone --add-id3v2 in.wav a.mp3 && "
        "ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=duration=1:size=64x48:rate=10 "
        "-c:v libvpx a.webm && mkdir x && echo one > x/a && echo two > x/b && "
        "cd x && bsdtar --format xar -cf ../a.xar a b"))
        << dir.lastLog();
    writeFile(dir / "noise.bin", randomBytes(50000, 2));
    ASSERT_TRUE(dir.run("zip -q -X one.zip noise.bin")) << dir.lastLog();
    const Bytes zip = readFile(dir / "one.zip");
    auto le = [&](std::size_t at, int width) {
        std::uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i) v = v << 8 | std::to_integer<std::uint64_t>(zip[at + i]);
        return v;
    };
    const std::uint64_t deflateAt = 30 + le(26, 2) + le(28, 2);
    auto size = [&](const char* name) { return std::filesystem::file_size(dir / name); };
    const auto dmg = corpus("udif/compression-zlib.dmg");
    // The image inside unrelated bytes: its trailer is found where the caller says.
    writeFile(dir / "inside.bin", embed(readFile(dmg), 1000, 100));

    const struct {
        std::string args;
        json expected;
    } cases[] = {
        {"rar5 " + quoted(corpus("rar/rar5_stored.rar")),
         {{"format", "rar5"}, {"offset", 0}, {"length", 109}, {"endReached", true}, {"crcMismatches", 0},
          {"encryptedHeaders", false}}},
        {"rar5 " + quoted(corpus("rar/malformed/rar5_encrypted_filenames.rar")),
         {{"encryptedHeaders", true}, {"endReached", false}, {"blocks", 1}}},
        {"rar4 " + quoted(corpus("rar/rar_sfx.exe")) + " --at 98816",
         {{"format", "rar4"}, {"offset", 98816}, {"length", 700}, {"endReached", true}}},
        {"deflate one.zip --at " + std::to_string(deflateAt),
         {{"format", "deflate"}, {"offset", deflateAt}, {"length", le(18, 4)}, {"outputLength", 50000},
          {"crc32", le(14, 4)}}},
        {"mpeg a.mp3", {{"format", "mpeg"}, {"length", size("a.mp3")}, {"id3v2", true}, {"id3v1", true}}},
        {"flac a.flac",
         {{"format", "flac"}, {"offset", 0}, {"length", size("a.flac")}, {"frames", 24}, {"sampleRate", 48000},
          {"channels", 2}, {"bitsPerSample", 16}, {"totalSamples", 48000}}},
        {"ogg a.opus",
         {{"format", "ogg"}, {"offset", 0}, {"length", size("a.opus")}, {"firstPageIsBOS", true},
          {"sawEOS", true}}},
        {"pst " + quoted(corpus("pst/32-bit.pst")),
         {{"format", "pst"}, {"offset", 0}, {"length", 65536}, {"unicode", false}, {"ost", false}}},
        {"udif " + quoted(dmg), {{"format", "udif"}, {"offset", 0}, {"length", 9204}, {"trailerOffset", 8692}}},
        {"udif inside.bin --at 9692",
         {{"format", "udif"}, {"offset", 1000}, {"length", 9204}, {"trailerOffset", 9692}}},
        {"ebml a.webm", {{"format", "ebml"}, {"offset", 0}, {"length", size("a.webm")}, {"docType", "webm"}}},
        {"xar a.xar", {{"format", "xar"}, {"offset", 0}, {"installerPackage", false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = quarlin(dir, "frame " + c.args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.err.empty()) << run.err;
        ASSERT_EQ(run.out.find('\n'), run.out.size() - 1) << "one line: " << run.out;
        const auto out = json::parse(run.out);
        for (const auto& [key, value] : c.expected.items()) EXPECT_EQ(out.value(key, json()), value) << key;
    }
    EXPECT_GT(json::parse(quarlin(dir, "frame mpeg a.mp3").out).at("frames").get<std::int64_t>(), 40);  // a second of 1152-sample frames

    // Every trailer field is reported, and the XAR keys hold the walker's heap end.
    const auto udif = json::parse(quarlin(dir, "frame udif " + quoted(dmg)).out);
    for (const char* key : {"dataForkOffset", "dataForkLength", "resourceForkOffset", "resourceForkLength",
                            "xmlOffset", "xmlLength", "codeSignatureOffset", "codeSignatureLength"})
        EXPECT_TRUE(udif.contains(key) && udif.at(key).is_number_integer()) << key;
    const auto xar = json::parse(quarlin(dir, "frame xar a.xar").out);
    // bsdtar's archive ends with 20 bytes past the heap end, which belong to it.
    EXPECT_EQ(xar.at("length").get<std::int64_t>(),
              28 + xar.at("tocCompressedLength").get<std::int64_t>() + xar.at("heapEnd").get<std::int64_t>() + 20);
    EXPECT_GT(xar.at("tocLength").get<std::int64_t>(), xar.at("tocCompressedLength").get<std::int64_t>());
}

// Nothing of the format where asked: exit 1 with one line that says so. Bad arguments: exit 2.
TEST(FrameCommand, NotFoundExitsOneAndBadArgumentsExitTwo) {
    ScratchDir dir;
    writeFile(dir / "noise.bin", embed({}, 4096, 0, 99));
    const std::string rar4 = quoted(corpus("rar/rar.rar"));
    std::vector<std::string> notFound{"rar5 " + rar4, "rar4 " + rar4 + " --at 1", "rar4 " + rar4 + " --at 336",
                                      "rar4 " + rar4 + " --at 9223372036854775807", "mpeg " + rar4,
                                      "deflate /dev/null"};
    for (const char* format : {"flac", "ogg", "pst", "udif", "ebml", "xar"}) {
        notFound.push_back(std::string(format) + " noise.bin");
        notFound.push_back(std::string(format) + " noise.bin --at 100");
    }
    for (const auto& args : notFound) {
        SCOPED_TRACE(args);
        const auto run = quarlin(dir, "frame " + args);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_NE(run.err.find("no "), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    }
    for (const std::string& args : std::vector<std::string>{"", "frame", "frame rar4", "frame zip " + rar4, "frame rar4 " + rar4 + " --at -1",
          "frame rar4 " + rar4 + " --at ten", "frame rar4 " + rar4 + " --at 99999999999999999999",
          "frame rar4 /nonexistent/file", "frame rar4 " + quoted(corpus("")), "frame rar4 " + rar4 + " extra",
          "frame xar missing.bin", "unknown-command"}) {
        SCOPED_TRACE(args);
        const auto run = quarlin(dir, args);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_FALSE(run.err.empty());
    }
}

}  // namespace
}  // namespace quarlin
