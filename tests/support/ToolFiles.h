// Test support for the format tests: a scratch folder where real encoders and archivers write
// sample files, the corpus, and small helpers to read, make and patch bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarlin::testsupport {

using Bytes = std::vector<std::byte>;

// Runs a shell command line; throws std::runtime_error (with the command) when it fails.
void run(const std::string& command);
std::vector<std::byte> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::span<const std::byte> bytes);
std::filesystem::path corpus(const std::string& relative);

// A fresh folder, removed with everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // Runs a shell command inside the folder; true when it exits with status 0. Its output
    // goes to a log in the folder so that failures can be shown.
    bool run(const std::string& command) const;
    std::string lastLog() const;

  private:
    std::filesystem::path path_;
};

// A WAV file of `seconds` of sound: a sine, or white noise when `noise` (noise makes big
// frames). Written by ffmpeg.
bool makeWav(const ScratchDir& dir, const std::string& name, int sampleRate, int channels,
             double seconds, bool noise = false, const std::string& codec = "pcm_s16le");

// A 16-bit stereo tone of `seconds` at `rate` Hz; throws when ffmpeg fails.
std::filesystem::path makeWAV(const ScratchDir& dir, const std::string& name, int rate, double seconds);

std::vector<std::byte> bytesOf(std::string_view text);
Bytes concat(std::initializer_list<Bytes> parts);
Bytes randomBytes(std::size_t n, unsigned seed);
void putBE(std::vector<std::byte>& bytes, std::size_t at, std::uint64_t value, int width);
void putLE(std::vector<std::byte>& bytes, std::size_t at, std::uint64_t value, int width);

// `inner` with `before` bytes of unrelated data in front and `after` bytes behind it.
std::vector<std::byte> embed(std::span<const std::byte> inner, std::size_t before,
                             std::size_t after, std::uint32_t seed = 7);


struct CorpusEntry {
    std::string file;  // relative to the corpus folder
    std::string format;
    std::int64_t at = 0;
    std::int64_t length = 0;
};

// The rows of the corpus's lengths.tsv for one format.
std::vector<CorpusEntry> corpusEntries(const std::string& format);


// The end of the heap data as an XML reader sees a XAR TOC: the largest offset plus length
// (else size) over its <data>, <ea> and <checksum> elements.
std::uint64_t xmlHeapDataEnd(const std::string& toc);

}  // namespace quarlin::testsupport
