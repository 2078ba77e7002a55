#include "QuarlinHelper/QuarlinHelperService.h"

#include <algorithm>
#include <exception>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <cstring>
#include <malloc.h>
#include <limits>
#include <utility>
#include <variant>
#include <vector>

namespace quarlin {

namespace {

using Code = QuarlinHelperError::Code;

constexpr std::int64_t kFailedHandle = -1;
constexpr std::int64_t kSessionBlockSize = 512;
constexpr std::string_view kRawDevicePrefix = "/dev/r";
// A read at least this large that leaves no read under way gives freed memory back.
constexpr std::uint64_t kTrimAfterBytes = 16u << 20;

struct MapIOError {
    ErrorObject operator()(const IOError::OutOfBounds& e) const {
        return QuarlinHelperError::make(Code::outOfBounds, "Range [" + std::to_string(e.offset) + ", " +
                                                               rangeEndText(e.offset, e.count) + ") exceeds " +
                                                               std::to_string(e.deviceBlockCount) + " blocks.");
    }
    ErrorObject operator()(const IOError::PosixError& e) const {
        switch (e.errnoValue) {
            case 1:   // operation not permitted
            case 13:  // permission denied
                return QuarlinHelperError::make(Code::permissionDenied, e.description);
            case 2:  // no such file or directory
            case 6:  // no such device or address
                return QuarlinHelperError::make(Code::deviceNotFound, e.description);
            case 23:  // the system's file table is full
            case 24:  // this process's descriptor table is full
                return QuarlinHelperError::make(Code::general,
                                                "The helper has no file descriptor left: " + e.description);
            default:
                return QuarlinHelperError::make(Code::readFailed, e.description);
        }
    }
    ErrorObject operator()(const IOError::DeviceNotFound& e) const {
        return QuarlinHelperError::make(Code::deviceNotFound, "Device not found: " + e.path);
    }
    ErrorObject operator()(const IOError::WriteAccessDetected& e) const {
        return QuarlinHelperError::make(Code::writeAccessDetected, "Read-only invariant violated for " + e.path + ".");
    }
    ErrorObject operator()(const IOError::General& e) const {
        return QuarlinHelperError::make(Code::general, e.message);
    }
};

}  // namespace

QuarlinHelperService::QuarlinHelperService(InfoLookup infoLookup, DiskEnumeration diskEnumeration,
                                           std::int64_t firstHandle)
    : state_(std::make_shared<Sessions>()),
      infoLookup_(std::move(infoLookup)),
      diskEnumeration_(std::move(diskEnumeration)) {
    state_->nextHandle = firstHandle;
}

QuarlinHelperService::QuarlinHelperService(const QuarlinHelperService& base, std::uint64_t owner)
    : state_(base.state_), owner_(owner), infoLookup_(base.infoLookup_), diskEnumeration_(base.diskEnumeration_) {}

std::shared_ptr<QuarlinHelperService> QuarlinHelperService::forConnection() const {
    std::uint64_t owner = 0;
    {
        std::lock_guard guard(state_->lock);
        owner = state_->nextOwner++;
    }
    return std::shared_ptr<QuarlinHelperService>(new QuarlinHelperService(*this, owner));
}

ErrorObject QuarlinHelperService::errorFor(const IOError& error) { return std::visit(MapIOError{}, error.value()); }

void QuarlinHelperService::ping(Reply<std::string> reply) {
    std::optional<std::string> version;
    if (infoLookup_) version = infoLookup_("CFBundleShortVersionString");
    reply(version ? std::move(*version) : std::string("unknown"));
}

void QuarlinHelperService::openSession(
    std::string devicePath, Reply<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>> reply) {
    if (!devicePath.starts_with(kRawDevicePrefix)) {
        reply(kFailedHandle, 0, 0,
              QuarlinHelperError::make(Code::permissionDenied, "Refusing to open non-raw-device path: " + devicePath));
        return;
    }
    {
        std::lock_guard guard(state_->lock);
        std::size_t& slots = state_->slots[owner_];
        if (slots >= kMaxSessionsPerConnection) {
            reply(kFailedHandle, 0, 0,
                  QuarlinHelperError::make(Code::general, "Could not open " + devicePath + ": this connection has " +
                                                              std::to_string(slots) + " sessions open already."));
            return;
        }
        ++slots;  // given back when the open fails or the session ends
    }
    runtime::detach([state = state_, owner = owner_, devicePath = std::move(devicePath),
                     reply = std::move(reply)]() mutable -> runtime::Task<void> {
        std::shared_ptr<RawDiskBlockReader> reader;
        std::int64_t blockSize = 0;
        std::uint64_t blockCount = 0;
        std::optional<ErrorObject> error;
        try {
            reader = std::make_shared<RawDiskBlockReader>(devicePath, kSessionBlockSize, std::nullopt);
            blockSize = reader->blockSize();
            blockCount = co_await reader->totalBlocks();
        } catch (const IOError& e) {
            error = errorFor(e);
        } catch (const std::exception& e) {
            error = QuarlinHelperError::make(Code::general, "Could not open " + devicePath + ": " + e.what());
        } catch (...) {
            error = QuarlinHelperError::make(Code::general, "Could not open " + devicePath + ": unknown error");
        }
        if (error) {
            {
                std::lock_guard guard(state->lock);
                state->releaseSlot(owner);
            }
            reply(kFailedHandle, 0, 0, std::move(error));
            co_return;
        }

        std::optional<std::int64_t> handle;
        {
            std::lock_guard guard(state->lock);
            if (!state->handlesExhausted) {
                handle = state->nextHandle;
                // Past the largest handle there is no next one: refuse rather than wrap.
                if (*handle == std::numeric_limits<std::int64_t>::max()) {
                    state->handlesExhausted = true;
                } else {
                    state->nextHandle = *handle + 1;
                }
                state->sessions.emplace(*handle, Session{reader, owner, blockCount});
            } else {
                state->releaseSlot(owner);
            }
        }
        if (!handle) {
            reader.reset();  // closes the device before the client hears of it
            reply(kFailedHandle, 0, 0,
                  QuarlinHelperError::make(Code::general,
                                           "Could not open " + devicePath + ": no session handles are left."));
            co_return;
        }
        reply(*handle, blockSize, blockCount, std::nullopt);
    });
}

std::variant<QuarlinHelperService::AdmittedRead, ErrorObject> QuarlinHelperService::prepareRead(
    std::int64_t session, std::uint64_t offset, std::int64_t count) const {
    AdmittedRead read;
    std::uint64_t blockCount = 0;
    {
        std::lock_guard guard(state_->lock);
        auto it = state_->sessions.find(session);
        if (it != state_->sessions.end()) {
            read.reader = it->second.reader;
            blockCount = it->second.blockCount;
        }
    }
    if (!read.reader) {
        return QuarlinHelperError::make(Code::unknownSession, "Unknown session handle " + std::to_string(session) + ".");
    }
    // What the read will hold; a range the reader refuses holds nothing.
    const auto blockSize = static_cast<std::uint64_t>(read.reader->blockSize());
    const bool inRange = count > 0 && offset <= blockCount && static_cast<std::uint64_t>(count) <= blockCount - offset;
    read.bytes = inRange ? static_cast<std::uint64_t>(count) * blockSize : 0;
    if (read.bytes > kMaxReadBytesPerConnection) {
        return QuarlinHelperError::make(Code::general, "Reads of more than " +
                                                           std::to_string(kMaxReadBytesPerConnection) +
                                                           " bytes at once are refused; read in pieces.");
    }
    return read;
}

// The reply error for whatever a reader threw.
ErrorObject QuarlinHelperService::errorOfReadFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const IOError& e) {
        return errorFor(e);
    } catch (const std::exception& e) {
        return QuarlinHelperError::make(Code::readFailed, e.what());
    } catch (...) {
        return QuarlinHelperError::make(Code::readFailed, "unknown error");
    }
}

