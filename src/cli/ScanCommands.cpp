#include "cli/ScanCommands.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "DiskAccess/PhysicalDeviceResolver.h"
#include "QuarlinCore/io/BSDDiskName.h"
#include "QuarlinCore/io/IOError.h"
#include "QuarlinCore/io/ImageFileBlockReader.h"
#include "QuarlinCore/io/UTF8.h"
#include "QuarlinCore/io/WriteAssertingBlockReader.h"
#include "QuarlinCore/recovery/Recovery.h"
#include "QuarlinCore/recovery/Scanner.h"
#include "cli/ClientCommands.h"
#include "platform/xpcclient/HelperSessionBlockReader.h"
#include "platform/xpcclient/SharedSlots.h"

namespace quarlin::cli {
namespace {

namespace fs = std::filesystem;
using namespace quarlin::recovery;

// Sessions a raw disk is read through; the helper serves them side by side.
constexpr int kSessions = 4;
constexpr std::int64_t kImageBlockSize = 512;

struct CommandFailure {
    std::string message;
    int status = 1;
};
[[noreturn]] void fail(std::string message, int status = 1) { throw CommandFailure{std::move(message), status}; }

struct Source {
    std::shared_ptr<BlockReader> reader;
    std::uint64_t bytes = 0;
};

// The whole disk a raw source names ("disk3" for /dev/rdisk3s1); none for an image file.
std::optional<std::string> sourceDisk(const std::string& path) {
    if (!path.starts_with("/dev/r")) return std::nullopt;
    const auto disk = BSDDiskName::wholeDisk(std::string_view(path).substr(6));
    if (!disk) fail("quarlin: " + path + " is not a raw disk name such as /dev/rdisk1 or /dev/rdisk1s2");
    return disk;
}

// The name a report gives its source: an image file by its absolute path, so that `recover`
// finds it from any folder; a raw disk by its name.
std::string reportedName(const std::string& source) {
    if (source.starts_with("/dev/r")) return source;
    std::error_code error;
    const auto absolute = fs::absolute(source, error);
    return error ? source : absolute.lexically_normal().string();
}

// The head of a report (all but its records), from the report's start: a report of this
// program holds its records last. Nothing when the start does not hold one.
std::optional<ScanReport> reportHead(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(std::size_t{1} << 20, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    // A line break lies outside every string of the JSON: this is the key of the document.
    const auto at = text.find(",\n\t\"files\": [");
    if (at == std::string::npos) return std::nullopt;
    text.resize(at);
    auto head = parseReport(text + ",\n\t\"files\": []\n}\n");
    if (!head) return std::nullopt;
    return std::move(*head);
}

// A memory file of this many slots of 2 MiB is lent to the helper, which reads the blocks into
// it; the pieces of a read wait for a free slot. Four keep the device busy, as for `image`.
constexpr std::size_t kSlots = 4;
constexpr std::size_t kSlotBytes = std::size_t{2} << 20;

Source openSource(const std::string& path, const std::string& socketPath, bool throughSocket) {
    if (path.starts_with("/dev/r")) {
        auto connect = [&] {
            auto connected = QuarlinHelperClient::connect(socketPath);
            if (!connected) fail(helperUnreachableText(connected.error()));
            return std::make_shared<QuarlinHelperClient>(std::move(*connected));
        };
        auto client = connect();
        std::unique_ptr<SharedSlots> slots;
        if (!throughSocket) {
            // A helper that does not know the call ends the connection: read over the socket.
            bool lost = false;
            slots = SharedSlots::lend(*client, kSlotBytes, kSlots, lost);
            if (lost) client = connect();
        }
        std::vector<std::int64_t> sessions;
        std::int64_t blockSize = 0;
        std::uint64_t blockCount = 0;
        for (int i = 0; i < kSessions; ++i) {
            auto opened = client->openSession(path);
            if (!opened) fail("quarlin: " + opened.error());
            if (opened->error)
                fail("error " + std::to_string(opened->error->code) + ": " + opened->error->localizedDescription());
            if (i > 0 && (opened->blockSize != blockSize || opened->blockCount != blockCount))
                fail("quarlin: " + path + " changed its size while it was opened");
            blockSize = opened->blockSize;
            blockCount = opened->blockCount;
            sessions.push_back(opened->handle);
        }
        const auto disk = sourceDisk(path);
        DeviceIdentity identity{*disk, std::nullopt, path};
        auto reader = std::make_shared<HelperSessionBlockReader>(client, std::move(sessions), blockSize, blockCount,
                                                                 std::move(identity), std::move(slots));
        return {reader, blockCount * static_cast<std::uint64_t>(blockSize)};
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) fail("quarlin: cannot open " + path + ": " + std::strerror(errno));
    if (S_ISBLK(st.st_mode))
        fail("quarlin: " + path + " is a device: name it as /dev/rdiskN (see `quarlin disks`), so the helper reads it");
    if (!S_ISREG(st.st_mode)) fail("quarlin: " + path + " is neither a disk image file nor a raw disk");
    try {
        // A file that is not whole sectors (one file scanned for what it holds, a dump cut
        // short) is read in blocks of a byte, so that its last bytes are scanned too.
        const std::int64_t blockSize = st.st_size % kImageBlockSize == 0 ? kImageBlockSize : 1;
        auto reader = std::make_shared<ImageFileBlockReader>(path, blockSize);
        return {reader, static_cast<std::uint64_t>(st.st_size)};
    } catch (const IOError& error) {
        fail("quarlin: cannot open " + path + ": " + error.errorDescription());
    }
}

// Refuses a destination on the physical disk being recovered: every file written there may
// overwrite the very blocks being sought. Asked before anything is created: a folder that
// does not exist yet would be made on the disk of its nearest existing parent.
void refuseSameDisk(const std::optional<std::string>& disk, const fs::path& directory) {
    if (!disk) return;
    fs::path existing = fs::absolute(directory);
    std::error_code error;
    while (!fs::exists(existing, error) && existing.has_relative_path()) existing = existing.parent_path();
    const auto destination = PhysicalDeviceResolver::physicalDeviceID(existing.string());
    const DeviceIdentity source{*disk, std::nullopt, *disk};
    if (destination && source.isSamePhysicalDevice(DeviceIdentity{*destination, std::nullopt, *destination}))
        fail("quarlin: " + directory.string() + " lies on " + *destination +
             ", the disk being recovered: writing there could overwrite the very files being sought. "
             "Choose a folder on another disk.");
}

// Ctrl-C and SIGTERM end the scan cleanly; SIGUSR1 pauses it and SIGUSR2 resumes it. The
// signals are taken by one thread with sigwait, so the handlers may use the runtime.
class SignalWatch {
public:
    // Blocks the signals in the calling thread, so every thread started after it (the
    // runtime's pool among them) leaves them to the watcher. Call it before anything starts
    // a thread.
    static void blockSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }

    explicit SignalWatch(std::shared_ptr<ScanPauseToken> token) : token_(std::move(token)) {
        sigemptyset(&set_);
        for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set_, s);
        std::thread([token = token_, set = set_, stop = stop_] {
            for (;;) {
                int signal = 0;
                if (sigwait(&set, &signal) != 0) continue;
                if (signal == SIGUSR1) {
                    // sigwait takes the lowest pending signal first, so a pause sent just
                    // before Ctrl-C may be taken after it: a scan that is ending stays running.
                    if (!stop->load()) runtime::runBlocking(token->pause());
                } else if (signal == SIGUSR2) {
                    runtime::runBlocking(token->resume());
                } else {
                    if (stop->exchange(true)) _exit(130);  // a second Ctrl-C does not wait
                    runtime::runBlocking(token->resume());
                }
            }
        }).detach();
    }
    bool stopRequested() const { return stop_->load(); }

private:
    std::shared_ptr<ScanPauseToken> token_;
    sigset_t set_{};
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
};

struct ScanArguments {
    std::string socketPath = QuarlinHelperClient::defaultSocketPath();
    bool throughSocket = false;
    std::string source;
    std::string out;
    std::string formats = "all";
    bool unaligned = false;
    std::uint64_t from = 0;
    std::optional<std::uint64_t> length;
    bool noFiles = false;
    bool resume = false;
    bool json = false;
};

std::string formatCounts(const std::array<std::int64_t, kCarvedFormatCount>& counts) {
    std::string text;
    for (std::size_t i = 0; i < counts.size(); ++i)
        if (counts[i] > 0)
            text += (text.empty() ? "" : " ") + std::string(formatName(static_cast<CarvedFormat>(i))) + " " +
                    std::to_string(counts[i]);
    return text.empty() ? "no files yet" : text;
}

// Redraws one line on the terminal's stderr: a bar, the share done, MiB, the rate, the time
// left, then `tail`.
void drawProgress(double done, double total, double seconds, const std::string& tail, bool last) {
    const double rate = seconds > 0 ? done / seconds : 0;
    const double left = rate > 0 ? (total - done) / rate : 0;
    const int width = 30;
    const double fraction = total > 0 ? std::min(done / total, 1.0) : 1.0;
    const int filled = static_cast<int>(fraction * width);
    std::fprintf(stderr, "\r\033[K[%s%s] %5.1f%% %llu/%llu MiB %.0f MB/s %d:%02d left | %s",
                 std::string(filled, '#').c_str(), std::string(width - filled, ' ').c_str(), fraction * 100,
                 static_cast<unsigned long long>(done) >> 20, static_cast<unsigned long long>(total) >> 20, rate / 1e6,
                 static_cast<int>(left) / 60, static_cast<int>(left) % 60, tail.c_str());
    if (last) std::fputc('\n', stderr);
    std::fflush(stderr);
}

class ScanProgressView {
public:
    explicit ScanProgressView(bool json) : json_(json), terminal_(::isatty(STDERR_FILENO) == 1) {}

