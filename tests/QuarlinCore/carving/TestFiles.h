// Files for the carving and command tests: a scratch folder that removes itself, running the
// real encoders that make sample files, and reading files whole.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace quarlin::testing {

using Bytes = std::vector<std::byte>;

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Runs a shell command line; throws std::runtime_error (with the command) when it fails.
void run(const std::string& command);

Bytes readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const Bytes& bytes);
Bytes concat(std::initializer_list<Bytes> parts);
Bytes randomBytes(std::size_t n, unsigned seed);
std::filesystem::path corpus(const std::string& relative);

// A 16-bit stereo WAV of `seconds` of a tone at `rate` Hz, made by ffmpeg.
std::filesystem::path makeWAV(const TempDir& dir, const std::string& name, int rate,
                              double seconds);

}  // namespace quarlin::testing
