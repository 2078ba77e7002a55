#include "QuarlinCore/recovery/FoundFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "QuarlinCore/model/DataLayout.h"
#include "QuarlinCore/recovery/FileWriter.h"

namespace quarlin::recovery {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxImageRanges = std::size_t{1} << 20;  // 16 MiB of ranges
constexpr std::uint8_t kNoFormat = 0xFF;

// An entry: its header (offset, length, name length, text length, format, verdict), its name,
// its text. The files are this process's own, read back only by it.
constexpr std::size_t kHeaderBytes = 8 + 8 + 4 + 4 + 1 + 1;
constexpr std::uint32_t kMaxTextBytes = std::uint32_t{64} << 20;

template <class T>
void put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
template <class T>
T get(const char*& in) {
    T value;
    std::memcpy(&value, in, sizeof value);
    in += sizeof value;
    return value;
}

// Reads a stream's entries from its start, a buffer at a time.
class EntryReader {
public:
    explicit EntryReader(int fd) : fd_(fd) {}
    // False at the end; throws at a read error or a torn entry.
    bool next(FoundFiles::Entry& entry, std::string& text) {
        if (!fill(kHeaderBytes)) return false;
        const char* in = buffer_.data() + used_;
        entry.offset = get<std::uint64_t>(in);
        entry.length = get<std::uint64_t>(in);
        const auto nameBytes = get<std::uint32_t>(in);
        const auto textBytes = get<std::uint32_t>(in);
        const auto format = get<std::uint8_t>(in);
        entry.format = format == kNoFormat ? std::nullopt : std::optional(static_cast<CarvedFormat>(format));
        entry.verdict = get<std::uint8_t>(in);
        if (nameBytes > 4096 || textBytes > kMaxTextBytes) throw std::runtime_error("a kept record is torn");
        if (!fill(kHeaderBytes + nameBytes + textBytes)) throw std::runtime_error("a kept record is cut short");
        const char* body = buffer_.data() + used_ + kHeaderBytes;
        entry.name.assign(body, nameBytes);
        text.assign(body + nameBytes, textBytes);
        used_ += kHeaderBytes + nameBytes + textBytes;
        return true;
    }

private:
    // Whether `bytes` bytes from used_ on are in the buffer, reading more as needed.
    bool fill(std::size_t bytes) {
        while (buffer_.size() - used_ < bytes) {
            buffer_.erase(0, used_);
            used_ = 0;
            const std::size_t had = buffer_.size();
            buffer_.resize(had + std::max(kBufferBytes, bytes));
            const ssize_t n = ::pread(fd_, buffer_.data() + had, buffer_.size() - had, static_cast<off_t>(offset_));
            if (n < 0 && errno == EINTR) {
                buffer_.resize(had);
                continue;
            }
            if (n < 0) throw std::runtime_error(std::string("cannot read the kept records: ") + std::strerror(errno));
            buffer_.resize(had + static_cast<std::size_t>(n));
            offset_ += static_cast<std::uint64_t>(n);
            if (n == 0) {
                if (buffer_.size() == used_) return false;
                throw std::runtime_error("a kept record is cut short");
            }
        }
        return true;
    }
    int fd_;
    std::uint64_t offset_ = 0;
    std::string buffer_;
    std::size_t used_ = 0;
};

int unnamedFile(const std::filesystem::path& directory) {
    int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != ENOENT && errno != EINVAL)) return fd;
    // File systems without unnamed files: a named one, unlinked at once.
    std::string name = (directory / ".quarlin-found-XXXXXX").string();
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
    return fd;
}

}  // namespace

std::string reportRecordText(const FileRecord& record) {
    // Text from the machine (a device name) may hold any bytes: invalid UTF-8 is replaced.
    const std::string json =
        nlohmann::ordered_json(record).dump(1, '\t', false, nlohmann::ordered_json::error_handler_t::replace);
    std::string text;
    text.reserve(json.size() + json.size() / 8);
    for (const char c : json) {
        text += c;
        if (c == '\n') text += "\t\t";
    }
    return text;
}

bool FoundFiles::Stream::flush() {
    const bool ok = writeAllTo(fd, reinterpret_cast<const std::byte*>(buffer.data()), buffer.size());
    buffer.clear();
    return ok;
}

std::expected<std::shared_ptr<FoundFiles>, std::string> FoundFiles::create(const std::filesystem::path& directory) {
    std::shared_ptr<FoundFiles> found(new FoundFiles);
    found->directory_ = directory.string();
    for (Stream* stream : {&found->files_, &found->images_}) {
        stream->fd = unnamedFile(directory);
        if (stream->fd < 0)
            return std::unexpected("cannot keep the records of found files in " + directory.string() + ": " +
                                   std::strerror(errno));
    }
    return found;
}

FoundFiles::~FoundFiles() {
    for (const Stream* stream : {&files_, &images_})
        if (stream->fd >= 0) ::close(stream->fd);
}

