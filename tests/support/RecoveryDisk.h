// The disk that the recovery tests scan: an ext4 file system made from files of Debian's
// encoders and the corpus, some deleted, then files at odd offsets, cut files and planted
// false signatures (src/cli/sample/make_recovery_disk.py), with the manifest that says what a
// scan must bring back; and the check of a scan's files against that manifest.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "QuarlinCore/model/DataLayout.h"
#include "QuarlinCore/model/FileRecord.h"

namespace quarlin::fixtures {

struct PlacedFile {
    std::string name;
    std::string expect;  // "intact", "cut", "damaged", "distractor" or "fragmented"
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool deleted = false;
};

inline std::string readWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Makes the disk at `image` (cached beside it across runs of one build) and reads its manifest.
inline std::vector<PlacedFile> makeRecoveryDisk(const std::filesystem::path& image) {
    const std::string command = "python3 '" QUARLIN_SOURCE_DIR "/src/cli/sample/make_recovery_disk.py' '" +
                                image.string() + "' --raw-area --corpus '" QUARLIN_CORPUS_DIR "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make the recovery disk: " + command);
    std::vector<PlacedFile> placed;
    for (const auto& entry : nlohmann::json::parse(readWhole(image.string() + ".manifest.json")))
        placed.push_back({entry["name"], entry["expect"], entry.value("offset", std::uint64_t{0}), entry["length"],
                          entry["deleted"]});
    return placed;
}

inline std::uint64_t offsetOf(const FileRecord& record) {
    return std::get<DataLayout::Extents>(record.layout->value()).extents.at(0).volumeByteOffset;
}

// Every intact file placed comes back byte for byte and looks intact; a cut file comes back
// as a prefix of what was placed and may be partial; nothing that starts in a distractor or
// a damaged file looks intact. `files` are the bytes each record's file holds (from the scan's folder).
inline void expectScanMatches(const std::vector<PlacedFile>& placed, const std::string& image,
                              const std::vector<FileRecord>& records, const std::filesystem::path& folder) {
    int intact = 0;
    for (const auto& file : placed) {
        SCOPED_TRACE(file.name + " at " + std::to_string(file.offset));
        const FileRecord* found = nullptr;
        for (const auto& record : records)
            if (offsetOf(record) == file.offset) found = &record;
        const std::string placedBytes = image.substr(file.offset, file.length);
        if (file.expect == "intact") {
            ++intact;
            ASSERT_NE(found, nullptr);
            EXPECT_TRUE(std::holds_alternative<IntegrityVerdict::LooksIntact>(found->verdict.value()));
            EXPECT_EQ(found->declaredSize, file.length);
            EXPECT_TRUE(readWhole(folder / found->name) == placedBytes);
        } else if (file.expect == "cut") {
            ASSERT_NE(found, nullptr);
            EXPECT_TRUE(std::holds_alternative<IntegrityVerdict::MayBePartial>(found->verdict.value()));
            const std::string bytes = readWhole(folder / found->name);
            EXPECT_TRUE(!bytes.empty() && bytes.size() <= file.length && placedBytes.starts_with(bytes));
        } else if (file.expect == "distractor" || file.expect == "damaged") {
            for (const auto& record : records) {
                const auto at = offsetOf(record);
                const bool inside = at >= file.offset && at < file.offset + file.length;
                EXPECT_FALSE(inside && std::holds_alternative<IntegrityVerdict::LooksIntact>(record.verdict.value()))
                    << record.name;
            }
        }
    }
    EXPECT_GE(intact, 15) << "the disk holds every kind of file";
}

}  // namespace quarlin::fixtures
