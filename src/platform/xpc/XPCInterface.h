// What a connection exports: for every selector of a protocol, how to read its arguments
// off the wire and call the exported object with a reply block that sends the answer.
#pragma once

#include <msgpack.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <typeindex>

#include "HelperProtocol/Descriptor.h"
#include "platform/xpc/Wire.h"

namespace quarlin::platform::xpc {

// Where reply frames go. A connection's port outlives it; once the connection is gone,
// whatever is sent is dropped.
class ReplyPort {
public:
    virtual ~ReplyPort() = default;
    // `frame` is a whole frame, its length header filled in.
    virtual void send(OutgoingFrame frame) = 0;
    // The reply of one call was sent or will never be: the call is no longer in flight.
    virtual void callEnded() = 0;
    // A reply could not be framed (too large): the connection is not usable any more.
    virtual void fail() = 0;
    // The oldest descriptor the peer sent that no call has taken yet, if any. Only while the
    // call is being dispatched: a descriptor comes before or with the bytes of its call.
    virtual Descriptor takeDescriptor() { return {}; }
};

// Calls `object` for one decoded call; false when the arguments do not fit the method
// (wrong count or types), which ends the connection.
using MethodInvoker = std::function<bool(void* object, std::span<const msgpack::object> arguments,
                                         std::uint64_t callId, std::shared_ptr<ReplyPort> port)>;
// The bytes the reply to one call will hold, as well as the object can tell before the
// call runs (0 for small replies); the connection bounds the sum over its calls under way.
using ReplySizeEstimate = std::function<std::uint64_t(void* object, std::span<const msgpack::object> arguments)>;

class XPCInterface {
public:
    XPCInterface(std::type_index protocol, std::map<std::string, MethodInvoker, std::less<>> methods,
                 std::map<std::string, ReplySizeEstimate, std::less<>> estimates = {})
        : protocol_(protocol), methods_(std::move(methods)), estimates_(std::move(estimates)) {}

    // The interface of a protocol; defined for each protocol that is exported.
    template <class Protocol>
    static XPCInterface interfaceWithProtocol();

    std::type_index protocol() const { return protocol_; }
    const MethodInvoker* method(std::string_view selector) const {
        auto it = methods_.find(selector);
        return it == methods_.end() ? nullptr : &it->second;
    }
    const ReplySizeEstimate* estimate(std::string_view selector) const {
        auto it = estimates_.find(selector);
        return it == estimates_.end() ? nullptr : &it->second;
    }

private:
    std::type_index protocol_;
    std::map<std::string, MethodInvoker, std::less<>> methods_;
    std::map<std::string, ReplySizeEstimate, std::less<>> estimates_;
};

}  // namespace quarlin::platform::xpc
