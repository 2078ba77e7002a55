// Feeds arbitrary bytes to the service side of the socket protocol as a client would send
// them: split into frames, decoded into calls and dispatched through the helper's
// interface onto an object that answers at once. Nothing may crash, and each accepted
// call must be answered exactly once.
#include <cstdint>
#include <cstdlib>
#include <span>

#include <unistd.h>

#include "platform/xpc/QuarlinHelperInterface.h"
#include "platform/xpc/Wire.h"

namespace {

using namespace quarlin;
using namespace quarlin::platform::xpc;

class AnsweringObject final : public QuarlinHelperXPCProtocol {
public:
    void ping(Reply<std::string> reply) override { reply("1.0.0"); }
    void enumerateDisks(Reply<std::optional<Data>, std::optional<ErrorObject>> reply) override {
        reply(Data(2, std::byte{0}), std::nullopt);
    }
    void openSession(std::string path,
                     Reply<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>> reply) override {
        reply(-1, 0, 0, ErrorObject{"d", 1, {{"NSLocalizedDescription", path}}});
    }
    void readBlocks(std::int64_t, std::uint64_t, std::int64_t count,
                    Reply<std::optional<Data>, std::optional<ErrorObject>> reply) override {
        reply(Data(static_cast<std::size_t>(count & 0xFF)), std::nullopt);
    }
    void closeSession(std::int64_t, Reply<> reply) override { reply(); }
};

class CountingPort final : public ReplyPort {
public:
    void send(OutgoingFrame frame) override {
        ++sent;
        // A reply must itself be a well-formed frame holding an array.
        Data bytes = frame.flatten();
        if (bytes.size() < kFrameHeaderSize) std::abort();
        auto length = decodeFrameLength(std::span<const std::byte, kFrameHeaderSize>(bytes.data(), kFrameHeaderSize));
        if (length != bytes.size() - kFrameHeaderSize) std::abort();
        auto message = unpackMessage(std::span<const std::byte>(bytes).subspan(kFrameHeaderSize));
        if (!message || message->get().type != msgpack::type::ARRAY) std::abort();
    }
    void callEnded() override { ++ended; }
    void fail() override { std::abort(); }
    // A call that takes a descriptor finds one, as if the peer had sent it.
    Descriptor takeDescriptor() override { return Descriptor(::dup(STDIN_FILENO)); }
    int sent = 0;
    int ended = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static AnsweringObject object;
    static const XPCInterface interface = XPCInterface::interfaceWithProtocol<QuarlinHelperXPCProtocol>();
    auto port = std::make_shared<CountingPort>();
    FrameDecoder decoder(kMaxCallFrameSize);
    std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    int accepted = 0;
    // The first byte picks how the stream is cut, as reads from a socket would cut it.
    std::size_t cut = size ? (data[0] % 31) + 1 : 1;
    while (!input.empty()) {
        std::span<const std::byte> piece = input.first(std::min(cut, input.size()));
        input = input.subspan(piece.size());
        bool stop = false;
        while (!piece.empty() && !stop) {
            auto status = decoder.feed(piece);
            if (status == FrameDecoder::Status::tooLarge) return 0;
            if (status == FrameDecoder::Status::needMore) break;
            auto call = decodeCall(decoder.body());
            if (!call) return 0;
            const MethodInvoker* method = interface.method(call->selector);
            if (!method) return 0;
            if ((*method)(&object, call->arguments, call->callId, port)) {
                ++accepted;
            } else {
                stop = true;
            }
        }
        if (stop) break;
    }
    if (port->sent != accepted || port->ended != accepted) std::abort();
    return 0;
}