    void update(const ScanProgress& progress, bool last = false) {
        const auto now = std::chrono::steady_clock::now();
        if (!last && now - shown_ < std::chrono::milliseconds(json_ ? 500 : 100)) return;
        shown_ = now;
        const double seconds = std::chrono::duration<double>(now - started_).count();
        const double done = static_cast<double>(progress.position - progress.rangeFrom);
        const double total = static_cast<double>(progress.rangeEnd - progress.rangeFrom);
        const double rate = seconds > 0 ? done / seconds : 0;
        const double left = rate > 0 ? (total - done) / rate : 0;
        if (json_) {
            nlohmann::ordered_json line{{"event", "progress"},      {"position", progress.position},
                                        {"rangeFrom", progress.rangeFrom}, {"rangeEnd", progress.rangeEnd},
                                        {"bytesPerSecond", static_cast<std::uint64_t>(rate)},
                                        {"secondsLeft", left}};
            auto& found = line["filesFound"] = nlohmann::ordered_json::object();
            for (std::size_t i = 0; i < kCarvedFormatCount; ++i)
                found[std::string(formatName(static_cast<CarvedFormat>(i)))] = progress.filesFound[i];
            std::cout << line.dump() << std::endl;
        } else if (terminal_) {
            drawProgress(done, total, seconds, formatCounts(progress.filesFound), last);
        }
    }

private:
    bool json_;
    bool terminal_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point shown_{};
};

std::vector<std::string> formatNames(const FormatSet& set) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kCarvedFormatCount; ++i)
        if (set.test(i)) names.emplace_back(formatName(static_cast<CarvedFormat>(i)));
    return names;
}

