#include "ToolFiles.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace quarlin::testsupport {

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

std::vector<std::byte> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::byte> bytes(chars.size());
    for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
    return bytes;
}

void writeFile(const std::filesystem::path& path, std::span<const std::byte> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::filesystem::path corpus(const std::string& relative) {
    return std::filesystem::path(QUARLIN_CORPUS_DIR) / relative;
}

ScratchDir::ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quarlin-framing-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool ScratchDir::run(const std::string& command) const {
    const std::string full = "cd '" + path_.string() + "' && (" + command + ") >'" +
                             (path_ / "tool.log").string() + "' 2>&1 </dev/null";
    return std::system(full.c_str()) == 0;
}

std::string ScratchDir::lastLog() const {
    std::ifstream in(path_ / "tool.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool makeWav(const ScratchDir& dir, const std::string& name, int sampleRate, int channels,
             double seconds, bool noise, const std::string& codec) {
    const std::string source =
        noise
            ? "anoisesrc=color=white:amplitude=0.5:seed=3:sample_rate=" + std::to_string(sampleRate)
            : "sine=frequency=440:sample_rate=" + std::to_string(sampleRate);
    return dir.run("ffmpeg -hide_banner -loglevel error -y -f lavfi -i '" + source +
                   ":duration=" + std::to_string(seconds) + "' -ac " + std::to_string(channels) +
                   " -c:a " + codec + " -map_metadata -1 -flags +bitexact " + name);
}

std::filesystem::path makeWAV(const ScratchDir& dir, const std::string& name, int rate, double seconds) {
    if (!makeWav(dir, name, rate, 2, seconds)) throw std::runtime_error("ffmpeg failed: " + dir.lastLog());
    return dir / name;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes randomBytes(std::size_t n, unsigned seed) { return embed({}, 0, n, seed); }

std::vector<std::byte> bytesOf(std::string_view text) {
    std::vector<std::byte> bytes;
    for (char c : text) bytes.push_back(static_cast<std::byte>(c));
    return bytes;
}

void putBE(std::vector<std::byte>& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        bytes.at(at + static_cast<std::size_t>(i)) =
            static_cast<std::byte>((value >> (8 * (width - 1 - i))) & 0xFF);
}

void putLE(std::vector<std::byte>& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        bytes.at(at + static_cast<std::size_t>(i)) =
            static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

std::vector<std::byte> embed(std::span<const std::byte> inner, std::size_t before,
                             std::size_t after, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::byte> out;
    out.reserve(before + inner.size() + after);
    for (std::size_t i = 0; i < before; ++i) out.push_back(static_cast<std::byte>(random() & 0xFF));
    out.insert(out.end(), inner.begin(), inner.end());
    for (std::size_t i = 0; i < after; ++i) out.push_back(static_cast<std::byte>(random() & 0xFF));
    return out;
}


std::vector<CorpusEntry> corpusEntries(const std::string& format) {
    std::ifstream in(corpus("lengths.tsv"));
    std::vector<CorpusEntry> entries;
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        CorpusEntry entry;
        std::string at, length;
        std::getline(fields, entry.file, '\t');
        std::getline(fields, entry.format, '\t');
        std::getline(fields, at, '\t');
        std::getline(fields, length, '\t');
        if (entry.format != format) continue;
        entry.at = std::stoll(at);
        entry.length = std::stoll(length);
        entries.push_back(entry);
    }
    return entries;
}


std::uint64_t xmlHeapDataEnd(const std::string& toc) {
    static const std::regex element(R"(<(data|ea|checksum|signature)\b[^>]*>([\s\S]*?)</\1>)");
    static const std::regex offset(R"(<offset>(\d+)</offset>)"),
        length(R"(<length>(\d+)</length>)"), size(R"(<size>(\d+)</size>)");
    std::uint64_t end = 0;
    for (std::sregex_iterator it(toc.begin(), toc.end(), element), last; it != last; ++it) {
        const std::string body = (*it)[2];
        std::smatch o, l;
        if (!std::regex_search(body, o, offset)) continue;
        const bool hasLength =
            std::regex_search(body, l, length) || std::regex_search(body, l, size);
        end = std::max<std::uint64_t>(end, std::stoull(o[1]) + (hasLength ? std::stoull(l[1]) : 0));
    }
    return end;
}

}  // namespace quarlin::testsupport
