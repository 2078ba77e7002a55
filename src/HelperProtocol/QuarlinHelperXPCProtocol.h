// The operations the helper exports to its client, in the order of the protocol's method
// list. Every operation answers only through its reply block, exactly once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "HelperProtocol/Descriptor.h"
#include "HelperProtocol/ErrorObject.h"
#include "HelperProtocol/QuarlinHelperError.h"
#include "HelperProtocol/Reply.h"
#include "QuarlinCore/io/Data.h"

namespace quarlin {

class QuarlinHelperXPCProtocol {
public:
    virtual ~QuarlinHelperXPCProtocol() = default;

    // pingWithReply:
    virtual void ping(Reply<std::string> reply) = 0;
    // enumerateDisksWithReply:
    virtual void enumerateDisks(Reply<std::optional<Data>, std::optional<ErrorObject>> reply) = 0;
    // openSessionWithDevicePath:reply: — (handle, block size, block count, error)
    virtual void openSession(
        std::string devicePath,
        Reply<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>> reply) = 0;
    // readBlocksWithSession:offset:count:reply:
    virtual void readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count,
                            Reply<std::optional<Data>, std::optional<ErrorObject>> reply) = 0;
    // closeSessionWithSession:reply:
    virtual void closeSession(std::int64_t session, Reply<> reply) = 0;

    // The copy-free read path, for a client on the same machine: the client lends the helper
    // a memory file (sent with the call, sealed against shrinking) and asks for blocks to be
    // read straight into it, so that no block crosses the socket. A client that never calls
    // these reads as before.
    // attachSharedBufferWithReply: — (error); the descriptor travels with the call.
    virtual void attachSharedBuffer(Descriptor memoryFile, Reply<std::optional<ErrorObject>> reply) {
        (void)memoryFile;
        reply(QuarlinHelperError::make(QuarlinHelperError::Code::general, "Shared buffers are not supported."));
    }
    // readBlocksWithSession:offset:count:intoSharedBufferAt:reply: — (bytes read, error)
    virtual void readBlocksIntoSharedBuffer(std::int64_t session, std::uint64_t offset, std::int64_t count,
                                            std::uint64_t bufferOffset,
                                            Reply<std::int64_t, std::optional<ErrorObject>> reply) {
        (void)session, (void)offset, (void)count, (void)bufferOffset;
        reply(-1, QuarlinHelperError::make(QuarlinHelperError::Code::general, "Shared buffers are not supported."));
    }

    // Not an operation: the bytes a read would answer with, so that a connection can bound
    // what its calls under way will hold before it takes more. By default blocks of the
    // largest logical size, 4096 bytes.
    virtual std::uint64_t replyBytesOfRead(std::int64_t session, std::int64_t count) const {
        (void)session;
        return count > 0 ? static_cast<std::uint64_t>(count) * 4096 : 0;
    }
};

// The selectors as they travel on the wire.
namespace selectors {
inline constexpr const char* ping = "pingWithReply:";
inline constexpr const char* enumerateDisks = "enumerateDisksWithReply:";
inline constexpr const char* openSession = "openSessionWithDevicePath:reply:";
inline constexpr const char* readBlocks = "readBlocksWithSession:offset:count:reply:";
inline constexpr const char* closeSession = "closeSessionWithSession:reply:";
inline constexpr const char* attachSharedBuffer = "attachSharedBufferWithReply:";
inline constexpr const char* readBlocksIntoSharedBuffer = "readBlocksWithSession:offset:count:intoSharedBufferAt:reply:";
}  // namespace selectors

}  // namespace quarlin