bool isEmptyDirectory(const fs::path& directory) {
    std::error_code error;
    return fs::is_empty(directory, error) && !error;
}

void scan(const ScanArguments& arguments) {
    SignalWatch::blockSignals();
    const fs::path out = arguments.out;
    const fs::path reportPath = out / "report.json";
    auto formats = parseFormatList(arguments.formats);
    if (!formats) fail("quarlin: unknown format in --formats " + arguments.formats + " (choose from rar4, rar5, deflate, mpeg, flac, ogg, pst, udif, ebml, xar, all)", 2);

    // The output folder is checked before the source is touched, and before it is made.
    refuseSameDisk(sourceDisk(arguments.source), out);
    std::optional<ScanReport> earlier;
    std::error_code error;
    // The records of the files found, an earlier scan's first, are kept in the folder as they
    // are found rather than in memory: a disk may hold millions.
    std::shared_ptr<FoundFiles> found;
    // Where the resumed pass looks for files from: the report says; one written before reports
    // said so did not, and then the files that look intact are passed over.
    std::uint64_t coveredUntil = 0;
    if (arguments.resume) {
        // Checked from the report's head first, so that a scan of another source or one
        // finished is refused before its records are copied.
        const auto refuseUnlike = [&](const ScanReport& kept) {
            if (kept.source != reportedName(arguments.source) && kept.source != arguments.source)
                fail("quarlin: cannot resume: " + reportPath.string() + " is the scan of " + kept.source);
            if (kept.finished) fail("quarlin: the scan in " + out.string() + " has finished already");
        };
        if (const auto head = reportHead(reportPath)) refuseUnlike(*head);
        if (auto made = FoundFiles::create(out); made) found = *made;
        else fail("quarlin: cannot resume: " + made.error());
        std::optional<std::string> keepError;
        auto read = readReport(reportPath, [&](FileRecord&& record) {
            if (record.layout && std::holds_alternative<IntegrityVerdict::LooksIntact>(record.verdict.value()))
                if (const auto* extents = std::get_if<DataLayout::Extents>(&record.layout->value()))
                    for (const auto& extent : extents->extents)
                        coveredUntil = std::max(coveredUntil, extent.volumeByteOffset + extent.byteLength);
            if (auto added = found->add(record, std::nullopt); !added && !keepError) keepError = added.error();
        });
        if (!read) fail("quarlin: cannot resume: " + read.error());
        if (keepError) fail("quarlin: cannot resume: " + *keepError);
        refuseUnlike(*read);
        earlier = std::move(*read);
    } else if (fs::exists(out, error)) {
        if (!fs::is_directory(out, error)) fail("quarlin: " + out.string() + " is not a folder");
        if (!isEmptyDirectory(out))
            fail("quarlin: " + out.string() + " is not empty: name an empty or new folder, or add --resume to go on with the scan in it");
    }

    // Signals are taken by their own thread; the token's actor starts the runtime's threads.
    auto token = std::make_shared<ScanPauseToken>();
    SignalWatch signals(token);

    // Opened by the name the report keeps: the reader's identity derives from it. A report is
    // UTF-8 text, so a name that is not could not be found again by `recover` or `--resume`.
    const std::string sourceName = earlier ? earlier->source : reportedName(arguments.source);
    if (validUTF8(sourceName) != sourceName)
        fail("quarlin: the path " + validUTF8(sourceName) + " is not UTF-8, and a report could not name it for recover; "
             "scan it through a link of a UTF-8 name (ln -s)");
    Source source = openSource(sourceName, arguments.socketPath, arguments.throughSocket);
    if (!earlier && arguments.from > 0 && arguments.from >= source.bytes)
        fail("quarlin: --from " + std::to_string(arguments.from) + " lies past the end of " + arguments.source + ", which holds " +
             std::to_string(source.bytes) + " bytes");
    if (!fs::exists(out, error) && !fs::create_directories(out, error))
        fail("quarlin: cannot create " + out.string() + ": " + error.message());
    if (::access(out.c_str(), W_OK | X_OK) != 0) fail("quarlin: cannot write in " + out.string() + ": " + std::strerror(errno));
    if (!found) {
        if (auto made = FoundFiles::create(out); made) found = *made;
        else fail("quarlin: " + made.error());
    }
    auto counted = std::make_shared<WriteAssertingBlockReader>(source.reader);
    if (earlier && (earlier->sourceBytes != source.bytes || !earlier->sourceIdentity.isSamePhysicalDevice(counted->deviceIdentity())))
        fail("quarlin: cannot resume: " + arguments.source + " is not the source the scan began on (its size or identity differ)");

    ScanReport report;
    if (earlier) {
        report = *earlier;
        report.error.reset();
    } else {
        report.source = sourceName;
        report.sourceIdentity = counted->deviceIdentity();
        report.sourceBytes = source.bytes;
        report.blockSize = counted->blockSize();
        report.formats = formatNames(*formats);
        report.unaligned = arguments.unaligned;
        report.filesWritten = !arguments.noFiles;
        report.rangeFrom = std::min(arguments.from, source.bytes);
        report.rangeEnd = report.rangeFrom + std::min(arguments.length.value_or(source.bytes), source.bytes - report.rangeFrom);
        report.stoppedAt = report.rangeFrom;
    }
    const std::vector<DataExtent> earlierUnreadable = report.unreadable;
    const std::int64_t earlierCalls = report.readCallCount, earlierBlocks = report.blocksRead;

    ScanOptions options;
    options.from = report.stoppedAt;
    options.length = report.rangeEnd - report.stoppedAt;
    options.formats = *parseFormatList(report.formats.empty() ? "all" : [&] {
        std::string list;
        for (const auto& name : report.formats) list += (list.empty() ? "" : ",") + name;
        return list;
    }());
    options.unaligned = report.unaligned;
    if (report.filesWritten) options.filesDirectory = out;
    options.coveredUntil = std::max(coveredUntil, report.coveredUntil);
    options.filesFrom = report.rangeFrom;
    options.found = found;
    options.pauseToken = token;
    options.stopRequested = [&signals] { return signals.stopRequested(); };
    ScanProgressView view(arguments.json);
    options.progress = [&view](const ScanProgress& progress) { view.update(progress); };
    auto save = [&](FoundFiles& files, std::uint64_t stoppedAt, std::uint64_t covered, const std::vector<DataExtent>& unreadable) {
        report.unreadable = earlierUnreadable;
        report.unreadable.insert(report.unreadable.end(), unreadable.begin(), unreadable.end());
        report.unreadable = joinedRanges(std::move(report.unreadable));
        report.stoppedAt = stoppedAt;
        report.coveredUntil = covered;
        report.readCallCount = earlierCalls + runtime::runBlocking(counted->readCallCount());
        report.blocksRead = earlierBlocks + runtime::runBlocking(counted->totalBlocksRead());
        return writeReport(reportPath, report, &files);
    };
    options.checkpoint = [&](FoundFiles& files, std::uint64_t stoppedAt, std::uint64_t covered,
                             const std::vector<DataExtent>& unreadable) { (void)save(files, stoppedAt, covered, unreadable); };
    // The report exists from the start, so a folder with files in it always has one.
    if (!earlier) {
        if (auto written = save(*found, report.rangeFrom, options.coveredUntil, {}); !written) fail("quarlin: " + written.error());
    }

    const auto started = std::chrono::steady_clock::now();
    ScanOutcome outcome = scanSource(*counted, source.bytes, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    report.finished = outcome.finished;
    report.error = outcome.error;
    const auto totals = save(*found, outcome.stoppedAt, outcome.coveredUntil, outcome.unreadable);
    if (!totals) fail("quarlin: " + totals.error());
    ScanProgress last;
    last.position = outcome.stoppedAt;
    last.rangeFrom = outcome.rangeFrom;
    last.rangeEnd = outcome.rangeEnd;
    last.filesFound = totals->perFormat;  // of this run's files: an earlier run's have no format kept
    view.update(last, true);

    const auto& verdicts = totals->verdicts;
    const std::uint64_t bytes = totals->bytes, files = totals->files;
    const double scanned = static_cast<double>(outcome.stoppedAt - outcome.rangeFrom);
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  "%llu files, %.1f MB (%llu look intact, %llu may be partial, %llu failed a check); scanned %.1f MB in "
                  "%.1f s (%.0f MB/s)",
                  static_cast<unsigned long long>(files), static_cast<double>(bytes) / 1e6,
                  static_cast<unsigned long long>(verdicts[0]), static_cast<unsigned long long>(verdicts[1]),
                  static_cast<unsigned long long>(verdicts[2]),
                  scanned / 1e6, seconds, seconds > 0 ? scanned / seconds / 1e6 : 0.0);
    if (arguments.json) {
        nlohmann::ordered_json line{{"event", "done"}, {"finished", report.finished}, {"stoppedAt", report.stoppedAt},
                                    {"files", files}, {"report", reportPath.string()}};
        if (report.error) line["error"] = *report.error;
        if (outcome.unreadableBytes > 0) line["unreadableBytes"] = outcome.unreadableBytes;
        std::cout << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << std::endl;
    }
    std::cerr << "quarlin: " << summary << "\nquarlin: report in " << reportPath.string() << "\n";
    if (outcome.unreadableBytes > 0)
        std::cerr << "quarlin: " << outcome.unreadableBytes << " bytes in " << outcome.unreadable.size()
                  << (outcome.unreadable.size() == 1 ? " area" : " areas") << " could not be read (bad blocks); they were scanned as zeros, and the report lists "
                     "them under \"unreadable\"\n";
    if (outcome.error)
        fail("quarlin: the scan stopped at byte " + std::to_string(outcome.stoppedAt) + ": " + *outcome.error +
             "\nquarlin: what was found so far is kept; add --resume to go on from there (it reads the failed "
             "range again: to pass over an unreadable area, scan from past it with --from into another folder)");
    if (!outcome.finished)
        fail("quarlin: scan stopped at byte " + std::to_string(outcome.stoppedAt) + "; run it again with --resume to go on",
             130);
}

