// The application's side of the helper's protocol: the five calls, each with a callback
// (run on the connection's reader thread) or blocking. A call fails with a text when the
// connection ends before its reply comes or the reply is malformed; the helper's own
// errors arrive as error objects in the reply.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HelperProtocol/ErrorObject.h"
#include "QuarlinCore/io/Data.h"
#include "platform/xpcclient/XPCClientConnection.h"

namespace quarlin {

struct OpenSessionReply {
    std::int64_t handle = -1;
    std::int64_t blockSize = 0;
    std::uint64_t blockCount = 0;
    std::optional<ErrorObject> error;
};

struct DataReply {
    std::optional<Data> data;
    std::optional<ErrorObject> error;
};

struct SharedReadReply {
    std::int64_t bytes = -1;
    std::optional<ErrorObject> error;
};

class QuarlinHelperClient {
public:
    template <class T>
    using Result = std::expected<T, std::string>;

    // /run/quarlin/dev.vembrow.quarlin.helper
    static std::string defaultSocketPath();
    static Result<QuarlinHelperClient> connect(const std::string& socketPath = defaultSocketPath());
    explicit QuarlinHelperClient(std::shared_ptr<platform::xpc::XPCClientConnection> connection);

    QuarlinHelperClient(QuarlinHelperClient&&) = default;
    QuarlinHelperClient& operator=(QuarlinHelperClient&&) = delete;
    ~QuarlinHelperClient();

    void ping(std::function<void(Result<std::string>)> done);
    void enumerateDisks(std::function<void(Result<DataReply>)> done);
    void openSession(const std::string& devicePath, std::function<void(Result<OpenSessionReply>)> done);
    void readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count,
                    std::function<void(Result<DataReply>)> done);
    void closeSession(std::int64_t session, std::function<void(Result<void>)> done);
    // Lends the helper `memoryFile` (a memfd sealed against shrinking) and reads blocks
    // straight into it, at `bufferOffset`, instead of receiving them over the socket.
    void attachSharedBuffer(int memoryFile, std::function<void(Result<std::optional<ErrorObject>>)> done);
    void readBlocksIntoSharedBuffer(std::int64_t session, std::uint64_t offset, std::int64_t count,
                                    std::uint64_t bufferOffset, std::function<void(Result<SharedReadReply>)> done);

    Result<std::string> ping();
    Result<DataReply> enumerateDisks();
    Result<OpenSessionReply> openSession(const std::string& devicePath);
    Result<DataReply> readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count);
    Result<void> closeSession(std::int64_t session);
    Result<std::optional<ErrorObject>> attachSharedBuffer(int memoryFile);

    void close();

private:
    std::shared_ptr<platform::xpc::XPCClientConnection> connection_;
};

}  // namespace quarlin
