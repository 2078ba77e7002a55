#include "QuarlinHelper/QuarlinHelperService.h"

#include <algorithm>
#include <exception>
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
                state->sessions.emplace(*handle, Session{reader, owner});
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

void QuarlinHelperService::readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count,
                                      Reply<std::optional<Data>, std::optional<ErrorObject>> reply) {
    std::shared_ptr<RawDiskBlockReader> reader;
    {
        std::lock_guard guard(state_->lock);
        auto it = state_->sessions.find(session);
        if (it != state_->sessions.end()) reader = it->second.reader;
    }
    if (!reader) {
        reply(std::nullopt, QuarlinHelperError::make(Code::unknownSession,
                                                     "Unknown session handle " + std::to_string(session) + "."));
        return;
    }
    // The task holds the reader: a close or drop meanwhile does not end this read.
    runtime::detach([reader = std::move(reader), offset, count, reply = std::move(reply)]() mutable -> runtime::Task<void> {
        std::optional<Data> bytes;
        std::optional<ErrorObject> error;
        try {
            bytes = co_await reader->readBlocks(offset, count);
        } catch (const IOError& e) {
            error = errorFor(e);
        } catch (const std::exception& e) {
            error = QuarlinHelperError::make(Code::readFailed, e.what());
        } catch (...) {
            error = QuarlinHelperError::make(Code::readFailed, "unknown error");
        }
        reader.reset();
        if (error) {
            reply(std::nullopt, std::move(error));
        } else {
            reply(std::move(bytes), std::nullopt);
        }
    });
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