struct RecoverArguments {
    std::string socketPath = QuarlinHelperClient::defaultSocketPath();
    bool throughSocket = false;
    std::string report;
    std::string to;
    std::optional<std::string> verdict;
    std::vector<std::string> ids;
};

void recover(const RecoverArguments& arguments) {
    SignalWatch::blockSignals();
    const RecoverySelection selection{arguments.verdict, arguments.ids};
    if (auto error = selectionError(selection)) fail("quarlin: " + *error);
    const RecordSelector selector(selection);
    // The report is read twice, its records one at a time, rather than held: once to check the
    // selection against it and count, once to recover in batches as the records come.
    std::uint64_t selected = 0, selectedBytes = 0;
    std::unordered_set<UUID> idsSeen;
    auto report = readReport(arguments.report, [&](FileRecord&& record) {
        if (selector.takes(record)) {
            ++selected;
            selectedBytes += record.declaredSize;
        }
        if (selector.names(record)) idsSeen.insert(record.id);
    });
    if (!report) fail("quarlin: " + report.error());
    if (const auto missing = selector.firstMissing(idsSeen)) fail("quarlin: the report has no file with id " + *missing);
    const fs::path destination = arguments.to;
    refuseSameDisk(sourceDisk(report->source), destination);
    std::error_code error;
    if (!fs::exists(destination, error) && !fs::create_directories(destination, error))
        fail("quarlin: cannot create " + destination.string() + ": " + error.message());
    if (!fs::is_directory(destination, error)) fail("quarlin: " + destination.string() + " is not a folder");

    Source source = openSource(report->source, arguments.socketPath, arguments.throughSocket);
    WriteAssertingBlockReader counted(source.reader);
    if (source.bytes != report->sourceBytes || !report->sourceIdentity.isSamePhysicalDevice(counted.deviceIdentity()))
        fail("quarlin: " + report->source + " is not the source that was scanned: its size or identity differ");
    if (selected == 0) fail("quarlin: no file of the report matches the selection");
    const auto destinationDisk = PhysicalDeviceResolver::physicalDeviceID(destination.string());
    RecoveryJob job{UUID::random(), report->sourceIdentity,
                    DeviceIdentity{destinationDisk.value_or(destination.string()), std::nullopt,
                                   destination.filename().string()},
                    destination.string(), {}, Timestamp::now()};
    int failures = 0, withZeros = 0;
    std::uint64_t done = 0, bytes = 0;
    // Ctrl-C ends the recovery between two reads; the file being written is removed.
    SignalWatch signals(std::make_shared<ScanPauseToken>());
    const auto stopRequested = [&signals] { return signals.stopRequested(); };
    // On a terminal, a progress line on stderr, cleared before anything else is printed.
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    const auto started = std::chrono::steady_clock::now();
    auto shown = started;
    std::uint64_t copied = 0;
    const auto showProgress = [&](bool last) {
        const auto now = std::chrono::steady_clock::now();
        if (!terminal || (!last && now - shown < std::chrono::milliseconds(100))) return;
        shown = now;
        drawProgress(static_cast<double>(copied), static_cast<double>(selectedBytes),
                     std::chrono::duration<double>(now - started).count(),
                     std::to_string(done + static_cast<std::uint64_t>(failures)) + " of " + std::to_string(selected) + " files",
                     last);
    };
    const auto clearLine = [&] {
        if (terminal) std::cerr << "\r\033[K";
    };
    std::map<std::string, std::uint64_t> sizes;
    const auto recoverBatch = [&] {
        sizes.clear();
        for (const auto& record : job.selectedFiles) sizes[record.name] = record.declaredSize;
        recoverFiles(counted, source.bytes, job, [&](const RecoveredFile& file) {
            if (file.error && signals.stopRequested()) return;  // the file cut short by Ctrl-C
            clearLine();
            // A file of the name and length there already was recovered before (files are renamed
            // into place only when whole): a recovery run again after Ctrl-C does not fail on it.
            std::error_code sizeError;
            if (file.nameTaken && fs::file_size(destination / file.name, sizeError) == sizes[file.name] && !sizeError) {
                ++done;
                std::cerr << "quarlin: " << file.name << " is there already, whole: left as it is\n";
                return;
            }
            if (file.error) {
                ++failures;
                std::cerr << "quarlin: " << file.name << ": " << file.error.value() << "\n";
            } else {
                ++done;
                bytes += file.bytesWritten;
                std::cout << file.name << "\t" << file.bytesWritten << "\n";
                if (file.unreadableBytes > 0) {
                    ++withZeros;
                    std::cerr << "quarlin: " << file.name << ": " << file.unreadableBytes
                              << " bytes could not be read (bad blocks) and are zeros in it\n";
                }
            }
            showProgress(false);
        }, stopRequested, [&](std::uint64_t piece) {
            copied += piece;
            showProgress(false);
        });
        job.selectedFiles.clear();
    };
    constexpr std::size_t kBatch = 1024;
    struct Stopped {};  // thrown out of the reading of the report: the rest is not read
    try {
        auto again = readReport(arguments.report, [&](FileRecord&& record) {
            if (signals.stopRequested()) throw Stopped{};
            if (!selector.takes(record)) return;
            job.selectedFiles.push_back(std::move(record));
            if (job.selectedFiles.size() >= kBatch) recoverBatch();
        });
        if (!again) fail("quarlin: " + again.error());
    } catch (const Stopped&) {
    }
    if (!signals.stopRequested()) recoverBatch();
    showProgress(true);
    std::cerr << "quarlin: recovered " << done << " of " << selected << " files (" << bytes
              << " bytes) to " << destination.string();
    if (withZeros > 0) std::cerr << ", " << withZeros << " of them with bad blocks read as zeros";
    std::cerr << "\n";
    if (signals.stopRequested()) fail("quarlin: stopped; the same command again recovers the rest (files already there are left as they are)", 130);
    if (failures > 0) fail("quarlin: " + std::to_string(failures) + " files could not be recovered");
}

