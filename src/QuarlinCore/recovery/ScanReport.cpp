#include "QuarlinCore/recovery/ScanReport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "QuarlinCore/io/JSONSupport.h"
#include "QuarlinCore/recovery/FileWriter.h"

namespace quarlin::recovery {
namespace {

// Reports above this size are refused before they are parsed.
constexpr std::uintmax_t kMaxReportBytes = std::uintmax_t{1} << 30;

// Calls `put` with the report's text piece by piece: the document without its records, then
// each record of `report.files` and of `found`, so that the whole is never built in memory.
// The text is the document's, pretty-printed with tabs.
template <class Put>
std::expected<ReportTotals, std::string> emitReport(const ScanReport& report, FoundFiles* found, Put put) {
    nlohmann::ordered_json j;
    j["source"] = report.source;
    j["sourceIdentity"] = report.sourceIdentity;
    j["sourceBytes"] = report.sourceBytes;
    j["blockSize"] = report.blockSize;
    j["rangeFrom"] = report.rangeFrom;
    j["rangeEnd"] = report.rangeEnd;
    j["stoppedAt"] = report.stoppedAt;
    if (report.coveredUntil > report.stoppedAt) j["coveredUntil"] = report.coveredUntil;
    j["finished"] = report.finished;
    if (report.error) j["error"] = *report.error;
    j["formats"] = report.formats;
    j["unaligned"] = report.unaligned;
    j["filesWritten"] = report.filesWritten;
    j["reads"] = {{"readCallCount", report.readCallCount}, {"blocksRead", report.blocksRead}};
    auto& unreadable = j["unreadable"] = nlohmann::ordered_json::array();
    for (const auto& range : report.unreadable) unreadable.push_back(range);
    // Text from the machine (a path, a device name) may hold any bytes: invalid UTF-8 is
    // replaced rather than losing the whole report.
    std::string head = j.dump(1, '\t', false, nlohmann::ordered_json::error_handler_t::replace);
    head.resize(head.size() - 2);  // its closing "\n}": the records come first
    put(head + ",\n\t\"files\": [");
    ReportTotals totals;
    std::string piece;
    const auto record = [&](std::string_view text, std::uint64_t length, std::size_t verdict,
                            std::optional<CarvedFormat> format) {
        piece = totals.files == 0 ? "\n\t\t" : ",\n\t\t";
        piece += text;
        put(piece);
        ++totals.files;
        totals.bytes += length;
        ++totals.verdicts.at(verdict);
        if (format) ++totals.perFormat.at(static_cast<std::size_t>(*format));
    };
    for (const auto& file : report.files)
        record(reportRecordText(file), file.declaredSize, file.verdict.value().index(), std::nullopt);
    if (found) {
        auto visited = found->forEach([&](const FoundFiles::Entry& entry, std::string_view text) {
            record(text, entry.length, entry.verdict, entry.format);
        });
        if (!visited) return std::unexpected(visited.error());
    }
    put(totals.files == 0 ? "]\n}\n" : "\n\t]\n}\n");
    return totals;
}

}  // namespace

std::string reportJSON(const ScanReport& report) {
    std::string out;
    (void)emitReport(report, nullptr, [&](std::string_view piece) { out += piece; });
    return out;
}

namespace {

// From text or straight from a file, so that a large report is never held whole as text.
template <class Input>
std::expected<ScanReport, std::string> parseFrom(Input&& input, const std::function<void(FileRecord&&)>& onRecord) {
    ScanReport report;
    // A report may hold millions of records: each is read into its FileRecord as soon as the
    // parser has it and dropped from the document, which would take several times the memory.
    std::optional<std::string> recordError;
    std::string key;
    bool inFiles = false;
    std::size_t index = 0;
    const auto take = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        if (depth == 1 && event == Event::key) key = parsed.get<std::string>();
        if (depth == 1 && (event == Event::array_start || event == Event::array_end))
            inFiles = event == Event::array_start && key == "files";
        if (!inFiles || depth != 2 || event == Event::object_start || event == Event::array_start) return true;
        const std::string where = "files[" + std::to_string(index++) + "]: ";
        try {
            if (!recordError) {
                if (onRecord)
                    onRecord(parsed.get<FileRecord>());
                else
                    report.files.push_back(parsed.get<FileRecord>());
            }
        } catch (const std::exception& error) {
            recordError = where + error.what();
        }
        return false;
    };
    const nlohmann::json j = nlohmann::json::parse(std::forward<Input>(input), take, false);
    if (j.is_discarded()) return std::unexpected("the report is not valid JSON");
    if (recordError) return std::unexpected(*recordError);
    std::string where;  // the part being read, for the error
    try {
        requireObject(j);
        report.source = requiredString(j, "source");
        report.sourceIdentity = requiredObject(j, "sourceIdentity").get<DeviceIdentity>();
        report.sourceBytes = requiredUInt64(j, "sourceBytes");
        report.blockSize = requiredInt64(j, "blockSize");
        report.rangeFrom = requiredUInt64(j, "rangeFrom");
        report.rangeEnd = requiredUInt64(j, "rangeEnd");
        report.stoppedAt = requiredUInt64(j, "stoppedAt");
        report.finished = requiredBool(j, "finished");
        if (j.contains("coveredUntil")) report.coveredUntil = requiredUInt64(j, "coveredUntil");
        report.error = optionalString(j, "error");
        for (const auto& name : requiredArray(j, "formats")) {
            if (!name.is_string()) throwDecodingError("member 'formats' must hold strings");
            report.formats.push_back(name.get<std::string>());
        }
        report.unaligned = requiredBool(j, "unaligned");
        report.filesWritten = requiredBool(j, "filesWritten");
        const auto& reads = requiredObject(j, "reads");
        report.readCallCount = requiredInt64(reads, "readCallCount");
        report.blocksRead = requiredInt64(reads, "blocksRead");
        // Reports of scans that met no bad block may lack the list.
        if (j.contains("unreadable")) {
            where = "unreadable: ";
            for (const auto& range : requiredArray(j, "unreadable")) report.unreadable.push_back(range.get<DataExtent>());
            where.clear();
        }
        requiredArray(j, "files");  // its records were taken as they were parsed
    } catch (const std::exception& error) {
        return std::unexpected(where + error.what());
    }
    if (report.blockSize < 1 || report.rangeFrom > report.rangeEnd || report.rangeEnd > report.sourceBytes ||
        report.stoppedAt < report.rangeFrom || report.stoppedAt > report.rangeEnd || report.coveredUntil > report.sourceBytes)
        return std::unexpected("the report's range, stopping point and source size do not agree");
    for (std::size_t i = 0; i < report.unreadable.size(); ++i) {
        const auto& range = report.unreadable[i];
        if (range.byteLength == 0 || range.volumeByteOffset > report.sourceBytes ||
            range.byteLength > report.sourceBytes - range.volumeByteOffset ||
            (i > 0 && range.volumeByteOffset <= report.unreadable[i - 1].volumeByteOffset + report.unreadable[i - 1].byteLength))
            return std::unexpected("unreadable[" + std::to_string(i) + "]: not an area of the source after the one before it");
    }
    return report;
}

}  // namespace

