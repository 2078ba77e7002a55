#include "platform/xpcclient/QuarlinHelperClient.h"

#include <future>

#include "HelperProtocol/QuarlinHelperConstants.h"
#include "HelperProtocol/QuarlinHelperXPCProtocol.h"

namespace quarlin {
namespace {

using platform::xpc::Packer;
using Values = std::optional<std::span<const msgpack::object>>;
namespace wire = platform::xpc;

const char* const kConnectionLost = "the connection to the helper ended before it replied";

template <class T>
using Result = QuarlinHelperClient::Result<T>;

template <class T>
Result<T> blocking(const std::function<void(std::function<void(Result<T>)>)>& start) {
    auto promise = std::make_shared<std::promise<Result<T>>>();
    auto future = promise->get_future();
    start([promise](Result<T> result) { promise->set_value(std::move(result)); });
    return future.get();
}

}  // namespace

std::string QuarlinHelperClient::defaultSocketPath() {
    return std::string(QuarlinHelperConstants::runDirectory) + "/" + std::string(QuarlinHelperConstants::machServiceName);
}

Result<QuarlinHelperClient> QuarlinHelperClient::connect(const std::string& socketPath) {
    auto connection = wire::XPCClientConnection::connect(socketPath);
    if (!connection) return std::unexpected(connection.error());
    return QuarlinHelperClient(std::move(*connection));
}

QuarlinHelperClient::QuarlinHelperClient(std::shared_ptr<wire::XPCClientConnection> connection)
    : connection_(std::move(connection)) {}

QuarlinHelperClient::~QuarlinHelperClient() { close(); }

void QuarlinHelperClient::close() {
    if (connection_) connection_->close();
}

namespace {

wire::XPCClientConnection::ReplyHandler dataReplyHandler(std::function<void(Result<DataReply>)> done,
                                                          const char* what) {
    return [done = std::move(done), what](Values v, Data* attachment) {
        if (!v) return done(std::unexpected(kConnectionLost)), true;
        if (v->size() == 2) {
            std::optional<std::optional<Data>> data;
            if (attachment && (*v)[0].type == msgpack::type::BIN) {
                data = std::optional<Data>(std::move(*attachment));
            } else {
                data = wire::asOptionalData((*v)[0]);
            }
            auto error = wire::asOptionalErrorObject((*v)[1]);
            if (data && error) {
                done(DataReply{std::move(*data), std::move(*error)});
                return true;
            }
        }
        done(std::unexpected(std::string("malformed reply to ") + what));
        return false;
    };
}

}  // namespace

void QuarlinHelperClient::ping(std::function<void(Result<std::string>)> done) {
    connection_->call(selectors::ping, 0, [](Packer&) {}, [done = std::move(done)](Values v, Data*) {
        if (!v) return done(std::unexpected(kConnectionLost)), true;
        std::optional<std::string> version;
        if (v->size() == 1) version = wire::asString((*v)[0]);
        if (!version) return done(std::unexpected("malformed reply to ping")), false;
        done(std::move(*version));
        return true;
    });
}

void QuarlinHelperClient::enumerateDisks(std::function<void(Result<DataReply>)> done) {
    connection_->call(selectors::enumerateDisks, 0, [](Packer&) {}, dataReplyHandler(std::move(done), "enumerateDisks"));
}

void QuarlinHelperClient::openSession(const std::string& devicePath,
                                      std::function<void(Result<OpenSessionReply>)> done) {
    connection_->call(
        selectors::openSession, 1, [&](Packer& p) { wire::pack(p, std::string_view(devicePath)); },
        [done = std::move(done)](Values v, Data*) {
            if (!v) return done(std::unexpected(kConnectionLost)), true;
            if (v->size() == 4) {
                auto handle = wire::asInt64((*v)[0]);
                auto blockSize = wire::asInt64((*v)[1]);
                auto blockCount = wire::asUInt64((*v)[2]);
                auto error = wire::asOptionalErrorObject((*v)[3]);
                if (handle && blockSize && blockCount && error) {
                    done(OpenSessionReply{*handle, *blockSize, *blockCount, std::move(*error)});
                    return true;
                }
            }
            done(std::unexpected("malformed reply to openSession"));
            return false;
        });
}

void QuarlinHelperClient::readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count,
                                     std::function<void(Result<DataReply>)> done) {
    connection_->call(
        selectors::readBlocks, 3,
        [&](Packer& p) {
            wire::pack(p, session);
            wire::pack(p, offset);
            wire::pack(p, count);
        },
        dataReplyHandler(std::move(done), "readBlocks"));
}

