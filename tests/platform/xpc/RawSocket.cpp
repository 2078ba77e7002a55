#include "RawSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace quarlin::testing {

using namespace platform::xpc;

RawClient::RawClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot connect to " + path);
    }
}

void RawClient::close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

bool RawClient::write(std::span<const std::byte> bytes, const std::vector<int>& descriptors) {
    for (bool first = true; !bytes.empty(); first = false) {
        ssize_t n = sendWithDescriptors(fd_, bytes, first ? std::span<const int>(descriptors) : std::span<const int>());
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<Data> RawClient::readFrame() {
    std::byte header[kFrameHeaderSize];
    if (!readExactly(header, sizeof header)) return std::nullopt;
    Data body(decodeFrameLength(std::span<const std::byte, kFrameHeaderSize>(header, kFrameHeaderSize)));
    if (!readExactly(body.data(), body.size())) return std::nullopt;
    return body;
}

bool RawClient::closedByPeer() {
    std::byte sink[65536];
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return false;
        ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
        if (n <= 0) return true;
    }
}

bool RawClient::readExactly(std::byte* data, std::size_t size) {
    while (size > 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return false;
        ssize_t n = ::recv(fd_, data, size, 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

Data callFrame(std::uint64_t id, std::string_view selector, const std::function<void(Packer&)>& arguments,
               std::uint32_t argumentCount) {
    msgpack::sbuffer buffer;
    beginFrame(buffer);
    Packer p(buffer);
    p.pack_array(2 + argumentCount);
    p.pack_uint64(id);
    pack(p, selector);
    if (arguments) arguments(p);
    finishFrame(buffer);
    auto* b = reinterpret_cast<const std::byte*>(buffer.data());
    return Data(b, b + buffer.size());
}

Data rawFrame(std::uint32_t length, std::span<const std::byte> body) {
    Data d(kFrameHeaderSize);
    encodeFrameLength(length, std::span<std::byte, kFrameHeaderSize>(d.data(), kFrameHeaderSize));
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

}  // namespace quarlin::testing