std::expected<ScanReport, std::string> parseReport(std::string_view text) { return parseFrom(text, {}); }

std::vector<DataExtent> joinedRanges(std::vector<DataExtent> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const DataExtent& a, const DataExtent& b) {
        return a.volumeByteOffset < b.volumeByteOffset;
    });
    std::vector<DataExtent> joined;
    for (const auto& range : ranges) {
        if (range.byteLength == 0) continue;
        if (!joined.empty() && range.volumeByteOffset <= joined.back().volumeByteOffset + joined.back().byteLength) {
            auto& last = joined.back();
            last.byteLength = std::max(last.volumeByteOffset + last.byteLength, range.volumeByteOffset + range.byteLength) -
                              last.volumeByteOffset;
        } else {
            joined.push_back(range);
        }
    }
    return joined;
}

std::expected<ScanReport, std::string> readReport(const std::filesystem::path& path,
                                                 const std::function<void(FileRecord&&)>& onRecord) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) return std::unexpected("cannot read " + path.string() + ": " + error.message());
    if (size > kMaxReportBytes) return std::unexpected(path.string() + " is too large to be a report");
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::unexpected("cannot read " + path.string());
    auto report = parseFrom(in, onRecord);
    if (in.bad()) return std::unexpected("cannot read " + path.string());
    if (!report) return std::unexpected(path.string() + ": " + report.error());
    return report;
}

std::expected<ReportTotals, std::string> writeReport(const std::filesystem::path& path, const ScanReport& report,
                                                     FoundFiles* found) {
    const std::string temporary = path.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::unexpected("cannot create " + temporary + ": " + std::strerror(errno));
    std::string buffer;
    int failure = 0;  // errno of the first write that failed
    const auto flush = [&] {
        if (failure == 0 && !writeAllTo(fd, reinterpret_cast<const std::byte*>(buffer.data()), buffer.size()))
            failure = errno;
        buffer.clear();
    };
    const auto totals = emitReport(report, found, [&](std::string_view piece) {
        buffer += piece;
        if (buffer.size() >= (1U << 20)) flush();
    });
    flush();
    if (!totals) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return std::unexpected(totals.error());
    }
    if (failure != 0) {
        const std::string why = std::strerror(failure);
        ::close(fd);
        ::unlink(temporary.c_str());
        return std::unexpected("cannot write " + temporary + ": " + why);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temporary.c_str());
        return std::unexpected("cannot write " + path.string() + ": " + why);
    }
    return *totals;
}

}  // namespace quarlin::recovery