void QuarlinHelperClient::closeSession(std::int64_t session, std::function<void(Result<void>)> done) {
    connection_->call(
        selectors::closeSession, 1, [&](Packer& p) { wire::pack(p, session); },
        [done = std::move(done)](Values v, Data*) {
            if (!v) return done(std::unexpected(kConnectionLost)), true;
            if (!v->empty()) return done(std::unexpected("malformed reply to closeSession")), false;
            done({});
            return true;
        });
}

void QuarlinHelperClient::attachSharedBuffer(int memoryFile,
                                             std::function<void(Result<std::optional<ErrorObject>>)> done) {
    connection_->call(
        selectors::attachSharedBuffer, 0, [](Packer&) {},
        [done = std::move(done)](Values v, Data*) {
            if (!v) return done(std::unexpected(kConnectionLost)), true;
            auto error = v->size() == 1 ? wire::asOptionalErrorObject((*v)[0]) : std::nullopt;
            if (!error) return done(std::unexpected("malformed reply to attachSharedBuffer")), false;
            done(std::move(*error));
            return true;
        },
        memoryFile);
}

void QuarlinHelperClient::readBlocksIntoSharedBuffer(std::int64_t session, std::uint64_t offset, std::int64_t count,
                                                     std::uint64_t bufferOffset,
                                                     std::function<void(Result<SharedReadReply>)> done) {
    connection_->call(
        selectors::readBlocksIntoSharedBuffer, 4,
        [&](Packer& p) {
            wire::pack(p, session);
            wire::pack(p, offset);
            wire::pack(p, count);
            wire::pack(p, bufferOffset);
        },
        [done = std::move(done)](Values v, Data*) {
            if (!v) return done(std::unexpected(kConnectionLost)), true;
            if (v->size() == 2) {
                auto bytes = wire::asInt64((*v)[0]);
                auto error = wire::asOptionalErrorObject((*v)[1]);
                if (bytes && error) return done(SharedReadReply{*bytes, std::move(*error)}), true;
            }
            done(std::unexpected("malformed reply to readBlocksIntoSharedBuffer"));
            return false;
        });
}

Result<std::string> QuarlinHelperClient::ping() {
    return blocking<std::string>([this](auto done) { ping(std::move(done)); });
}
Result<DataReply> QuarlinHelperClient::enumerateDisks() {
    return blocking<DataReply>([this](auto done) { enumerateDisks(std::move(done)); });
}
Result<OpenSessionReply> QuarlinHelperClient::openSession(const std::string& devicePath) {
    return blocking<OpenSessionReply>([&](auto done) { openSession(devicePath, std::move(done)); });
}
Result<DataReply> QuarlinHelperClient::readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count) {
    return blocking<DataReply>([&](auto done) { readBlocks(session, offset, count, std::move(done)); });
}
Result<void> QuarlinHelperClient::closeSession(std::int64_t session) {
    return blocking<void>([&](auto done) { closeSession(session, std::move(done)); });
}
Result<std::optional<ErrorObject>> QuarlinHelperClient::attachSharedBuffer(int memoryFile) {
    return blocking<std::optional<ErrorObject>>([&](auto done) { attachSharedBuffer(memoryFile, std::move(done)); });
}

}  // namespace quarlin
