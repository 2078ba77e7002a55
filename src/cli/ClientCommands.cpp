#include "cli/ClientCommands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "HelperProtocol/QuarlinHelperConstants.h"
#include "platform/registry/BSDNameTable.h"
#include "platform/xpcclient/QuarlinHelperClient.h"
#include "platform/xpcclient/SharedSlots.h"

namespace quarlin::cli {
namespace {

// Reads travel in chunks of this many bytes, several at a time, so that the helper's next
// reads run while earlier replies are on their way; they are spread over the sessions in
// turn. An image is read through several sessions of the same device, whose reads the
// helper runs in parallel. The bytes in flight stay small enough to remain in the
// processor's cache from the device read to the socket and out of it: more only adds
// bytes that are fetched from memory again at every copy.
constexpr std::int64_t kChunkBytes = 2 << 20;
constexpr std::uint64_t kReadsInFlight = 4;
constexpr int kImageSessions = 4;

struct Options {
    std::string socketPath = QuarlinHelperClient::defaultSocketPath();
    bool json = false;
    std::string device;
    std::uint64_t offset = 0;
    std::int64_t count = 0;
    std::string outPath;
    std::string imagePath;
    std::string nodeForName;  // disks --for
    bool throughSocket = false;
};

// A failure that ends the command with status 1 after its message is printed.
struct CommandFailure {
    std::string message;
};

[[noreturn]] void fail(std::string message) { throw CommandFailure{std::move(message)}; }

std::string describe(const ErrorObject& error) {
    return "error " + std::to_string(error.code) + ": " + error.localizedDescription();
}

template <class T>
T orFail(QuarlinHelperClient::Result<T> result) {
    if (!result) fail("quarlin: " + result.error());
    return std::move(*result);
}

void orFail(QuarlinHelperClient::Result<void> result) {
    if (!result) fail("quarlin: " + result.error());
}

}  // namespace

std::string helperUnreachableText(const std::string& error) {
    if (error.ends_with(std::strerror(EACCES))) {
        const std::string group(QuarlinHelperConstants::clientGroupName);
        return "quarlin: the helper admits only root and members of the group \"" + group + "\" (" + error +
               "). An administrator adds you with: usermod -aG " + group + " $USER; then log in again.";
    }
    std::string text = "quarlin: cannot reach the helper (" + error + ")";
    // Nobody listens where the helper's socket should be: the service is not running.
    if (error.ends_with(std::strerror(ECONNREFUSED)) || error.ends_with(std::strerror(ENOENT)))
        text += ". Is it running? An administrator starts it with: systemctl enable --now quarlin-helper";
    return text;
}

const CLI::Validator& notNegative() {
    static const CLI::Validator validator(
        [](const std::string& text) {
            const auto first = text.find_first_not_of(" \t");
            return first != std::string::npos && text[first] == '-' ? std::string("must not be negative") : std::string();
        },
        "NONNEGATIVE");
    return validator;
}

namespace {

QuarlinHelperClient connect(const Options& options) {
    auto client = QuarlinHelperClient::connect(options.socketPath);
    if (!client) fail(helperUnreachableText(client.error()));
    return std::move(*client);
}

bool writeAll(int fd, const std::byte* data, std::size_t size, off_t at, bool positioned) {
    while (size > 0) {
        ssize_t n = positioned ? ::pwrite(fd, data, size, at) : ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

class ProgressBar {
public:
    explicit ProgressBar(std::uint64_t total) : total_(total), shown_(::isatty(STDERR_FILENO) == 1) {}
    void update(std::uint64_t done) {
        if (!shown_) return;
        auto now = std::chrono::steady_clock::now();
        if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        const int width = 40;
        double fraction = total_ ? static_cast<double>(done) / static_cast<double>(total_) : 1.0;
        int filled = static_cast<int>(fraction * width);
        std::fprintf(stderr, "\r[%s%s] %5.1f%% %llu/%llu MiB", std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), fraction * 100.0,
                     static_cast<unsigned long long>(done >> 20), static_cast<unsigned long long>(total_ >> 20));
        if (done >= total_) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

private:
    std::uint64_t total_;
    bool shown_;
    std::chrono::steady_clock::time_point last_{};
};

// A connection for copying blocks, with a shared buffer lent to the helper unless the user
// chose the socket. A helper that does not know the call ends the connection: it is reached
// again and read over the socket.
struct ReadConnection {
    QuarlinHelperClient client;
    std::unique_ptr<SharedSlots> slots;
};

ReadConnection connectForReads(const Options& options) {
    ReadConnection connection{connect(options), nullptr};
    if (options.throughSocket) return connection;
    bool lost = false;
    connection.slots = SharedSlots::lend(connection.client, kChunkBytes, kReadsInFlight, lost);
    if (lost) return {connect(options), nullptr};
    return connection;
}

// Reads blocks [offset, offset + count) of a device through its open sessions in chunks,
// several in flight, and hands each chunk to `sink` with its byte position relative to
// `offset`, in order.
void copyBlocks(QuarlinHelperClient& client, const SharedSlots* lent, const std::vector<std::int64_t>& sessions,
                std::int64_t blockSize, std::uint64_t offset, std::uint64_t count,
                const std::function<void(std::uint64_t at, std::span<const std::byte> bytes)>& sink,
                const std::function<void(std::uint64_t bytesDone)>& progress) {
    const std::uint64_t chunkBlocks = std::max<std::uint64_t>(1, kChunkBytes / std::max<std::int64_t>(blockSize, 1));
    // A chunk larger than a slot (blocks over 2 MiB) travels over the socket.
    const SharedSlots* slots =
        lent && chunkBlocks * static_cast<std::uint64_t>(blockSize) <= lent->slotBytes() && lent->slotCount() >= kReadsInFlight
            ? lent
            : nullptr;
    // What came back for one chunk: why it failed, or its bytes (in `data`, or in its slot).
    struct Arrival {
        std::string failure;
        Data data;
        std::int64_t slotBytes = -1;
    };
    // Replies may still arrive after a failure has ended this function: they find the
    // state they need in `shared`, which they keep alive.
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<std::uint64_t, Arrival> arrived;  // by chunk index
        void put(std::uint64_t index, Arrival arrival) {
            std::lock_guard lock(mutex);
            arrived.emplace(index, std::move(arrival));
            changed.notify_all();
        }
    };
    auto shared = std::make_shared<Shared>();
    std::uint64_t chunks = count / chunkBlocks + (count % chunkBlocks ? 1 : 0);
    std::uint64_t nextToSend = 0, nextToWrite = 0, bytesDone = 0;

    auto send = [&](std::uint64_t index) {
        std::uint64_t first = index * chunkBlocks;
        auto blocks = static_cast<std::int64_t>(std::min(chunkBlocks, count - first));
        const std::int64_t session = sessions[index % sessions.size()];
        if (slots) {
            // A slot is used again only once the chunk read into it has gone to the sink.
            client.readBlocksIntoSharedBuffer(
                session, offset + first, blocks, slots->offsetOf(index % kReadsInFlight),
                [shared, index](QuarlinHelperClient::Result<SharedReadReply> r) {
                    Arrival a;
                    if (!r) a.failure = "quarlin: " + r.error();
                    else if (r->error) a.failure = describe(*r->error);
                    else a.slotBytes = r->bytes;
                    shared->put(index, std::move(a));
                });
            return;
        }
        client.readBlocks(session, offset + first, blocks, [shared, index](QuarlinHelperClient::Result<DataReply> r) {
            Arrival a;
            if (!r) a.failure = "quarlin: " + r.error();
            else if (r->error) a.failure = describe(*r->error);
            else if (!r->data) a.failure = "quarlin: the helper replied without data";
            else a.data = std::move(*r->data);
            shared->put(index, std::move(a));
        });
    };
    while (nextToWrite < chunks) {
        while (nextToSend < chunks && nextToSend < nextToWrite + kReadsInFlight) send(nextToSend++);
        Arrival arrival;
        {
            std::unique_lock lock(shared->mutex);
            shared->changed.wait(lock, [&] { return shared->arrived.contains(nextToWrite); });
            arrival = std::move(shared->arrived.extract(nextToWrite).mapped());
        }
        if (!arrival.failure.empty()) fail(arrival.failure);
        std::uint64_t first = nextToWrite * chunkBlocks;
        std::uint64_t expected = std::min(chunkBlocks, count - first) * static_cast<std::uint64_t>(blockSize);
        const std::uint64_t got =
            slots ? static_cast<std::uint64_t>(std::max<std::int64_t>(arrival.slotBytes, 0)) : arrival.data.size();
        if (got != expected) {
            fail("quarlin: the helper returned " + std::to_string(got) + " bytes for a read of " +
                 std::to_string(expected));
        }
        sink(first * static_cast<std::uint64_t>(blockSize),
             slots ? slots->bytes(nextToWrite % kReadsInFlight, got) : std::span<const std::byte>(arrival.data));
        bytesDone += got;
        progress(bytesDone);
        ++nextToWrite;
    }
}

OpenSessionReply open(QuarlinHelperClient& client, const std::string& device) {
    OpenSessionReply opened = orFail(client.openSession(device));
    if (opened.error) fail(describe(*opened.error));
    return opened;
}

void ping(const Options& options) {
    auto client = connect(options);
    std::cout << orFail(client.ping()) << "\n";
}

std::string humanSize(std::uint64_t bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1000.0 && unit < 5) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// The raw name under which this machine's disk list shows a device node (/dev/loop3,
// /dev/sdb1), for scripts that attach a device and then read it through the helper.
void rawNameOf(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0) fail("quarlin: cannot find " + node + ": " + std::strerror(errno));
    if (!S_ISBLK(st.st_mode)) fail("quarlin: " + node + " is not a block device");
    const auto table = platform::BSDNameTable::build();
    const auto* device = table ? table->byDeviceNumber(major(st.st_rdev), minor(st.st_rdev)) : nullptr;
    if (!device) fail("quarlin: " + node + " is not among this machine's disks");
    std::cout << "/dev/r" << device->bsdName << "\n";
}

void disks(const Options& options) {
    if (!options.nodeForName.empty()) return rawNameOf(options.nodeForName);
    auto client = connect(options);
    DataReply reply = orFail(client.enumerateDisks());
    if (reply.error) fail(describe(*reply.error));
    if (!reply.data) fail("quarlin: the helper replied without a disk list");
    if (options.json) {
        std::cout.write(reinterpret_cast<const char*>(reply.data->data()), static_cast<std::streamsize>(reply.data->size()));
        std::cout << "\n";
        return;
    }
    nlohmann::json list = nlohmann::json::parse(reply.data->begin(), reply.data->end(), nullptr, false);
    if (!list.is_array()) fail("quarlin: the helper's disk list is not a JSON array");
    auto text = [](const nlohmann::json& record, const char* key) {
        auto it = record.find(key);
        return it != record.end() && it->is_string() ? it->get<std::string>() : std::string("-");
    };
    auto flag = [](const nlohmann::json& record, const char* key) {
        auto it = record.find(key);
        return it != record.end() && it->is_boolean() && it->get<bool>();
    };
    std::printf("%-12s %10s  %-9s %-10s %-12s %-22s %s\n", "NAME", "SIZE", "KIND", "FS", "CONNECTION", "FLAGS", "MOUNT");
    for (const auto& record : list) {
        if (!record.is_object()) continue;
        std::string size = "-";
        if (auto it = record.find("totalBytes"); it != record.end() && it->is_number_unsigned()) {
            size = humanSize(it->get<std::uint64_t>());
        }
        std::string flags;
        if (flag(record, "isInternal")) flags += "internal ";
        if (flag(record, "isRemovable")) flags += "removable ";
        std::string fs = text(record, "filesystemType");
        std::printf("%-12s %10s  %-9s %-10s %-12s %-22s %s\n", text(record, "bsdName").c_str(), size.c_str(),
                    flag(record, "isWholeDisk") ? "disk" : "partition", fs.empty() ? "-" : fs.c_str(),
                    text(record, "connectionType").c_str(), flags.empty() ? "-" : flags.c_str(),
                    text(record, "mountPoint").c_str());
    }
}

void read(const Options& options) {
    if (options.count < 0) fail("quarlin: --count must not be negative");
    int fd = STDOUT_FILENO;
    if (!options.outPath.empty()) {
        fd = ::open(options.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) fail("quarlin: cannot create " + options.outPath + ": " + std::strerror(errno));
    }
    auto [client, slots] = connectForReads(options);
    OpenSessionReply session = open(client, options.device);
    copyBlocks(
        client, slots.get(), {session.handle}, session.blockSize, options.offset, static_cast<std::uint64_t>(options.count),
        [&](std::uint64_t, std::span<const std::byte> bytes) {
            if (!writeAll(fd, bytes.data(), bytes.size(), 0, false)) fail(std::string("quarlin: write failed: ") + std::strerror(errno));
        },
        [](std::uint64_t) {});
    orFail(client.closeSession(session.handle));
    if (fd != STDOUT_FILENO && ::close(fd) != 0) fail("quarlin: cannot write " + options.outPath);
}

void image(const Options& options) {
    auto [client, slots] = connectForReads(options);
    OpenSessionReply session = open(client, options.device);
    std::vector<std::int64_t> handles{session.handle};
    for (int i = 1; i < kImageSessions; ++i) {
        OpenSessionReply more = open(client, options.device);
        if (more.blockCount != session.blockCount || more.blockSize != session.blockSize) {
            fail("quarlin: " + options.device + " changed its size while it was opened");
        }
        handles.push_back(more.handle);
    }
    int fd = ::open(options.imagePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("quarlin: cannot create " + options.imagePath + ": " + std::strerror(errno));
    struct stat st{};
    if (::fstat(fd, &st) != 0) fail("quarlin: cannot write " + options.imagePath);
    // A regular file is written by position; anything else (/dev/null, a pipe) in order.
    const bool regular = S_ISREG(st.st_mode);
    const std::uint64_t total = session.blockCount * static_cast<std::uint64_t>(session.blockSize);
    std::uint64_t written = 0;
    ProgressBar bar(total);
    bar.update(0);
    copyBlocks(
        client, slots.get(), handles, session.blockSize, 0, session.blockCount,
        [&](std::uint64_t at, std::span<const std::byte> bytes) {
            if (!writeAll(fd, bytes.data(), bytes.size(), static_cast<off_t>(at), regular)) {
                fail("quarlin: cannot write " + options.imagePath + ": " + std::strerror(errno));
            }
            written += bytes.size();
        },
        [&](std::uint64_t done) { bar.update(done); });
    for (std::int64_t handle : handles) orFail(client.closeSession(handle));
    if ((regular && ::fsync(fd) != 0) || ::fstat(fd, &st) != 0 || ::close(fd) != 0) {
        fail("quarlin: cannot write " + options.imagePath);
    }
    // The image must hold every block of the device, no more and no less.
    const std::uint64_t length = regular ? static_cast<std::uint64_t>(st.st_size) : written;
    if (length != total) {
        fail("quarlin: " + options.imagePath + " holds " + std::to_string(length) + " bytes, the device " +
             std::to_string(total));
    }
    std::cerr << "quarlin: copied " << session.blockCount << " blocks of " << session.blockSize << " bytes to "
              << options.imagePath << "\n";
}

void run(int& status, void (*command)(const Options&), const Options& options) {
    try {
        command(options);
        status = 0;
    } catch (const CommandFailure& failure) {
        std::cout.flush();
        std::cerr << failure.message << "\n";
        status = 1;
    }
}

}  // namespace

void addClientCommands(CLI::App& app, int& status) {
    auto options = std::make_shared<Options>();
    auto socketOption = [&](CLI::App* command) {
        command->add_option("--helper-socket", options->socketPath, "Socket of the helper")->capture_default_str();
    };

    auto* pingCommand = app.add_subcommand("ping", "Ask the helper for its version");
    socketOption(pingCommand);
    pingCommand->callback([&status, options] { run(status, ping, *options); });

    auto* disksCommand = app.add_subcommand("disks", "List the disks and partitions the helper sees");
    socketOption(disksCommand);
    disksCommand->add_flag("--json", options->json, "Print the helper's JSON unchanged");
    disksCommand->add_option("--for", options->nodeForName,
                             "Print only the raw disk name (/dev/rdiskN...) of this device node, such as /dev/loop3");
    disksCommand->callback([&status, options] { run(status, disks, *options); });

    auto* readCommand = app.add_subcommand("read", "Copy blocks of a raw device to stdout or a file");
    socketOption(readCommand);
    readCommand->add_option("DEVICE", options->device, "Raw device, for example /dev/rdisk0")->required();
    readCommand->add_option("--offset", options->offset, "First block")->required()->check(notNegative());
    readCommand->add_option("--count", options->count, "Number of blocks")->required()->check(notNegative());
    readCommand->add_option("--out", options->outPath, "Write to this file instead of stdout");
    const char* throughSocketHelp =
        "Receive the blocks over the socket instead of through a memory file shared with the helper (slower)";
    readCommand->add_flag("--through-socket", options->throughSocket, throughSocketHelp);
    readCommand->callback([&status, options] { run(status, read, *options); });

    auto* imageCommand = app.add_subcommand("image", "Copy every block of a raw device into an image file");
    socketOption(imageCommand);
    imageCommand->add_option("DEVICE", options->device, "Raw device, for example /dev/rdisk0")->required();
    imageCommand->add_option("FILE", options->imagePath, "Image file to write")->required();
    imageCommand->add_flag("--through-socket", options->throughSocket, throughSocketHelp);
    imageCommand->callback([&status, options] { run(status, image, *options); });
}

}  // namespace quarlin::cli