void QuarlinHelperService::readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count,
                                      Reply<std::optional<Data>, std::optional<ErrorObject>> reply) {
    auto prepared = prepareRead(session, offset, count);
    if (auto* refusal = std::get_if<ErrorObject>(&prepared)) return reply(std::nullopt, std::move(*refusal));
    auto [reader, bytes] = std::get<AdmittedRead>(std::move(prepared));
    // The task holds the reader: a close or drop meanwhile does not end this read.
    auto start = [state = state_, owner = owner_, bytes, reader = std::move(reader), offset, count,
                  reply = std::move(reply)]() mutable {
        runtime::detach([state = std::move(state), owner, bytes, reader = std::move(reader), offset, count,
                         reply = std::move(reply)]() mutable -> runtime::Task<void> {
            std::optional<Data> data;
            std::exception_ptr failure;
            try {
                data = co_await reader->readBlocks(offset, count);
            } catch (...) {
                failure = std::current_exception();
            }
            reader.reset();
            if (failure) {
                reply(std::nullopt, errorOfReadFailure(failure));
            } else {
                reply(std::move(data), std::nullopt);
            }
            releaseRead(state, owner, bytes);
        });
    };
    admitRead(state_, owner_, bytes, std::move(start));
}

// A memory file the client lent for reads into it, mapped for writing. It stays mapped while
// a read into it is under way, also after the client lent another or went away.
struct QuarlinHelperService::SharedBuffer {
    std::byte* base = nullptr;
    std::size_t size = 0;
    SharedBuffer(std::byte* b, std::size_t s) : base(b), size(s) {}
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;
    ~SharedBuffer() { ::munmap(base, size); }
};

