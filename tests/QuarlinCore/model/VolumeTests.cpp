#include "QuarlinCore/model/Volume.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DecodingSupport.h"
#include "QuarlinCore/model/FilesystemType.h"

namespace quarlin {
namespace {

using testing::decoded;
using testing::decodingError;

TEST(FilesystemType, CasesRawStringsAndOrder) {
    const std::vector<std::pair<FilesystemType, std::string>> expected = {
        {FilesystemType::fat16, "FAT16"}, {FilesystemType::fat32, "FAT32"}, {FilesystemType::exFAT, "exFAT"},
        {FilesystemType::apfs, "APFS"},   {FilesystemType::hfsPlus, "HFS+"}, {FilesystemType::ntfs, "NTFS"},
        {FilesystemType::ext4, "ext4"},   {FilesystemType::unknown, "Unknown"},
    };
    const auto& all = FilesystemType::allCases();
    ASSERT_EQ(all.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].second);
        EXPECT_EQ(all[i], expected[i].first);
        EXPECT_EQ(all[i].rawValue(), expected[i].second);
        EXPECT_EQ(FilesystemType::fromRawValue(expected[i].second), expected[i].first);
        EXPECT_EQ(nlohmann::json(all[i]).dump(), "\"" + expected[i].second + "\"");
        EXPECT_EQ(decoded<FilesystemType>("\"" + expected[i].second + "\""), expected[i].first);
    }
}

TEST(FilesystemType, DecodingFailures) {
    const std::pair<const char*, const char*> cases[] = {
        // Raw strings are exact: no other case, no spaces.
        {R"("exfat")", "[json.exception.other_error.501] Unknown FilesystemType 'exfat'."},
        {R"(" APFS")", "[json.exception.other_error.501] Unknown FilesystemType ' APFS'."},
        {R"("")", "[json.exception.other_error.501] Unknown FilesystemType ''."},
        {"7", "[json.exception.type_error.302] FilesystemType must be a string, not number"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decodingError<FilesystemType>(text), message);
    }
}

}  // namespace
}  // namespace quarlin