std::expected<void, std::string> FoundFiles::add(const FileRecord& record, std::optional<CarvedFormat> format) {
    std::uint64_t offset = 0;
    if (record.layout)
        if (const auto* extents = std::get_if<DataLayout::Extents>(&record.layout->value());
            extents && !extents->extents.empty())
            offset = extents->extents.front().volumeByteOffset;
    const std::string text = reportRecordText(record);
    if (record.name.size() > 4096 || text.size() > kMaxTextBytes) return std::unexpected("a record is too long to keep");
    const auto verdict = static_cast<std::uint8_t>(record.verdict.value().index());
    const bool image = format == CarvedFormat::udif;
    Stream& stream = image ? images_ : files_;
    put(stream.buffer, offset);
    put(stream.buffer, record.declaredSize);
    put(stream.buffer, static_cast<std::uint32_t>(record.name.size()));
    put(stream.buffer, static_cast<std::uint32_t>(text.size()));
    put(stream.buffer, format ? static_cast<std::uint8_t>(*format) : kNoFormat);
    put(stream.buffer, verdict);
    stream.buffer += record.name;
    stream.buffer += text;
    if (stream.buffer.size() >= kBufferBytes && !stream.flush())
        return std::unexpected("cannot keep the records of found files in " + directory_ + ": " + std::strerror(errno));
    if (image && verdict == 0 && imageRanges_.size() < kMaxImageRanges)
        imageRanges_.emplace_back(offset, offset + record.declaredSize);
    ++added_;
    return {};
}

std::expected<void, std::string> FoundFiles::forEach(
    const std::function<void(const Entry&, std::string_view text)>& visit,
    const std::function<void(const Entry&)>& leftOut) {
    for (Stream* stream : {&files_, &images_})
        if (!stream->flush())
            return std::unexpected("cannot keep the records of found files in " + directory_ + ": " + std::strerror(errno));
    // The image ranges by start, each with the furthest end of those that start no later: a
    // file [offset, end) lies inside one of them when that end reaches its own.
    auto ranges = imageRanges_;
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::uint64_t> furthest(ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i)
        furthest[i] = std::max(ranges[i].second, i > 0 ? furthest[i - 1] : 0);
    const auto inside = [&](const Entry& entry, bool isImage) {
        const std::uint64_t end = entry.offset + entry.length;
        const auto first = std::lower_bound(ranges.begin(), ranges.end(), std::pair{entry.offset, std::uint64_t{0}});
        const auto after = std::upper_bound(ranges.begin(), ranges.end(), std::pair{entry.offset, UINT64_MAX});
        const auto before = static_cast<std::size_t>(first - ranges.begin());
        if (!isImage) return after != ranges.begin() && furthest[static_cast<std::size_t>(after - ranges.begin()) - 1] >= end;
        // An image found whole is among the ranges itself: another must start before it, or
        // at its start and end further.
        return (before > 0 && furthest[before - 1] >= end) || (after != first && (after - 1)->second > end);
    };
    try {
        EntryReader files(files_.fd), images(images_.fd);
        Entry file, image;
        std::string fileText, imageText;
        bool haveFile = files.next(file, fileText), haveImage = images.next(image, imageText);
        while (haveFile || haveImage) {
            // At one offset the image comes first: the file there may lie inside it.
            const bool takeImage = haveImage && (!haveFile || image.offset <= file.offset);
            const Entry& entry = takeImage ? image : file;
            const bool wholeImage = takeImage && entry.verdict == 0;
            if (inside(entry, wholeImage)) {
                if (leftOut) leftOut(entry);
            } else if (visit) {
                visit(entry, takeImage ? imageText : fileText);
            }
            if (takeImage)
                haveImage = images.next(image, imageText);
            else
                haveFile = files.next(file, fileText);
        }
    } catch (const std::runtime_error& error) {
        return std::unexpected(error.what());
    }
    return {};
}

std::expected<void, std::string> FoundFiles::removeFilesLeftOut(const std::filesystem::path& directory) {
    if (imageRangesRemoved_ == imageRanges_.size()) return {};
    imageRangesRemoved_ = imageRanges_.size();
    return forEach({}, [&](const Entry& entry) {
        // Names of an earlier scan's report are only trusted as plain names in the folder.
        if (entry.name.empty() || entry.name == "." || entry.name == ".." || entry.name.find('/') != std::string::npos)
            return;
        std::error_code ignored;  // a file that was never written, or is gone already
        std::filesystem::remove(directory / entry.name, ignored);
    });
}

std::vector<FileRecord> FoundFiles::records() {
    std::vector<FileRecord> list;
    const auto read = forEach([&](const Entry&, std::string_view text) {
        list.push_back(nlohmann::json::parse(text).get<FileRecord>());
    });
    if (!read) throw std::runtime_error(read.error());
    return list;
}

}  // namespace quarlin::recovery