void run(int& status, const std::function<void()>& command) {
    try {
        command();
        status = 0;
    } catch (const CommandFailure& failure) {
        std::cout.flush();
        std::cerr << failure.message << "\n";
        status = failure.status;
    }
}

}  // namespace

void addScanCommands(CLI::App& app, int& status) {
    auto scanArguments = std::make_shared<ScanArguments>();
    auto* scanCommand = app.add_subcommand(
        "scan",
        "Find lost files of ten formats on a disk or a disk image and write them, with a report, to a folder.\n"
        "Ctrl-C stops the scan cleanly (run it again with --resume to go on); `kill -USR1` pauses it and\n"
        "`kill -USR2` resumes it. Nothing is ever written to the source. Blocks that cannot be read (a\n"
        "failing disk) are scanned as zeros and listed under \"unreadable\" in the report.");
    scanCommand->add_option("SOURCE", scanArguments->source, "A raw disk (/dev/rdiskN, /dev/rdiskNsP) or an image file")->required();
    scanCommand->add_option("--out", scanArguments->out, "Folder for the files and report.json (new or empty)")->required();
    scanCommand->add_option("--formats", scanArguments->formats,
                            "Comma-separated: rar4, rar5, deflate (gzip and zip), mpeg, flac, ogg, pst, udif, ebml, xar, or all")
        ->capture_default_str();
    scanCommand->add_flag("--unaligned", scanArguments->unaligned,
                          "Look for files at every byte, not only at 512-byte boundaries (slower)");
    scanCommand->add_option("--from", scanArguments->from, "First byte of the source to look at")->check(notNegative());
    scanCommand->add_option("--length", scanArguments->length, "How many bytes to look at")->check(notNegative());
    scanCommand->add_flag("--no-files", scanArguments->noFiles, "Write only the report; `quarlin recover` brings files back later");
    scanCommand->add_flag("--resume", scanArguments->resume, "Go on with the interrupted scan in --out");
    scanCommand->add_flag("--json", scanArguments->json, "Progress as JSON lines on stdout");
    scanCommand->add_option("--helper-socket", scanArguments->socketPath, "Socket of the helper")->capture_default_str();
    const char* throughSocketHelp =
        "Receive a raw disk's blocks over the socket instead of through a memory file shared with the helper (slower)";
    scanCommand->add_flag("--through-socket", scanArguments->throughSocket, throughSocketHelp);
    scanCommand->callback([&status, scanArguments] { run(status, [&] { scan(*scanArguments); }); });

    auto recoverArguments = std::make_shared<RecoverArguments>();
    auto* recoverCommand = app.add_subcommand(
        "recover", "Copy files listed in a scan report from the source into a folder, never over an existing file.\n"
                   "Each file is written as NAME.part and renamed once whole; Ctrl-C stops between two reads and\n"
                   "removes the file it was writing.");
    recoverCommand->add_option("REPORT", recoverArguments->report, "report.json of a scan")->required();
    recoverCommand->add_option("--to", recoverArguments->to, "Destination folder, on another disk than the source")->required();
    recoverCommand->add_option("--verdict", recoverArguments->verdict, "Only files with this verdict: looksIntact, mayBePartial, failed or unknown");
    recoverCommand->add_option("--ids", recoverArguments->ids, "Only the files with these record ids")->delimiter(',');
    recoverCommand->add_option("--helper-socket", recoverArguments->socketPath, "Socket of the helper")->capture_default_str();
    recoverCommand->add_flag("--through-socket", recoverArguments->throughSocket, throughSocketHelp);
    recoverCommand->callback([&status, recoverArguments] { run(status, [&] { recover(*recoverArguments); }); });
}

}  // namespace quarlin::cli
