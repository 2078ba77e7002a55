// Runs the real `quarlin` binary and reads what it prints and how it exits.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ToolFiles.h"

namespace quarlin {
namespace {

using testsupport::Bytes;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& arg) {
    std::string out = "'";
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Outcome quarlin(const std::vector<std::string>& args) {
    testsupport::ScratchDir dir;
    std::string command = quoted(QUARLIN_BINARY_DIR "/bin/quarlin");
    for (const auto& a : args) command += " " + quoted(a);
    command += " >" + quoted((dir / "out").string()) + " 2>" + quoted((dir / "err").string()) +
               " </dev/null";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(dir / "out"), slurp(dir / "err")};
}

// Exactly one JSON object on one line.
nlohmann::json onlyObject(const Outcome& o) {
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(o.err.empty()) << o.err;
    EXPECT_EQ(o.out.find('\n'), o.out.size() - 1) << o.out;
    const auto json = nlohmann::json::parse(o.out);
    EXPECT_TRUE(json.is_object());
    return json;
}

TEST(FrameCommand, MeasuresRARArchivesFromTheCorpus) {
    struct Case {
        std::string format;
        std::string file;
        std::int64_t at;
        nlohmann::json expected;
    };
    const Case cases[] = {
        {"rar5",
         "rar/rar5_stored.rar",
         0,
         {{"format", "rar5"},
          {"offset", 0},
          {"length", 109},
          {"endReached", true},
          {"crcMismatches", 0},
          {"encryptedHeaders", false}}},
        {"rar5",
         "rar/rar5_multiarchive_solid.part01.rar",
         0,
         {{"length", 13303}, {"endReached", true}}},
        {"rar5",
         "rar/malformed/rar5_encrypted_filenames.rar",
         0,
         {{"encryptedHeaders", true}, {"endReached", false}, {"blocks", 1}}},
        {"rar4",
         "rar/rar_sfx.exe",
         98816,
         {{"format", "rar4"}, {"offset", 98816}, {"length", 700}, {"endReached", true}}},
        {"rar4",
         "rar/malformed/rar_endarc_huge.rar",
         0,
         {{"length", 7}, {"blocks", 1}, {"endReached", false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> args{"frame", c.format, testsupport::corpus(c.file).string()};
        if (c.at) args.insert(args.end(), {"--at", std::to_string(c.at)});
        const auto json = onlyObject(quarlin(args));
        for (const auto& [key, value] : c.expected.items()) EXPECT_EQ(json.at(key), value) << key;
        EXPECT_TRUE(json.at("blocks").is_number_integer());
    }
}

TEST(FrameCommand, TruncatedArchiveReportsTheBlocksThatFit) {
    testsupport::ScratchDir dir;
    const Bytes whole = testsupport::readFile(testsupport::corpus("rar/rar5_multiple_files.rar"));
    testsupport::writeFile(dir / "cut.rar", Bytes(whole.begin(), whole.begin() + 900));
    const auto json = onlyObject(quarlin({"frame", "rar5", (dir / "cut.rar").string()}));
    EXPECT_EQ(json.at("endReached"), false);
    EXPECT_LE(json.at("length").get<std::int64_t>(), 900);
    EXPECT_GE(json.at("blocks").get<std::int64_t>(), 1);
}

TEST(FrameCommand, MeasuresDeflateAndMPEGFilesMadeByRealTools) {
    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "noise.bin", testsupport::randomBytes(50000, 2));
    testsupport::run("cd " + quoted(dir.path().string()) + " && zip -q -X one.zip noise.bin");
    const Bytes zip = testsupport::readFile(dir / "one.zip");
    auto le = [&](std::size_t at, int width) {
        std::uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i)
            v = v << 8 | std::to_integer<std::uint64_t>(zip[at + i]);
        return v;
    };
    const std::uint64_t dataOffset = 30 + le(26, 2) + le(28, 2);
    const auto deflate = onlyObject(quarlin(
        {"frame", "deflate", (dir / "one.zip").string(), "--at", std::to_string(dataOffset)}));
    EXPECT_EQ(deflate.at("format"), "deflate");
    EXPECT_EQ(deflate.at("offset"), dataOffset);
    EXPECT_EQ(deflate.at("length"), le(18, 4));
    EXPECT_EQ(deflate.at("outputLength"), 50000);
    EXPECT_EQ(deflate.at("crc32"), le(14, 4));

    const auto wav = testsupport::makeWAV(dir, "tone.wav", 44100, 1.5);
    const auto mp3 = dir / "tone.mp3";
    testsupport::run("lame --quiet -b 160 --tt Tone --add-id3v2 " + quoted(wav.string()) + " " +
                 quoted(mp3.string()));
    const auto mpeg = onlyObject(quarlin({"frame", "mpeg", mp3.string()}));
    EXPECT_EQ(mpeg.at("length"), std::filesystem::file_size(mp3));
    EXPECT_EQ(mpeg.at("id3v2"), true);
    EXPECT_EQ(mpeg.at("id3v1"), true);
    EXPECT_GT(mpeg.at("frames").get<std::int64_t>(), 50);
}

TEST(FrameCommand, FormatNotFoundAtTheOffsetExitsOneWithAReason) {
    const std::string rar4 = testsupport::corpus("rar/rar.rar").string();
    const std::vector<std::vector<std::string>> cases{
        {"frame", "rar5", rar4},
        {"frame", "rar4", rar4, "--at", "1"},
        {"frame", "rar4", rar4, "--at", "336"},
        {"frame", "rar4", rar4, "--at", "9223372036854775807"},
        {"frame", "mpeg", rar4},
        {"frame", "deflate", "/dev/null"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[1] + " " + args.back());
        const auto o = quarlin(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_TRUE(o.out.empty()) << o.out;
        EXPECT_NE(o.err.find("no "), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line: " << o.err;
    }
}

TEST(FrameCommand, BadArgumentsExitTwo) {
    const std::string rar4 = testsupport::corpus("rar/rar.rar").string();
    const std::vector<std::vector<std::string>> cases{
        {},
        {"frame"},
        {"frame", "rar4"},
        {"frame", "zip", rar4},
        {"frame", "rar4", rar4, "--at", "-1"},
        {"frame", "rar4", rar4, "--at", "ten"},
        {"frame", "rar4", rar4, "--at", "99999999999999999999"},
        {"frame", "rar4", "/nonexistent/file"},
        {"frame", "rar4", QUARLIN_CORPUS_DIR},
        {"frame", "rar4", rar4, "extra"},
        {"unknown-command"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        const auto o = quarlin(args);
        EXPECT_EQ(o.status, 2);
        EXPECT_TRUE(o.out.empty()) << o.out;
        EXPECT_FALSE(o.err.empty());
    }
}

}  // namespace
}  // namespace quarlin
