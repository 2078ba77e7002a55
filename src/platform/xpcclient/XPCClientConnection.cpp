#include "platform/xpcclient/XPCClientConnection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
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

// Sends the frame; `descriptor` (if not -1) with its first byte.
bool writeAll(int fd, const char* data, std::size_t size, int descriptor) {
    while (descriptor >= 0 && size > 0) {
        ssize_t n = sendWithDescriptors(fd, std::as_bytes(std::span(data, size)), std::span(&descriptor, 1));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        descriptor = -1;
    }
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
                               const std::function<void(Packer&)>& packArguments, ReplyHandler onReply,
                               int descriptor) {
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
            sent = writeAll(fd_, frame.data(), frame.size(), descriptor);
            if (!sent) {
                onReply = std::move(pending_[id]);
                pending_.erase(id);
            }
        }
    }
    if (!sent) {
        close();
        if (onReply) onReply(std::nullopt, nullptr);
    }
}

void XPCClientConnection::readReplies() {
    std::byte header[kFrameHeaderSize];
    Data body;
    std::optional<Data> attachment;
    while (readExactly(fd_, header, sizeof header)) {
        std::uint32_t length = decodeFrameLength(std::span<const std::byte, kFrameHeaderSize>(header, kFrameHeaderSize));
        if (!readBody(length, body, attachment)) break;
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
        if (!handler(std::span<const msgpack::object>(root.via.array.ptr + 1, root.via.array.size - 1),
                     attachment ? &*attachment : nullptr)) {
            break;
        }
    }
    close();
    failAll();
}

// Reads one frame body. A reply of the form [callId, bin, ...] has its bin's payload read
// straight into `attachment`, and `body` then holds the message with an empty bin in its
// place; any other body is read whole.
bool XPCClientConnection::readBody(std::uint32_t length, Data& body, std::optional<Data>& attachment) {
    attachment.reset();
    constexpr std::size_t kPrefix = 16;
    std::byte prefix[kPrefix];
    const std::size_t k = std::min<std::size_t>(length, kPrefix);
    if (!readExactly(fd_, prefix, k)) return false;
    auto at = [&](std::size_t i) { return std::to_integer<std::uint32_t>(prefix[i]); };
    std::size_t position = 0, binLength = 0, binHeader = 0;
    bool split = false;
    if (k == kPrefix && (at(0) & 0xF0) == 0x90 && (at(0) & 0x0F) >= 2) {
        position = 1;
        std::uint32_t idByte = at(position);
        position += idByte < 0x80 ? 1 : idByte == 0xCC ? 2 : idByte == 0xCD ? 3 : idByte == 0xCE ? 5 : idByte == 0xCF ? 9 : 0;
        if (position > 1) {
            std::uint32_t binByte = at(position);
            if (binByte == 0xC5) {
                binLength = (at(position + 1) << 8) | at(position + 2);
                binHeader = 3;
            } else if (binByte == 0xC6 && position + 5 <= kPrefix) {
                binLength = (std::size_t{at(position + 1)} << 24) | (at(position + 2) << 16) | (at(position + 3) << 8) |
                            at(position + 4);
                binHeader = 5;
            }
            split = binHeader > 0 && position + binHeader <= kPrefix && binLength <= length - position - binHeader;
        }
    }
    if (!split) {
        body.assign(prefix, prefix + k);
        body.resize(length);
        return readExactly(fd_, body.data() + k, length - k);
    }
    const std::size_t payloadStart = position + binHeader;
    Data payload(binLength);
    const std::size_t inPrefix = std::min(binLength, kPrefix - payloadStart);
    std::copy(prefix + payloadStart, prefix + payloadStart + inPrefix, payload.begin());
    if (!readExactly(fd_, payload.data() + inPrefix, binLength - inPrefix)) return false;
    // The message without the payload: what came before the bin, an empty bin, the rest.
    body.assign(prefix, prefix + position);
    body.push_back(std::byte{0xC4});
    body.push_back(std::byte{0x00});
    const std::size_t restInPrefix = kPrefix - payloadStart - inPrefix;
    body.insert(body.end(), prefix + payloadStart + inPrefix, prefix + kPrefix);
    const std::size_t rest = length - payloadStart - binLength - restInPrefix;
    const std::size_t before = body.size();
    body.resize(before + rest);
    if (!readExactly(fd_, body.data() + before, rest)) return false;
    attachment = std::move(payload);
    return true;
}

void XPCClientConnection::failAll() {
    std::map<std::uint64_t, ReplyHandler> waiting;
    {
        std::lock_guard lock(mutex_);
        waiting.swap(pending_);
    }
    for (auto& [id, handler] : waiting) handler(std::nullopt, nullptr);
}

}  // namespace quarlin::platform::xpc
