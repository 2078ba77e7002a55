// The five operations the helper exports to its client, in the order of the protocol's
// method list. Every operation answers only through its reply block, exactly once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "HelperProtocol/ErrorObject.h"
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
}  // namespace selectors

}  // namespace quarlin
