#include "TestFiles.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace quarlin::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarlin-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    const std::vector<char> chars((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    Bytes out(chars.size());
    std::memcpy(out.data(), chars.data(), chars.size());
    return out;
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::byte>(rng());
    return out;
}

std::filesystem::path corpus(const std::string& relative) {
    return std::filesystem::path(QUARLIN_CORPUS_DIR) / relative;
}

std::filesystem::path makeWAV(const TempDir& dir, const std::string& name, int rate,
                              double seconds) {
    const auto path = dir / name;
    run("ffmpeg -nostdin -loglevel error -y -f lavfi -i 'sine=frequency=523:duration=" +
        std::to_string(seconds) + "' -ac 2 -ar " + std::to_string(rate) + " '" + path.string() +
        "'");
    return path;
}

}  // namespace quarlin::testing
