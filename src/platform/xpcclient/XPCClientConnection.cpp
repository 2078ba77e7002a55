#include "platform/xpcclient/XPCClientConnection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quarlin::platform::xpc {
namespace {

bool readExactly(int fd, std::byte* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::expected<std::shared_ptr<XPCClientConnection>, std::string> XPCClientConnection::connect(
    const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return std::unexpected("socket path too long: " + socketPath);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(std::string("socket: ") + std::strerror(errno));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        ::close(fd);
        return std::unexpected(socketPath + ": " + std::strerror(error));
    }
    return adopt(fd);
}

std::shared_ptr<XPCClientConnection> XPCClientConnection::adopt(int fd) {
    std::shared_ptr<XPCClientConnection> connection(new XPCClientConnection(fd));
    // The reader keeps the connection alive until the socket ends; whoever drops the last
    // other reference closes it first (see QuarlinHelperClient).
    connection->reader_ = std::thread([self = connection]() mutable {
        self->readReplies();
        self.reset();
    });
    return connection;
}

XPCClientConnection::XPCClientConnection(int fd) : fd_(fd) {}

XPCClientConnection::~XPCClientConnection() {
    close();
    if (reader_.joinable()) {
        if (reader_.get_id() == std::this_thread::get_id()) {
            reader_.detach();
        } else {
            reader_.join();
        }
    }
    ::close(fd_);
}

void XPCClientConnection::close() {
    if (open_.exchange(false)) ::shutdown(fd_, SHUT_RDWR);
}

void XPCClientConnection::call(std::string_view selector, std::uint32_t argumentCount,
                               const std::function<void(Packer&)>& packArguments, ReplyHandler onReply) {
    msgpack::sbuffer frame;
    beginFrame(frame);
    Packer p(frame);
    bool sent = false;
    {
        std::lock_guard lock(mutex_);
        if (open_.load()) {
            std::uint64_t id = nextCallId_++;
            p.pack_array(2 + argumentCount);
            p.pack_uint64(id);
            xpc::pack(p, selector);
            packArguments(p);
            finishFrame(frame);
            pending_.emplace(id, std::move(onReply));
            sent = writeAll(fd_, frame.data(), frame.size());
            if (!sent) {
                onReply = std::move(pending_[id]);
                pending_.erase(id);
            }
        }
    }
    if (!sent) {
        close();
        if (onReply) onReply(std::nullopt);
    }
}

void XPCClientConnection::readReplies() {
    std::byte header[kFrameHeaderSize];
    Data body;
    while (readExactly(fd_, header, sizeof header)) {
        std::uint32_t length = decodeFrameLength(std::span<const std::byte, kFrameHeaderSize>(header, kFrameHeaderSize));
        body.resize(length);
        if (!readExactly(fd_, body.data(), body.size())) break;
        auto message = unpackMessage(body);
        if (!message) break;
        const msgpack::object& root = message->get();
        if (root.type != msgpack::type::ARRAY || root.via.array.size < 1) break;
        auto id = asUInt64(root.via.array.ptr[0]);
        if (!id) break;
        ReplyHandler handler;
        {
            std::lock_guard lock(mutex_);
            auto it = pending_.find(*id);
            if (it == pending_.end()) break;  // a reply nobody asked for
            handler = std::move(it->second);
            pending_.erase(it);
        }
        if (!handler(std::span<const msgpack::object>(root.via.array.ptr + 1, root.via.array.size - 1))) break;
    }
    close();
    failAll();
}

void XPCClientConnection::failAll() {
    std::map<std::uint64_t, ReplyHandler> waiting;
    {
        std::lock_guard lock(mutex_);
        waiting.swap(pending_);
    }
    for (auto& [id, handler] : waiting) handler(std::nullopt);
}

}  // namespace quarlin::platform::xpc