void QuarlinHelperService::attachSharedBuffer(Descriptor memoryFile, Reply<std::optional<ErrorObject>> reply) {
    // Only a memory file that cannot shrink: pages of the mapping then never go away under
    // a read into them. Anything else the client may hold (a file, a socket) is refused.
    const int seals = ::fcntl(memoryFile.get(), F_GET_SEALS);
    struct stat status {};
    if (seals < 0 || !(seals & F_SEAL_SHRINK) || ::fstat(memoryFile.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return reply(QuarlinHelperError::make(Code::general, "The shared buffer must be a memory file sealed against "
                                                             "shrinking."));
    }
    if (status.st_size <= 0 || static_cast<std::uint64_t>(status.st_size) > kMaxSharedBufferBytes) {
        return reply(QuarlinHelperError::make(Code::general, "A shared buffer holds 1 to " +
                                                                 std::to_string(kMaxSharedBufferBytes) + " bytes, not " +
                                                                 std::to_string(status.st_size) + "."));
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memoryFile.get(), 0);
    if (base == MAP_FAILED) {
        return reply(QuarlinHelperError::make(Code::general, std::string("The shared buffer cannot be mapped for "
                                                                         "writing: ") + std::strerror(errno)));
    }
    auto buffer = std::make_shared<SharedBuffer>(static_cast<std::byte*>(base), size);
    {
        std::lock_guard guard(sharedBufferLock_);
        sharedBuffer_ = std::move(buffer);
    }
    reply(std::nullopt);
}

void QuarlinHelperService::readBlocksIntoSharedBuffer(std::int64_t session, std::uint64_t offset, std::int64_t count,
                                                      std::uint64_t bufferOffset,
                                                      Reply<std::int64_t, std::optional<ErrorObject>> reply) {
    std::shared_ptr<SharedBuffer> buffer;
    {
        std::lock_guard guard(sharedBufferLock_);
        buffer = sharedBuffer_;
    }
    if (!buffer) return reply(kFailedHandle, QuarlinHelperError::make(Code::general, "No shared buffer is attached."));
    auto prepared = prepareRead(session, offset, count);
    if (auto* refusal = std::get_if<ErrorObject>(&prepared)) return reply(kFailedHandle, std::move(*refusal));
    auto [reader, bytes] = std::get<AdmittedRead>(std::move(prepared));
    if (bufferOffset > buffer->size || bytes > buffer->size - bufferOffset) {
        return reply(kFailedHandle, QuarlinHelperError::make(Code::general,
                                                             "A read of " + std::to_string(bytes) + " bytes at " +
                                                                 std::to_string(bufferOffset) +
                                                                 " does not fit the shared buffer of " +
                                                                 std::to_string(buffer->size) + " bytes."));
    }
    // A range the reader refuses reads into an empty span, and the reader says why.
    const std::span<std::byte> into(buffer->base + bufferOffset, static_cast<std::size_t>(bytes));
    auto start = [state = state_, owner = owner_, bytes, reader = std::move(reader), buffer = std::move(buffer), into,
                  offset, count, reply = std::move(reply)]() mutable {
        runtime::detach([state = std::move(state), owner, bytes, reader = std::move(reader), buffer = std::move(buffer),
                         into, offset, count, reply = std::move(reply)]() mutable -> runtime::Task<void> {
            std::exception_ptr failure;
            try {
                co_await reader->readBlocksInto(offset, count, into);
            } catch (...) {
                failure = std::current_exception();
            }
            reader.reset();
            buffer.reset();
            if (failure) {
                reply(kFailedHandle, errorOfReadFailure(failure));
            } else {
                reply(static_cast<std::int64_t>(bytes), std::nullopt);
            }
            releaseRead(state, owner, bytes);
        });
    };
    admitRead(state_, owner_, bytes, std::move(start));
}

std::uint64_t QuarlinHelperService::replyBytesOfRead(std::int64_t session, std::int64_t count) const {
    if (count <= 0) return 0;
    std::lock_guard guard(state_->lock);
    const auto it = state_->sessions.find(session);
    if (it == state_->sessions.end()) return 0;
    // Saturates: a count this large is refused, and then holds nothing.
    const auto blocks = static_cast<std::uint64_t>(count);
    const auto blockSize = static_cast<std::uint64_t>(it->second.reader->blockSize());
    return blocks > kMaxReadBytesPerConnection / blockSize ? 0 : blocks * blockSize;
}

void QuarlinHelperService::admitRead(const std::shared_ptr<Sessions>& state, std::uint64_t owner, std::uint64_t bytes,
                                     std::move_only_function<void()> start) {
    {
        std::lock_guard guard(state->lock);
        const bool queuedBefore = std::any_of(state->waitingReads.begin(), state->waitingReads.end(),
                                              [&](const WaitingRead& w) { return w.owner == owner; });
        if (queuedBefore || !state->roomFor(owner, bytes)) {
            state->waitingReads.push_back({owner, bytes, std::move(start)});
            return;
        }
        state->readBytes += bytes;
        state->readBytesBy[owner] += bytes;
    }
    start();
}

void QuarlinHelperService::releaseRead(const std::shared_ptr<Sessions>& state, std::uint64_t owner,
                                       std::uint64_t bytes) {
    std::vector<std::move_only_function<void()>> startable;
    bool idle = false;
    {
        std::lock_guard guard(state->lock);
        state->readBytes -= bytes;
        if (auto it = state->readBytesBy.find(owner); it != state->readBytesBy.end() && (it->second -= bytes) == 0) {
            state->readBytesBy.erase(it);
        }
        // In order, but an owner whose first waiting read does not fit keeps its later ones
        // waiting too, and holds up no one else.
        std::vector<std::uint64_t> blocked;
        for (auto it = state->waitingReads.begin(); it != state->waitingReads.end();) {
            const bool ownerBlocked = std::find(blocked.begin(), blocked.end(), it->owner) != blocked.end();
            if (ownerBlocked || !state->roomFor(it->owner, it->bytes)) {
                if (!ownerBlocked) blocked.push_back(it->owner);
                ++it;
                continue;
            }
            state->readBytes += it->bytes;
            state->readBytesBy[it->owner] += it->bytes;
            startable.push_back(std::move(it->start));
            it = state->waitingReads.erase(it);
        }
        idle = state->readBytes == 0 && bytes >= kTrimAfterBytes;
    }
    for (auto& start : startable) start();
    // After a burst of large reads, give their memory back to the system.
    if (idle) ::malloc_trim(0);
}

void QuarlinHelperService::closeSession(std::int64_t session, Reply<> reply) {
    std::shared_ptr<RawDiskBlockReader> removed;
    {
        std::lock_guard guard(state_->lock);
        auto node = state_->sessions.extract(session);
        if (node) {
            removed = std::move(node.mapped().reader);
            state_->releaseSlot(node.mapped().owner);
        }
    }
    removed.reset();  // outside the lock: this may close the device
    reply();
}

void QuarlinHelperService::dropOwnSessions() {
    // The readers are released outside the lock: releasing one may close its device.
    std::vector<std::shared_ptr<RawDiskBlockReader>> dropped;
    {
        std::lock_guard guard(state_->lock);
        std::erase_if(state_->sessions, [&](auto& entry) {
            if (entry.second.owner != owner_) return false;
            dropped.push_back(std::move(entry.second.reader));
            return true;
        });
        // Reads still waiting for room are not started for a connection that is gone.
        std::erase_if(state_->waitingReads, [&](const WaitingRead& waiting) { return waiting.owner == owner_; });
        // Opens still under way keep their slots until they finish.
        if (auto it = state_->slots.find(owner_); it != state_->slots.end()) {
            it->second -= std::min(it->second, dropped.size());
            if (it->second == 0) state_->slots.erase(it);
        }
    }
}

void QuarlinHelperService::dropAllSessions() {
    std::map<std::int64_t, Session> dropped;
    {
        std::lock_guard guard(state_->lock);
        dropped.swap(state_->sessions);
        for (const auto& [handle, session] : dropped) state_->releaseSlot(session.owner);
    }
}

}  // namespace quarlin
