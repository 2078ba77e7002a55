// The wire form of calls and replies on a local socket: frames of a u32 little-endian
// length followed by a MessagePack body. A call is [callId, selector, args...], its reply
// [callId, values...]. Byte buffers are `bin`, nil is `nil`, an error object is a map
// with "domain", "code" and "userInfo".
#pragma once

#include <msgpack.hpp>

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "HelperProtocol/ErrorObject.h"
#include "QuarlinCore/io/Data.h"

namespace quarlin::platform::xpc {

// The largest frame body a peer may send to the service; anything longer ends the
// connection. Replies to the client are bounded only by the 32-bit length.
inline constexpr std::uint32_t kMaxCallFrameSize = 64 * 1024;
inline constexpr std::size_t kFrameHeaderSize = 4;

// Splits a byte stream into frame bodies. Feed it what arrives; it never holds more than
// one header and one body of at most `maxBody` bytes.
class FrameDecoder {
public:
    enum class Status { needMore, frame, tooLarge };

    explicit FrameDecoder(std::uint32_t maxBody) : maxBody_(maxBody) {}

    // Consumes bytes from `input` (advancing it) until a frame is complete or the input is
    // used up. After `frame`, `body()` holds the frame until the next call.
    Status feed(std::span<const std::byte>& input);
    const Data& body() const { return body_; }
    // True while part of a frame is held: a stream that ends now was truncated.
    bool midFrame() const { return headerFill_ > 0 || expecting_; }

private:
    std::uint32_t maxBody_;
    std::byte header_[kFrameHeaderSize]{};
    std::size_t headerFill_ = 0;
    bool expecting_ = false;
    std::uint32_t bodyLength_ = 0;
    Data body_;
};

std::uint32_t decodeFrameLength(std::span<const std::byte, kFrameHeaderSize> header);
void encodeFrameLength(std::uint32_t length, std::span<std::byte, kFrameHeaderSize> header);

// Unpacks one complete MessagePack value that fills `body` exactly, with limits on
// nesting and element counts so that hostile input cannot exhaust stack or memory.
// Byte and text payloads refer into `body`, which must outlive the handle.
std::optional<msgpack::object_handle> unpackMessage(std::span<const std::byte> body);

// A call as it came off the wire; `arguments` point into `message`.
struct DecodedCall {
    std::uint64_t callId = 0;
    std::string selector;
    msgpack::object_handle message;
    std::span<const msgpack::object> arguments;
};

// A well-formed call: an array of at least two elements, an unsigned call id and a text
// selector. Anything else gives none.
std::optional<DecodedCall> decodeCall(std::span<const std::byte> body);

// Strict conversions of single values; none on a wrong type or an out-of-range number.
std::optional<std::int64_t> asInt64(const msgpack::object& o);
std::optional<std::uint64_t> asUInt64(const msgpack::object& o);
std::optional<std::string> asString(const msgpack::object& o);
bool isNil(const msgpack::object& o);
// nil → absent; a bin → bytes; anything else is wrong.
std::optional<std::optional<Data>> asOptionalData(const msgpack::object& o);
std::optional<std::optional<ErrorObject>> asOptionalErrorObject(const msgpack::object& o);

// One sendmsg of `bytes` on a stream socket with `descriptors` attached to the first byte;
// what sendmsg returns (the bytes sent, or -1 with errno). A peer reading the bytes receives
// the descriptors with the first of them.
ssize_t sendWithDescriptors(int socket, std::span<const std::byte> bytes, std::span<const int> descriptors);

using Packer = msgpack::packer<msgpack::sbuffer>;
void pack(Packer& p, std::string_view text);
void pack(Packer& p, std::int64_t value);
void pack(Packer& p, std::uint64_t value);
void pack(Packer& p, const std::optional<Data>& bytes);
void pack(Packer& p, const ErrorObject& error);
void pack(Packer& p, const std::optional<ErrorObject>& error);

// A frame on its way out whose large byte buffers are not copied into the encoding:
// `head` holds the length header and the MessagePack bytes, and each attachment's bytes
// belong at offset `at` of `head` (where its bin header ends).
struct OutgoingFrame {
    struct Attachment {
        std::size_t at;
        Data bytes;
    };
    // Most replies are a few dozen bytes: start small rather than at the packer's 8 KiB.
    static constexpr std::size_t kInitialHeadCapacity = 256;

    msgpack::sbuffer head{kInitialHeadCapacity};
    std::vector<Attachment> attachments;

    std::size_t size() const;
    // The memory the frame holds while it waits to be written, not only its bytes: the head's
    // buffer (which grows by doubling), the attachments and the bookkeeping around them.
    std::size_t heldBytes() const;
    // The frame as one byte string (for tests and checks).
    Data flatten() const;
};

// Packs `bytes` as a bin whose payload travels as an attachment of `frame` (or nil).
// `p` must pack into `frame.head`.
void packAttached(Packer& p, OutgoingFrame& frame, std::optional<Data>&& bytes);
// Fills in the length header; false when the frame does not fit the 32-bit length.
bool finishFrame(OutgoingFrame& frame);

// Starts a frame in `buffer`: reserves the length header; `finishFrame` fills it in.
void beginFrame(msgpack::sbuffer& buffer);
// False when the body does not fit the 32-bit length.
bool finishFrame(msgpack::sbuffer& buffer);

}  // namespace quarlin::platform::xpc
