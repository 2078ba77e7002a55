// The files a scan finds, kept on disk as they are found rather than in memory: a source of
// any number of files (a hostile one can hold a small gzip member in every sector) costs the
// scan no more memory than a source of a few. Each record is kept as the text the report
// holds, with what is needed to order it and to leave it out.
//
// Files are found in order of their offset on the source, except disk images, which are found
// by their trailer and begin before it. Those are kept apart and merged back in by offset when
// the records are read; a file that lies inside a disk image found whole after it is part of
// that image and left out then.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QuarlinCore/model/FileRecord.h"
#include "QuarlinCore/recovery/CarvedFormat.h"

namespace quarlin::recovery {

// A record's text in a report: its JSON, pretty-printed with tabs and indented two levels.
std::string reportRecordText(const FileRecord& record);

class FoundFiles {
public:
    struct Entry {
        std::uint64_t offset = 0;  // of the file on the source
        std::uint64_t length = 0;
        std::optional<CarvedFormat> format;  // none for the records of an earlier scan
        std::uint8_t verdict = 0;            // the index of the record's verdict kind
        std::string name;
    };

    // Keeps its records in unnamed files in `directory`, on its file system, gone with the object.
    static std::expected<std::shared_ptr<FoundFiles>, std::string> create(const std::filesystem::path& directory);
    ~FoundFiles();
    FoundFiles(const FoundFiles&) = delete;
    FoundFiles& operator=(const FoundFiles&) = delete;

    std::expected<void, std::string> add(const FileRecord& record, std::optional<CarvedFormat> format);
    std::uint64_t added() const { return added_; }

    // Each record by offset, with its text, leaving out those inside a disk image found whole
    // after them; `leftOut`, when given, is told of those.
    std::expected<void, std::string> forEach(const std::function<void(const Entry&, std::string_view text)>& visit,
                                             const std::function<void(const Entry&)>& leftOut = {});
    // Removes from `directory` the files of records left out since the last call.
    std::expected<void, std::string> removeFilesLeftOut(const std::filesystem::path& directory);
    // Every record, parsed back: for short lists.
    std::vector<FileRecord> records();

private:
    struct Stream {
        int fd = -1;
        std::string buffer;  // written to fd when it grows, and before the stream is read
        bool flush();
    };
    FoundFiles() = default;
    Stream files_;   // in the order found, which is by offset
    Stream images_;  // disk images, by the offset of their trailer
    // The ranges of the disk images found whole, up to a bound: past it, files inside the
    // images found later are kept (reported twice rather than the bound broken).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> imageRanges_;
    std::size_t imageRangesRemoved_ = 0;  // how many of them removeFilesLeftOut has handled
    std::uint64_t added_ = 0;
    std::string directory_;
};

}  // namespace quarlin::recovery
