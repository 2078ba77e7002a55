#include "platform/xpc/Wire.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "QuarlinCore/io/UTF8.h"

namespace quarlin::platform::xpc {
namespace {

// Far more than any call or reply needs, far less than hostile input could ask for.
const msgpack::unpack_limit kLimits(/*array*/ 1024, /*map*/ 64, /*str*/ 0xffffffff, /*bin*/ 0xffffffff,
                                    /*ext*/ 0, /*depth*/ 8);

bool referToBuffer(msgpack::type::object_type, std::size_t, void*) { return true; }

}  // namespace

std::uint32_t decodeFrameLength(std::span<const std::byte, kFrameHeaderSize> header) {
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | std::to_integer<std::uint32_t>(header[i]);
    return length;
}

void encodeFrameLength(std::uint32_t length, std::span<std::byte, kFrameHeaderSize> header) {
    for (std::size_t i = 0; i < kFrameHeaderSize; ++i) header[i] = static_cast<std::byte>(length >> (8 * i));
}

FrameDecoder::Status FrameDecoder::feed(std::span<const std::byte>& input) {
    if (!expecting_ && headerFill_ == 0) body_.clear();
    while (!input.empty() || expecting_) {
        if (!expecting_) {
            std::size_t n = std::min(kFrameHeaderSize - headerFill_, input.size());
            std::memcpy(header_ + headerFill_, input.data(), n);
            headerFill_ += n;
            input = input.subspan(n);
            if (headerFill_ < kFrameHeaderSize) return Status::needMore;
            bodyLength_ = decodeFrameLength(std::span<const std::byte, kFrameHeaderSize>(header_, kFrameHeaderSize));
            if (bodyLength_ > maxBody_) return Status::tooLarge;
            headerFill_ = 0;
            expecting_ = true;
            body_.clear();
            body_.reserve(bodyLength_);
        }
        std::size_t n = std::min<std::size_t>(bodyLength_ - body_.size(), input.size());
        body_.insert(body_.end(), input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
        input = input.subspan(n);
        if (body_.size() == bodyLength_) {
            expecting_ = false;
            return Status::frame;
        }
        if (input.empty()) return Status::needMore;
    }
    return Status::needMore;
}

std::optional<msgpack::object_handle> unpackMessage(std::span<const std::byte> body) {
    if (body.empty()) return std::nullopt;
    try {
        std::size_t offset = 0;
        auto handle = msgpack::unpack(reinterpret_cast<const char*>(body.data()), body.size(), offset,
                                      referToBuffer, nullptr, kLimits);
        if (offset != body.size()) return std::nullopt;
        return handle;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<DecodedCall> decodeCall(std::span<const std::byte> body) {
    auto handle = unpackMessage(body);
    if (!handle) return std::nullopt;
    const msgpack::object& root = handle->get();
    if (root.type != msgpack::type::ARRAY || root.via.array.size < 2) return std::nullopt;
    const msgpack::object* items = root.via.array.ptr;
    if (items[0].type != msgpack::type::POSITIVE_INTEGER || items[1].type != msgpack::type::STR) return std::nullopt;
    DecodedCall call;
    call.callId = items[0].via.u64;
    call.selector.assign(items[1].via.str.ptr, items[1].via.str.size);
    call.arguments = std::span<const msgpack::object>(items + 2, root.via.array.size - 2);
    call.message = std::move(*handle);
    return call;
}

std::optional<std::int64_t> asInt64(const msgpack::object& o) {
    if (o.type == msgpack::type::NEGATIVE_INTEGER) return o.via.i64;
    if (o.type == msgpack::type::POSITIVE_INTEGER &&
        o.via.u64 <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(o.via.u64);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> asUInt64(const msgpack::object& o) {
    if (o.type == msgpack::type::POSITIVE_INTEGER) return o.via.u64;
    return std::nullopt;
}

std::optional<std::string> asString(const msgpack::object& o) {
    if (o.type != msgpack::type::STR) return std::nullopt;
    return std::string(o.via.str.ptr, o.via.str.size);
}

bool isNil(const msgpack::object& o) { return o.type == msgpack::type::NIL; }

std::optional<std::optional<Data>> asOptionalData(const msgpack::object& o) {
    if (isNil(o)) return std::optional<Data>();
    if (o.type != msgpack::type::BIN) return std::nullopt;
    const auto* begin = reinterpret_cast<const std::byte*>(o.via.bin.ptr);
    return std::optional<Data>(Data(begin, begin + o.via.bin.size));
}

std::optional<std::optional<ErrorObject>> asOptionalErrorObject(const msgpack::object& o) {
    if (isNil(o)) return std::optional<ErrorObject>();
    if (o.type != msgpack::type::MAP) return std::nullopt;
    ErrorObject error;
    bool haveDomain = false, haveCode = false, haveUserInfo = false;
    for (std::uint32_t i = 0; i < o.via.map.size; ++i) {
        auto key = asString(o.via.map.ptr[i].key);
        const msgpack::object& value = o.via.map.ptr[i].val;
        if (!key) return std::nullopt;
        if (*key == "domain" && !haveDomain) {
            auto domain = asString(value);
            if (!domain) return std::nullopt;
            error.domain = std::move(*domain);
            haveDomain = true;
        } else if (*key == "code" && !haveCode) {
            auto code = asInt64(value);
            if (!code) return std::nullopt;
            error.code = *code;
            haveCode = true;
        } else if (*key == "userInfo" && !haveUserInfo) {
            if (value.type != msgpack::type::MAP) return std::nullopt;
            for (std::uint32_t j = 0; j < value.via.map.size; ++j) {
                auto infoKey = asString(value.via.map.ptr[j].key);
                auto infoValue = asString(value.via.map.ptr[j].val);
                if (!infoKey || !infoValue) return std::nullopt;
                error.userInfo[std::move(*infoKey)] = std::move(*infoValue);
            }
            haveUserInfo = true;
        } else {
            return std::nullopt;
        }
    }
    if (!haveDomain || !haveCode || !haveUserInfo) return std::nullopt;
    return std::optional<ErrorObject>(std::move(error));
}

void pack(Packer& p, std::string_view text) {
    // A MessagePack string must be UTF-8; a path echoed from a peer or the machine need not be.
    const std::string valid = validUTF8(text);
    p.pack_str(static_cast<std::uint32_t>(valid.size()));
    p.pack_str_body(valid.data(), static_cast<std::uint32_t>(valid.size()));
}
void pack(Packer& p, std::int64_t value) { p.pack_int64(value); }
void pack(Packer& p, std::uint64_t value) { p.pack_uint64(value); }
namespace {
// Packs nil for no buffer, or the header of a bin of the buffer's size, and says whether
// the buffer's bytes are to follow.
bool packBinHeader(Packer& p, const std::optional<Data>& bytes) {
    if (!bytes) {
        p.pack_nil();
        return false;
    }
    if (bytes->size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("a byte buffer of more than 4 GiB does not fit one frame");
    }
    p.pack_bin(static_cast<std::uint32_t>(bytes->size()));
    return true;
}
}  // namespace

void pack(Packer& p, const std::optional<Data>& bytes) {
    if (packBinHeader(p, bytes)) {
        p.pack_bin_body(reinterpret_cast<const char*>(bytes->data()), static_cast<std::uint32_t>(bytes->size()));
    }
}
void pack(Packer& p, const ErrorObject& error) {
    p.pack_map(3);
    pack(p, std::string_view("domain"));
    pack(p, std::string_view(error.domain));
    pack(p, std::string_view("code"));
    pack(p, error.code);
    pack(p, std::string_view("userInfo"));
    p.pack_map(static_cast<std::uint32_t>(error.userInfo.size()));
    for (const auto& [key, value] : error.userInfo) {
        pack(p, std::string_view(key));
        pack(p, std::string_view(value));
    }
}
void pack(Packer& p, const std::optional<ErrorObject>& error) {
    if (error) {
        pack(p, *error);
    } else {
        p.pack_nil();
    }
}

std::size_t OutgoingFrame::size() const {
    std::size_t total = head.size();
    for (const auto& a : attachments) total += a.bytes.size();
    return total;
}

std::size_t OutgoingFrame::heldBytes() const {
    std::size_t held = std::max(kInitialHeadCapacity, 2 * head.size()) + sizeof(OutgoingFrame) +
                       attachments.capacity() * sizeof(Attachment) + 128;  // the queue's node and shared state
    for (const auto& a : attachments) held += a.bytes.capacity();
    return held;
}

Data OutgoingFrame::flatten() const {
    Data out;
    out.reserve(size());
    const auto* h = reinterpret_cast<const std::byte*>(head.data());
    std::size_t position = 0;
    for (const auto& a : attachments) {
        out.insert(out.end(), h + position, h + a.at);
        out.insert(out.end(), a.bytes.begin(), a.bytes.end());
        position = a.at;
    }
    out.insert(out.end(), h + position, h + head.size());
    return out;
}

void packAttached(Packer& p, OutgoingFrame& frame, std::optional<Data>&& bytes) {
    if (packBinHeader(p, bytes)) frame.attachments.push_back({frame.head.size(), std::move(*bytes)});
}

bool finishFrame(OutgoingFrame& frame) {
    std::size_t body = frame.size() - kFrameHeaderSize;
    if (body > std::numeric_limits<std::uint32_t>::max()) return false;
    encodeFrameLength(static_cast<std::uint32_t>(body),
                      std::span<std::byte, kFrameHeaderSize>(reinterpret_cast<std::byte*>(frame.head.data()),
                                                             kFrameHeaderSize));
    return true;
}

void beginFrame(msgpack::sbuffer& buffer) {
    const char zeros[kFrameHeaderSize] = {};
    buffer.write(zeros, kFrameHeaderSize);
}

bool finishFrame(msgpack::sbuffer& buffer) {
    std::size_t body = buffer.size() - kFrameHeaderSize;
    if (body > std::numeric_limits<std::uint32_t>::max()) return false;
    encodeFrameLength(static_cast<std::uint32_t>(body),
                      std::span<std::byte, kFrameHeaderSize>(reinterpret_cast<std::byte*>(buffer.data()),
                                                             kFrameHeaderSize));
    return true;
}

ssize_t sendWithDescriptors(int socket, std::span<const std::byte> bytes, std::span<const int> descriptors) {
    iovec io{const_cast<std::byte*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    std::vector<char> control(descriptors.empty() ? 0 : CMSG_SPACE(sizeof(int) * descriptors.size()));
    if (!descriptors.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        std::memcpy(CMSG_DATA(header), descriptors.data(), sizeof(int) * descriptors.size());
    }
    return ::sendmsg(socket, &message, MSG_NOSIGNAL);
}

}  // namespace quarlin::platform::xpc
