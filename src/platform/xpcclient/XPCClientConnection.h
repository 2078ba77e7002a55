// The calling side of a local-socket service: sends calls, matches replies to them by
// call id, whatever order they come back in. One reader thread per connection delivers
// the replies; when the connection ends, every call still waiting learns it.
#pragma once

#include <msgpack.hpp>

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/xpc/Wire.h"

namespace quarlin::platform::xpc {

class XPCClientConnection {
public:
    // Runs on the reader thread with the reply's values (after the call id), or with
    // none when the connection ended first. Returns false when the values do not have
    // the shape the call expects; that ends the connection.
    // When the first value is a byte buffer, its bytes may come as `attachment` (the
    // handler may take them) with an empty bin in their place, saving a copy.
    using ReplyHandler =
        std::function<bool(std::optional<std::span<const msgpack::object>> values, Data* attachment)>;

    static std::expected<std::shared_ptr<XPCClientConnection>, std::string> connect(const std::string& socketPath);
    // Takes over a connected socket.
    static std::shared_ptr<XPCClientConnection> adopt(int fd);

    ~XPCClientConnection();
    XPCClientConnection(const XPCClientConnection&) = delete;
    XPCClientConnection& operator=(const XPCClientConnection&) = delete;

    // Sends [callId, selector, args...]; `packArguments` packs exactly `argumentCount`
    // values. When the connection is already gone the handler runs at once with none. A
    // `descriptor` (not -1) travels with the call's first byte; the caller keeps its own.
    void call(std::string_view selector, std::uint32_t argumentCount,
              const std::function<void(Packer&)>& packArguments, ReplyHandler onReply, int descriptor = -1);

    // Ends the connection; waiting calls are answered with none. The reader thread holds
    // the connection until then, so an owner must close it when done with it.
    void close();
    bool isOpen() const { return open_.load(); }

private:
    explicit XPCClientConnection(int fd);
    void readReplies();
    bool readBody(std::uint32_t length, Data& body, std::optional<Data>& attachment);
    void failAll();

    int fd_;
    std::atomic<bool> open_{true};
    std::mutex mutex_;  // guards pending_, nextCallId_ and writes to fd_
    std::map<std::uint64_t, ReplyHandler> pending_;
    std::uint64_t nextCallId_ = 1;
    std::thread reader_;
};

}  // namespace quarlin::platform::xpc
