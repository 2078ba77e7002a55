// Scratch files for the reader tests: a fresh directory per test, removed afterwards,
// and files whose every byte can be predicted from its position.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "QuarlinCore/io/Data.h"

namespace quarlin::testing {

// Not a multiple of any block size, so a misplaced block shows.
inline std::byte patternByte(std::uint64_t position) {
    return static_cast<std::byte>((position * 131 + position / 251) & 0xFF);
}

inline Data patternBytes(std::uint64_t position, std::size_t length) {
    Data bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = patternByte(position + i);
    return bytes;
}

class ScratchDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "quarlin-readers-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string pathFor(const std::string& name) const { return (directory_ / name).string(); }

    std::string writePatternFile(const std::string& name, std::size_t length) const {
        const std::string path = pathFor(name);
        std::ofstream out(path, std::ios::binary);
        const Data bytes = patternBytes(0, length);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    std::filesystem::path directory_;
};

}  // namespace quarlin::testing
