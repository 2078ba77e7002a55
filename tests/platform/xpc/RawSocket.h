// A client of a local-socket service that writes whatever bytes a test tells it to and
// reads frames back, and the frames a test sends through it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xpc/Wire.h"

namespace quarlin::testing {

using platform::xpc::Packer;

class RawClient {
public:
    explicit RawClient(const std::string& path);
    // Takes over a connected socket.
    explicit RawClient(int fd) : fd_(fd) {}
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void close();
    // `descriptors` travel with the first byte.
    bool write(std::span<const std::byte> bytes, const std::vector<int>& descriptors = {});
    // The next frame's body, or none at end of stream or after 10 s.
    std::optional<Data> readFrame();
    // True when the service closed the connection (within 10 s), whatever it sent first.
    bool closedByPeer();
    int fd() const { return fd_; }

private:
    bool readExactly(std::byte* data, std::size_t size);
    int fd_ = -1;
};

// A whole frame holding [id, selector, arguments...]; `arguments` packs `argumentCount` values.
Data callFrame(std::uint64_t id, std::string_view selector, const std::function<void(Packer&)>& arguments = {},
               std::uint32_t argumentCount = 0);
// A length header with any value, followed by `body`.
Data rawFrame(std::uint32_t length, std::span<const std::byte> body);

}  // namespace quarlin::testing
