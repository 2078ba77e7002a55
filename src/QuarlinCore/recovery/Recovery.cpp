#include "QuarlinCore/recovery/Recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "QuarlinCore/model/DataLayout.h"
#include "QuarlinCore/recovery/FileWriter.h"
#include "QuarlinCore/recovery/Scanner.h"

namespace quarlin::recovery {

std::string verdictKind(const IntegrityVerdict& verdict) {
    constexpr const char* kinds[] = {"looksIntact", "mayBePartial", "failed", "unknown"};
    return kinds[verdict.value().index()];
}

bool isPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::optional<std::string> selectionError(const RecoverySelection& selection) {
    if (selection.verdictKind && *selection.verdictKind != "looksIntact" && *selection.verdictKind != "mayBePartial" &&
        *selection.verdictKind != "failed" && *selection.verdictKind != "unknown")
        return "unknown verdict kind '" + *selection.verdictKind + "' (looksIntact, mayBePartial, failed or unknown)";
    for (const auto& id : selection.ids)
        if (!UUID::parse(id)) return "'" + id + "' is not a file id (the \"id\" of a record in the report)";
    return std::nullopt;
}

RecordSelector::RecordSelector(const RecoverySelection& selection)
    : verdictKind_(selection.verdictKind), texts_(selection.ids) {
    for (const auto& text : texts_)
        if (const auto id = UUID::parse(text)) ids_.insert(*id);
}

std::optional<std::string> RecordSelector::firstMissing(const std::unordered_set<UUID>& seen) const {
    for (const auto& text : texts_)
        if (const auto id = UUID::parse(text); !id || !seen.contains(*id)) return text;
    return std::nullopt;
}

bool RecordSelector::takes(const FileRecord& record) const {
    if (verdictKind_ && verdictKind(record.verdict) != *verdictKind_) return false;
    return ids_.empty() || ids_.contains(record.id);
}

std::expected<RecoveryJob, std::string> makeRecoveryJob(const ScanReport& report, const RecoverySelection& selection,
                                                        DeviceIdentity destination, std::string destinationPath) {
    if (auto error = selectionError(selection)) return std::unexpected(*error);
    const RecordSelector selector(selection);
    std::unordered_set<UUID> seen;
    for (const auto& record : report.files)
        if (selector.names(record)) seen.insert(record.id);
    if (const auto missing = selector.firstMissing(seen)) return std::unexpected("the report has no file with id " + *missing);
    RecoveryJob job{UUID::random(), report.sourceIdentity, std::move(destination), std::move(destinationPath), {},
                    Timestamp::now()};
    for (const auto& record : report.files)
        if (selector.takes(record)) job.selectedFiles.push_back(record);
    return job;
}

namespace {

constexpr const char* kStopped = "stopped before it was complete";

// Small files that lie near one another on the source (a disk of many small files) are served
// from one read of 1 MiB around them rather than a read each, which costs more than the bytes.
class NearbyReads {
public:
    // [offset, offset + length), when it is small and a window around it reads whole; nothing
    // else: the caller reads it itself, counting its own bad blocks.
    std::optional<std::span<const std::byte>> get(BlockReader& reader, std::uint64_t sourceBytes, std::uint64_t offset,
                                                  std::uint64_t length) {
        constexpr std::uint64_t kWindow = 1 << 20;
        if (length > kWindow / 4 || offset > sourceBytes || length > sourceBytes - offset) return std::nullopt;
        if (offset < start_ || offset + length > start_ + bytes_.size()) {
            if (offset >= failedStart_ && offset < failedEnd_) return std::nullopt;
            const auto block = static_cast<std::uint64_t>(std::max<std::int64_t>(reader.blockSize(), 1));
            const std::uint64_t start = offset - offset % block;
            const std::uint64_t end = std::min(sourceBytes, std::max(start + kWindow, offset + length));
            bytes_.clear();
            start_ = start;
            std::string error;
            // Read plainly: a window over bad blocks fails at once, rather than being read
            // around them here and again by each file's own reads.
            const bool read = readSourceRange(reader, sourceBytes, start, end - start, [&](std::span<const std::byte> piece) {
                bytes_.insert(bytes_.end(), piece.begin(), piece.end());
                return true;
            }, error);
            if (!read) {
                failedStart_ = start, failedEnd_ = end;
                bytes_.clear();
                return std::nullopt;
            }
        }
        return std::span<const std::byte>(bytes_).subspan(offset - start_, length);
    }

private:
    std::uint64_t start_ = 0;
    Data bytes_;
    std::uint64_t failedStart_ = 0, failedEnd_ = 0;  // a window that met bad blocks
};

std::optional<std::string> copyRecord(BlockReader& reader, std::uint64_t sourceBytes, const FileRecord& record,
                                      int fd, std::uint64_t& unreadable, const std::function<bool()>& stopRequested,
                                      const std::function<void(std::uint64_t)>& copied, NearbyReads& nearby) {
    if (!record.layout) return "the record says nothing of where its bytes are";
    if (const auto* resident = std::get_if<DataLayout::Resident>(&record.layout->value())) {
        const auto& bytes = resident->bytes;
        if (!writeAllTo(fd, bytes.data(), bytes.size())) return std::string("cannot write: ") + std::strerror(errno);
        if (copied) copied(bytes.size());
        return std::nullopt;
    }
    for (const auto& extent : std::get<DataLayout::Extents>(record.layout->value()).extents) {
        if (extent.isSparse()) {
            // A run without storage reads as zeros: leave a hole of its length.
            const off_t at = ::lseek(fd, 0, SEEK_CUR);
            if (at < 0 || extent.byteLength > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - at) ||
                ::ftruncate(fd, at + static_cast<off_t>(extent.byteLength)) != 0 ||
                ::lseek(fd, at + static_cast<off_t>(extent.byteLength), SEEK_SET) < 0)
                return std::string("cannot write: ") + std::strerror(errno);
            continue;
        }
        std::string error;
        const auto write = [&](std::span<const std::byte> piece) {
            if (stopRequested && stopRequested()) {
                error = kStopped;
                return false;
            }
            if (!writeAllTo(fd, piece.data(), piece.size())) {
                error = std::string("cannot write: ") + std::strerror(errno);
                return false;
            }
            if (copied) copied(piece.size());
            return true;
        };
        if (const auto held = nearby.get(reader, sourceBytes, extent.volumeByteOffset, extent.byteLength)) {
            if (!write(*held)) return error;
        } else if (!readSourceRange(reader, sourceBytes, extent.volumeByteOffset, extent.byteLength, write, error,
                                    &unreadable)) {
            return error;
        }
    }
    return std::nullopt;
}

std::string existsAlready(const std::filesystem::path& path) { return path.string() + " exists already and is left as it is"; }

// Gives the finished `part` the name `path`, never replacing a file of that name.
std::optional<std::string> publish(const std::filesystem::path& part, const std::filesystem::path& path) {
    if (::renameat2(AT_FDCWD, part.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return std::nullopt;
    if (errno == EEXIST) return existsAlready(path);
    if (errno != EINVAL && errno != ENOSYS) return "cannot rename " + part.string() + ": " + std::strerror(errno);
    // File systems without that (FAT among them): a hard link where they have them, else a
    // rename when nothing has the name, as near as they allow.
    if (::link(part.c_str(), path.c_str()) == 0) {
        ::unlink(part.c_str());
        return std::nullopt;
    }
    struct stat st {};
    if (errno == EEXIST || ::lstat(path.c_str(), &st) == 0) return existsAlready(path);
    if (std::rename(part.c_str(), path.c_str()) != 0) return "cannot rename " + part.string() + ": " + std::strerror(errno);
    return std::nullopt;
}

}  // namespace

std::vector<RecoveredFile> recoverFiles(BlockReader& reader, std::uint64_t sourceBytes, const RecoveryJob& job,
                                        const std::function<void(const RecoveredFile&)>& done,
                                        const std::function<bool()>& stopRequested,
                                        const std::function<void(std::uint64_t)>& copied) {
    std::vector<RecoveredFile> results;
    NearbyReads nearby;
    for (const auto& record : job.selectedFiles) {
        if (stopRequested && stopRequested()) break;
        RecoveredFile result{record.name, 0, std::nullopt};
        const auto path = std::filesystem::path(job.destinationPath) / record.name;
        // Written under a name of its own until whole, so that a recovery cut short (Ctrl-C, the
        // process killed) never leaves part of a file under the file's name.
        const auto part = std::filesystem::path(path.string() + ".part");
        struct stat existing {};
        int fd = -1;
        if (!isPlainFileName(record.name)) {
            result.error = "the record's name is not a plain file name";
        } else if (::lstat(path.c_str(), &existing) == 0) {
            result.error = existsAlready(path);
            result.nameTaken = true;
        } else if (fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644); fd < 0) {
            result.error = errno == EEXIST ? existsAlready(part) + " (an earlier recovery cut short leaves one)"
                                           : "cannot create " + part.string() + ": " + std::strerror(errno);
        } else {
            result.error = copyRecord(reader, sourceBytes, record, fd, result.unreadableBytes, stopRequested, copied, nearby);
            struct stat st {};
            if (!result.error && ::fstat(fd, &st) != 0) result.error = std::string("cannot check: ") + std::strerror(errno);
            if (::close(fd) != 0 && !result.error) result.error = std::string("cannot write: ") + std::strerror(errno);
            if (!result.error) {
                result.bytesWritten = static_cast<std::uint64_t>(st.st_size);
                if (result.bytesWritten != record.declaredSize)
                    result.error = "wrote " + std::to_string(result.bytesWritten) + " bytes of " +
                                   std::to_string(record.declaredSize);
            }
            if (!result.error) result.error = publish(part, path);
            // The part was made here, so removing a failed one loses nothing of the user's.
            if (result.error) ::unlink(part.c_str());
        }
        if (done) done(result);
        results.push_back(std::move(result));
    }
    return results;
}

}  // namespace quarlin::recovery
