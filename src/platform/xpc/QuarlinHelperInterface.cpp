#include "platform/xpc/QuarlinHelperInterface.h"

#include <atomic>

#include "platform/xpc/Wire.h"

namespace quarlin::platform::xpc {
namespace {

// Holds a call in flight until its reply block has run or is destroyed.
class CallToken {
public:
    explicit CallToken(std::shared_ptr<ReplyPort> port) : port_(std::move(port)) {}
    CallToken(CallToken&& other) noexcept : port_(std::move(other.port_)) {}
    CallToken& operator=(CallToken&&) = delete;
    ~CallToken() { end(); }
    ReplyPort* port() const { return port_.get(); }
    void end() {
        if (port_) std::exchange(port_, nullptr)->callEnded();
    }

private:
    std::shared_ptr<ReplyPort> port_;
};

// Byte buffers travel as attachments, everything else is packed in place.
template <class Value>
void packValue(Packer& p, OutgoingFrame&, Value&& value) {
    xpc::pack(p, value);
}
void packValue(Packer& p, OutgoingFrame& frame, std::optional<Data>&& bytes) {
    packAttached(p, frame, std::move(bytes));
}

// A reply block for one call: the first invocation sends [callId, values...]; later ones
// do nothing.
template <class... Values>
Reply<Values...> makeReply(std::uint64_t callId, std::shared_ptr<ReplyPort> port) {
    return [callId, token = CallToken(std::move(port))](Values... values) mutable {
        ReplyPort* target = token.port();
        if (!target) return;
        OutgoingFrame frame;
        bool framed = false;
        try {
            beginFrame(frame.head);
            Packer p(frame.head);
            p.pack_array(static_cast<std::uint32_t>(1 + sizeof...(Values)));
            p.pack_uint64(callId);
            (packValue(p, frame, std::move(values)), ...);
            framed = finishFrame(frame);
        } catch (const std::exception&) {
            framed = false;
        }
        if (framed) {
            target->send(std::move(frame));
        } else {
            target->fail();
        }
        token.end();
    };
}

QuarlinHelperXPCProtocol& service(void* object) { return *static_cast<QuarlinHelperXPCProtocol*>(object); }

}  // namespace

template <>
XPCInterface XPCInterface::interfaceWithProtocol<QuarlinHelperXPCProtocol>() {
    using Args = std::span<const msgpack::object>;
    using Port = std::shared_ptr<ReplyPort>;
    std::map<std::string, MethodInvoker, std::less<>> methods;

    methods[selectors::ping] = [](void* object, Args args, std::uint64_t id, Port port) {
        if (!args.empty()) return false;
        service(object).ping(makeReply<std::string>(id, std::move(port)));
        return true;
    };
    methods[selectors::enumerateDisks] = [](void* object, Args args, std::uint64_t id, Port port) {
        if (!args.empty()) return false;
        service(object).enumerateDisks(
            makeReply<std::optional<Data>, std::optional<ErrorObject>>(id, std::move(port)));
        return true;
    };
    methods[selectors::openSession] = [](void* object, Args args, std::uint64_t id, Port port) {
        if (args.size() != 1) return false;
        auto path = asString(args[0]);
        if (!path) return false;
        service(object).openSession(
            std::move(*path),
            makeReply<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>>(id, std::move(port)));
        return true;
    };
    methods[selectors::readBlocks] = [](void* object, Args args, std::uint64_t id, Port port) {
        if (args.size() != 3) return false;
        auto session = asInt64(args[0]);
        auto offset = asUInt64(args[1]);
        auto count = asInt64(args[2]);
        if (!session || !offset || !count) return false;
        service(object).readBlocks(*session, *offset, *count,
                                   makeReply<std::optional<Data>, std::optional<ErrorObject>>(id, std::move(port)));
        return true;
    };
    methods[selectors::closeSession] = [](void* object, Args args, std::uint64_t id, Port port) {
        if (args.size() != 1) return false;
        auto session = asInt64(args[0]);
        if (!session) return false;
        service(object).closeSession(*session, makeReply<>(id, std::move(port)));
        return true;
    };
    // The memory file comes with the call; a call without one is malformed.
    methods[selectors::attachSharedBuffer] = [](void* object, Args args, std::uint64_t id, Port port) {
        if (!args.empty()) return false;
        Descriptor memoryFile = port->takeDescriptor();
        if (!memoryFile) return false;
        service(object).attachSharedBuffer(std::move(memoryFile),
                                           makeReply<std::optional<ErrorObject>>(id, std::move(port)));
        return true;
    };
    methods[selectors::readBlocksIntoSharedBuffer] = [](void* object, Args args, std::uint64_t id, Port port) {
        if (args.size() != 4) return false;
        auto session = asInt64(args[0]);
        auto offset = asUInt64(args[1]);
        auto count = asInt64(args[2]);
        auto bufferOffset = asUInt64(args[3]);
        if (!session || !offset || !count || !bufferOffset) return false;
        service(object).readBlocksIntoSharedBuffer(
            *session, *offset, *count, *bufferOffset,
            makeReply<std::int64_t, std::optional<ErrorObject>>(id, std::move(port)));
        return true;
    };
    std::map<std::string, ReplySizeEstimate, std::less<>> estimates;
    estimates[selectors::readBlocks] = [](void* object, Args args) -> std::uint64_t {
        if (args.size() != 3) return 0;
        auto session = asInt64(args[0]);
        auto count = asInt64(args[2]);
        return session && count ? service(object).replyBytesOfRead(*session, *count) : 0;
    };
    return XPCInterface(std::type_index(typeid(QuarlinHelperXPCProtocol)), std::move(methods), std::move(estimates));
}

}  // namespace quarlin::platform::xpc
