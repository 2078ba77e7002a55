// The report a scan leaves in its output folder (report.json): what was scanned, how far the
// scan got, what the source's reads counted, and one file record per file found. It is
// rewritten whole and renamed into place, so the report on disk is always complete.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "QuarlinCore/io/DeviceIdentity.h"
#include "QuarlinCore/model/FileRecord.h"
#include "QuarlinCore/recovery/FoundFiles.h"

namespace quarlin::recovery {

struct ScanReport {
    std::string source{};  // the path the scan was given: /dev/rdiskN or an image file
    DeviceIdentity sourceIdentity{};
    std::uint64_t sourceBytes = 0;
    std::int64_t blockSize = 0;
    std::uint64_t rangeFrom = 0;
    std::uint64_t rangeEnd = 0;
    std::uint64_t stoppedAt = 0;  // --resume goes on from here
    // and looks for files from here on: before it, inside files found. Reports written before
    // it was kept lack it (0).
    std::uint64_t coveredUntil = 0;
    bool finished = false;
    std::optional<std::string> error{};
    std::vector<std::string> formats{};
    bool unaligned = false;
    bool filesWritten = false;
    std::int64_t readCallCount = 0;
    std::int64_t blocksRead = 0;
    // Areas of the source that could not be read: scanned as zeros. In order, apart.
    std::vector<DataExtent> unreadable{};
    std::vector<FileRecord> files{};
};

// `ranges` in order, those that touch or overlap joined.
std::vector<DataExtent> joinedRanges(std::vector<DataExtent> ranges);

std::string reportJSON(const ScanReport& report);
// Every key checked; the error names the key that failed (and the record's index).
std::expected<ScanReport, std::string> parseReport(std::string_view text);

// With `onRecord`, each record is handed to it as it is read, in order, and `files` stays
// empty: a report of millions of records is read in the memory of one. A record handed on
// may still be followed by an error further on.
std::expected<ScanReport, std::string> readReport(const std::filesystem::path& path,
                                                 const std::function<void(FileRecord&&)>& onRecord = {});

// What a written report holds.
struct ReportTotals {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;                         // their declared sizes
    std::array<std::uint64_t, 4> verdicts{};         // by the index of the verdict kind
    std::array<std::int64_t, kCarvedFormatCount> perFormat{};  // of the records whose format is known
};

// Writes `path`.tmp and renames it over `path`: the report, with the records of `found` after
// its own, written as they are serialised rather than built whole first.
std::expected<ReportTotals, std::string> writeReport(const std::filesystem::path& path, const ScanReport& report,
                                                     FoundFiles* found = nullptr);

}  // namespace quarlin::recovery
