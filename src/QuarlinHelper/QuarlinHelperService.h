// The one object the helper exports to its clients: a liveness ping, the disk list and
// read-only block sessions on raw devices, every answer through a reply block called
// exactly once. Failures become error objects of the helper's domain.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "DiskAccess/RawDiskBlockReader.h"
#include "HelperProtocol/QuarlinHelperError.h"
#include "HelperProtocol/QuarlinHelperXPCProtocol.h"
#include "QuarlinCore/io/IOError.h"
#include "runtime/Runtime.h"

namespace quarlin {

class QuarlinHelperService final : public QuarlinHelperXPCProtocol {
public:
    // A value of the helper's information list ("CFBundleShortVersionString"), if it has one.
    using InfoLookup = std::function<std::optional<std::string>(std::string_view key)>;
    // The disk list as the JSON text of the reply; fails by throwing.
    using DiskEnumeration = std::function<runtime::Task<Data>()>;

    // `firstHandle` is the handle of the first successful open (1 in the helper).
    explicit QuarlinHelperService(InfoLookup infoLookup = {}, DiskEnumeration diskEnumeration = {},
                                  std::int64_t firstHandle = 1);

    void ping(Reply<std::string> reply) override;
    void enumerateDisks(Reply<std::optional<Data>, std::optional<ErrorObject>> reply) override;
    void openSession(std::string devicePath,
                     Reply<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>> reply) override;
    void readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count,
                    Reply<std::optional<Data>, std::optional<ErrorObject>> reply) override;
    void closeSession(std::int64_t session, Reply<> reply) override;
    // Reads into a memory file the connection lent: one per connection at a time (a second
    // replaces the first), at most kMaxSharedBufferBytes, bounded like any other read.
    void attachSharedBuffer(Descriptor memoryFile, Reply<std::optional<ErrorObject>> reply) override;
    void readBlocksIntoSharedBuffer(std::int64_t session, std::uint64_t offset, std::int64_t count,
                                    std::uint64_t bufferOffset,
                                    Reply<std::int64_t, std::optional<ErrorObject>> reply) override;
    static constexpr std::uint64_t kMaxSharedBufferBytes = 16u << 20;
    std::uint64_t replyBytesOfRead(std::int64_t session, std::int64_t count) const override;

    // A service for one more connection: it shares this one's sessions, handles and
    // lookups, and owns the sessions opened through it. Any connection may use any handle.
    std::shared_ptr<QuarlinHelperService> forConnection() const;

    // Ends the sessions opened through this service object (its connection has ended).
    void dropOwnSessions();
    // Ends every session of every client; handles already given out are never reused.
    void dropAllSessions();

    // At most this many sessions opened through one connection are open at once.
    static constexpr std::size_t kMaxSessionsPerConnection = 64;
    // Bytes of reads under way, reserved before a read allocates anything: per connection
    // (a larger single read is refused) and for the whole helper. A read that does not fit
    // waits until earlier ones of its connection, or of anyone, have replied; a connection
    // whose reads wait holds up only itself while the helper as a whole has room.
    static constexpr std::uint64_t kMaxReadBytesPerConnection = 256u << 20;
    static constexpr std::uint64_t kMaxReadBytesInFlight = 1u << 30;

    // The reply error for a reader's IOError.
    static ErrorObject errorFor(const IOError& error);

private:
    // What the asynchronous work shares with the service: the session table and the handle
    // counter under their lock. Tasks hold it, so they may outlive the service object.
    struct Session {
        std::shared_ptr<RawDiskBlockReader> reader;
        std::uint64_t owner;
        std::uint64_t blockCount;
    };
    struct WaitingRead {
        std::uint64_t owner;
        std::uint64_t bytes;
        std::move_only_function<void()> start;
    };
    struct Sessions {
        std::mutex lock;
        std::map<std::int64_t, Session> sessions;
        std::int64_t nextHandle;
        std::uint64_t nextOwner = 1;
        // Sessions open and opens under way, by owner: what kMaxSessionsPerConnection bounds.
        std::map<std::uint64_t, std::size_t> slots;
        // Read bytes reserved, in all and by owner, and the reads waiting for room.
        std::uint64_t readBytes = 0;
        std::map<std::uint64_t, std::uint64_t> readBytesBy;
        std::deque<WaitingRead> waitingReads;
        bool roomFor(std::uint64_t owner, std::uint64_t bytes) const {
            const auto it = readBytesBy.find(owner);
            const std::uint64_t mine = it == readBytesBy.end() ? 0 : it->second;
            return readBytes + bytes <= kMaxReadBytesInFlight && mine + bytes <= kMaxReadBytesPerConnection;
        }
        void releaseSlot(std::uint64_t owner) {
            if (auto it = slots.find(owner); it != slots.end() && --it->second == 0) slots.erase(it);
        }
        // Set once the largest handle has been given out; later opens are refused.
        bool handlesExhausted = false;
    };

    QuarlinHelperService(const QuarlinHelperService& base, std::uint64_t owner);
    // A read of a session's blocks that may start once the budgets have room: its reader and
    // the bytes it will hold; or why it is refused at once.
    struct AdmittedRead {
        std::shared_ptr<RawDiskBlockReader> reader;
        std::uint64_t bytes = 0;
    };
    std::variant<AdmittedRead, ErrorObject> prepareRead(std::int64_t session, std::uint64_t offset,
                                                        std::int64_t count) const;
    static ErrorObject errorOfReadFailure(std::exception_ptr failure);
    struct SharedBuffer;
    // Starts `start` now when `bytes` fit the read budgets, else queues it behind the reads
    // already waiting.
    static void admitRead(const std::shared_ptr<Sessions>& state, std::uint64_t owner, std::uint64_t bytes,
                          std::move_only_function<void()> start);
    // Gives back a finished read's bytes and starts the waiting reads that now fit.
    static void releaseRead(const std::shared_ptr<Sessions>& state, std::uint64_t owner, std::uint64_t bytes);

    std::shared_ptr<Sessions> state_;
    std::uint64_t owner_ = 0;  // the connection this object serves; 0 for the first
    InfoLookup infoLookup_;
    DiskEnumeration diskEnumeration_;
    std::mutex sharedBufferLock_;
    std::shared_ptr<SharedBuffer> sharedBuffer_;
};

}  // namespace quarlin
