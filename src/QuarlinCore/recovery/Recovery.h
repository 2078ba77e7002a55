// Recovery from a scan report: the records a user selects become a recovery job, and each
// file is copied from the source's extents, read-only, into a destination folder, never over
// a file already there, its written length checked against the record.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "QuarlinCore/io/BlockReader.h"
#include "QuarlinCore/model/RecoveryJob.h"
#include "QuarlinCore/recovery/ScanReport.h"

namespace quarlin::recovery {

struct RecoverySelection {
    std::optional<std::string> verdictKind;  // "looksIntact", "mayBePartial", "failed" or "unknown"
    std::vector<std::string> ids;            // record ids; empty: every record of the kind
};

// The verdict kind's JSON type name.
std::string verdictKind(const IntegrityVerdict& verdict);

// Why the selection cannot select anything: an unknown verdict kind, or an id that is not one.
// Nothing when it can.
std::optional<std::string> selectionError(const RecoverySelection& selection);

// A selection made ready to be asked of millions of records: its ids are parsed once.
class RecordSelector {
public:
    explicit RecordSelector(const RecoverySelection& selection);
    // Whether the selection takes the record.
    bool takes(const FileRecord& record) const;
    // Whether the record's id is among the selection's, whatever its verdict.
    bool names(const FileRecord& record) const { return ids_.contains(record.id); }
    // The first of the selection's ids that none of `seen` is; nothing when each is.
    std::optional<std::string> firstMissing(const std::unordered_set<UUID>& seen) const;

private:
    std::optional<std::string> verdictKind_;
    std::unordered_set<UUID> ids_;
    std::vector<std::string> texts_;  // the ids as given
};

// Fails with a message when the selection names an unknown kind or an id the report lacks.
std::expected<RecoveryJob, std::string> makeRecoveryJob(const ScanReport& report, const RecoverySelection& selection,
                                                        DeviceIdentity destination, std::string destinationPath);

struct RecoveredFile {
    std::string name;
    std::uint64_t bytesWritten = 0;
    std::optional<std::string> error;
    // Bytes of the file that could not be read from the source (bad blocks): zeros in it.
    std::uint64_t unreadableBytes = 0;
    bool nameTaken = false;  // a file of its name was there already (and is left as it is)
};

// Copies every file of the job, each as `<name>.part` renamed to its name once whole, never
// over a file of that name. A failure of one file (its name taken, a read or a write failing,
// a record whose extents leave the source) is reported for that file and the others go on; a
// file left incomplete is removed again. `stopRequested` is asked before each file and each
// piece read: true ends the copy, the file being copied removed with "stopped before it was
// complete", the files after it not begun. `copied` is told the length of each piece written.
std::vector<RecoveredFile> recoverFiles(BlockReader& reader, std::uint64_t sourceBytes, const RecoveryJob& job,
                                        const std::function<void(const RecoveredFile&)>& done = {},
                                        const std::function<bool()>& stopRequested = {},
                                        const std::function<void(std::uint64_t)>& copied = {});

// A record name is used as a file name only when it is one plain component.
bool isPlainFileName(std::string_view name);

}  // namespace quarlin::recovery
