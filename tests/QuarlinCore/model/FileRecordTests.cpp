#include "QuarlinCore/model/FileRecord.h"

#include <gtest/gtest.h>

#include <chrono>
#include <concepts>
#include <functional>
#include <string>
#include <vector>

#include "DecodingSupport.h"
#include "QuarlinCore/model/RecoveryJob.h"

namespace quarlin {
namespace {

using namespace std::chrono;
using namespace std::string_literals;
using testing::decoded;
using testing::decodingError;

// A job is identified by its id only.
static_assert(!std::equality_comparable<RecoveryJob>);

Timestamp at(sys_days day, nanoseconds sinceMidnight) { return Timestamp::make(day, sinceMidnight).value(); }

const DeviceIdentity kSource{"disk4", UUID::parse("11111111-2222-3333-4444-555555555555"), "Card"};

FileRecord minimalRecord() {
    return FileRecord(*UUID::parse("a1b2c3d4-e5f6-4789-9abc-def012345678"), "IMG_0001.JPG", std::nullopt, 0,
                      std::nullopt, IntegrityVerdict::unknown(), DeviceIdentity{"image.img", std::nullopt, "image"},
                      std::nullopt, std::nullopt, std::nullopt);
}

FileRecord fullRecord() {
    return FileRecord(*UUID::parse("A1B2C3D4-E5F6-4789-9ABC-DEF012345678"), "Report final.docx", "/Users/me/Documents",
                      18446744073709551615ULL, 4294967295U, IntegrityVerdict::mayBePartial("last cluster missing"),
                      kSource, DataLayout::extents({{1048576, 65536}, DataExtent::sparse(4096)}),
                      at(2026y / December / 6, 18h + 34min + 46s + 123456789ns), at(1969y / December / 31, 23h + 59min + 59s + 500ms));
}

// Dates at the ends of what can be held are the JSON layer's tests.
TEST(FileRecord, RecordsRoundTripThroughText) {
    std::vector<FileRecord> records = {minimalRecord(), fullRecord()};
    FileRecord resident = minimalRecord();
    resident.layout = DataLayout::resident({std::byte{0xCA}, std::byte{0xFE}});
    resident.verdict = IntegrityVerdict::looksIntact();
    resident.firstCluster = 0;
    resident.directoryPath = "";
    records.push_back(resident);
    FileRecord epoch = minimalRecord();
    epoch.createdAt = Timestamp{};
    epoch.modifiedAt = at(2000y / February / 29, 1ns);
    records.push_back(epoch);
    for (const auto& record : records) {
        SCOPED_TRACE(nlohmann::json(record).dump());
        testing::expectRoundTrip(record);
        EXPECT_EQ(decoded<FileRecord>(testing::orderedText(record)), record);
    }
}

// Keys in field order, nested records too; the id written upper-case (read in either case).
TEST(FileRecord, WrittenForm) {
    EXPECT_EQ(testing::orderedText(minimalRecord()),
              R"({"id":"A1B2C3D4-E5F6-4789-9ABC-DEF012345678","name":"IMG_0001.JPG","declaredSize":0,)"
              R"("verdict":{"type":"unknown"},"sourceVolume":{"physicalDeviceID":"image.img","displayName":"image"}})");
    EXPECT_EQ(testing::orderedText(fullRecord()),
              R"({"id":"A1B2C3D4-E5F6-4789-9ABC-DEF012345678","name":"Report final.docx",)"
              R"("directoryPath":"/Users/me/Documents","declaredSize":18446744073709551615,"firstCluster":4294967295,)"
              R"("layout":{"type":"extents","extents":[{"volumeByteOffset":1048576,"byteLength":65536},)"
              R"({"volumeByteOffset":18446744073709551615,"byteLength":4096}]},)"
              R"("verdict":{"type":"mayBePartial","reason":"last cluster missing"},)"
              R"("sourceVolume":{"physicalDeviceID":"disk4","volumeUUID":"11111111-2222-3333-4444-555555555555",)"
              R"("displayName":"Card"},"createdAt":"2026-12-06T18:34:46.123456789Z",)"
              R"("modifiedAt":"1969-12-31T23:59:59.500Z"})");
}

// Names from a disk need not be UTF-8: writing replaces each bad byte and never fails.
TEST(FileRecord, TextThatIsNotUTF8IsWrittenWithReplacements) {
    FileRecord record = fullRecord();
    record.name = "caf\xE9.txt";
    record.directoryPath = "/mnt/\xFF\xFE";
    record.verdict = IntegrityVerdict::failed("bad \xC3");
    record.sourceVolume.displayName = "disk \xED\xA0\x80";  // an encoded surrogate
    const nlohmann::json written = record;
    const std::string text = written.dump();  // the strict writer would throw on a bad byte
    const FileRecord back = decoded<FileRecord>(text);
    EXPECT_EQ(back.name, "caf\uFFFD.txt"s);
    EXPECT_EQ(back.directoryPath, "/mnt/\uFFFD\uFFFD"s);
    EXPECT_EQ(back.verdict, IntegrityVerdict::failed("bad \uFFFD"));
    EXPECT_EQ(back.sourceVolume.displayName, "disk \uFFFD\uFFFD\uFFFD"s);
}

constexpr const char* kMinimalText =
    R"({"id":"a1b2c3d4-e5f6-4789-9abc-def012345678","name":"IMG_0001.JPG","declaredSize":0,)"
    R"("verdict":{"type":"unknown"},"sourceVolume":{"physicalDeviceID":"image.img","displayName":"image"})";

TEST(FileRecord, NullOrMissingOptionalsReadAsAbsent) {
    const std::string withNulls = std::string(kMinimalText) +
                                  R"(,"directoryPath":null,"firstCluster":null,"layout":null,"createdAt":null,)"
                                  R"("modifiedAt":null,"somethingNew":{"nested":[true]}})";
    EXPECT_EQ(decoded<FileRecord>(std::string(kMinimalText) + "}"), minimalRecord());
    EXPECT_EQ(decoded<FileRecord>(withNulls), minimalRecord());
    // Other offsets and fewer fractional digits read as the same instant.
    const FileRecord offset = decoded<FileRecord>(std::string(kMinimalText) + R"(,"createdAt":"2026-12-06T20:34:46.5+02:00"})");
    EXPECT_EQ(offset.createdAt, at(2026y / December / 6, 18h + 34min + 46s + 500ms));
}

// Any failure, however deep, fails the whole record.
TEST(FileRecord, DecodingFailures) {
    auto with = [](const std::string& members) { return std::string(kMinimalText) + "," + members + "}"; };
    auto without = [](const std::string& key) {
        nlohmann::json j = nlohmann::json::parse(std::string(kMinimalText) + "}");
        j.erase(key);
        return j.dump();
    };
    const std::pair<std::string, std::string> cases[] = {
        {without("id"), "[json.exception.out_of_range.403] key 'id' not found"},
        {without("sourceVolume"), "[json.exception.out_of_range.403] key 'sourceVolume' not found"},
        {with(R"("id":"a1b2c3d4e5f647899abcdef012345678")"),
         "[json.exception.other_error.501] member 'id' is not a valid UUID: a1b2c3d4e5f647899abcdef012345678"},
        {with(R"("id":42)"), "[json.exception.type_error.302] member 'id' must be a string, not number"},
        {with(R"("name":["a"])"), "[json.exception.type_error.302] member 'name' must be a string, not array"},
        {with(R"("directoryPath":7)"), "[json.exception.type_error.302] member 'directoryPath' must be a string, not number"},
        {with(R"("declaredSize":18446744073709551616)"),
         "[json.exception.type_error.302] member 'declaredSize' must be an unsigned integer, not number"},
        {with(R"("declaredSize":-1)"), "[json.exception.out_of_range.406] member 'declaredSize' is negative: -1"},
        {with(R"("firstCluster":4294967296)"),
         "[json.exception.out_of_range.406] member 'firstCluster' is out of range: 4294967296"},
        {with(R"("layout":"resident")"), "[json.exception.type_error.302] expected an object, not string"},
        {with(R"("verdict":{"type":"failed"})"), "[json.exception.out_of_range.403] key 'reason' not found"},
        {with(R"("verdict":"looksIntact")"), "[json.exception.type_error.302] member 'verdict' must be an object, not string"},
        {with(R"("sourceVolume":{"physicalDeviceID":"disk4"})"), "[json.exception.out_of_range.403] key 'displayName' not found"},
        {with(R"("sourceVolume":{"physicalDeviceID":"disk4","displayName":"d","volumeUUID":"nope"})"),
         "[json.exception.other_error.501] member 'volumeUUID' is not a valid UUID: nope"},
        {with(R"("createdAt":"yesterday")"),
         "[json.exception.other_error.501] member 'createdAt' is not an RFC 3339 date of the years 1 to 9999: yesterday"},
        // Instants outside the years 1 to 9999 (once the offset is applied) are refused.
        {with(R"("createdAt":"0000-12-31T23:59:59.500Z")"),
         "[json.exception.other_error.501] member 'createdAt' is not an RFC 3339 date of the years 1 to 9999: "
         "0000-12-31T23:59:59.500Z"},
        {with(R"("modifiedAt":"9999-12-31T23:59:59-00:01")"),
         "[json.exception.other_error.501] member 'modifiedAt' is not an RFC 3339 date of the years 1 to 9999: "
         "9999-12-31T23:59:59-00:01"},
        {"[]", "[json.exception.type_error.302] expected an object, not array"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decodingError<FileRecord>(text), message);
    }
}

TEST(FileRecord, HostileDocumentsFailCleanly) {
    // Nesting far deeper than any record: parsed without recursion, refused as a wrong type.
    const std::string deep = std::string(R"({"id":)") + std::string(200000, '[') + std::string(200000, ']') + "}";
    EXPECT_EQ(decodingError<FileRecord>(deep), "[json.exception.type_error.302] member 'id' must be a string, not array");

    // Large but well-formed: a long name and a layout of many extents read back whole.
    FileRecord big = minimalRecord();
    big.name = std::string(4 << 20, 'n');
    std::vector<DataExtent> extents;
    for (std::uint64_t i = 0; i < 100000; ++i) extents.push_back({i * 4096, 4096});
    big.layout = DataLayout::extents(std::move(extents));
    testing::expectRoundTrip(big);
}

}  // namespace
}  // namespace quarlin
