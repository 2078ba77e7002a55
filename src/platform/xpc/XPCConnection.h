// One accepted connection of the service: the peer's code requirement, the exported
// interface and object, and the handlers that run when the connection ends. Nothing is
// read from the peer before `resume()`, and nothing before its signature is judged.
#pragma once

#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/PeerCode.h"
#include "platform/xpc/XPCInterface.h"
#include "runtime/Runtime.h"

namespace quarlin::platform::xpc {

class XPCConnection : public std::enable_shared_from_this<XPCConnection> {
public:
    using Socket = asio::local::stream_protocol::socket;

    // At most this many calls of one connection wait for their replies, and at most this
    // many reply bytes wait to be written, before the connection stops reading calls.
    static constexpr std::size_t kMaxCallsInFlight = 256;
    static constexpr std::size_t kMaxQueuedReplyBytes = 64u << 20;
    // ...and at most this many bytes of replies still being made (by their estimates), so
    // that calls taken in one gulp cannot make the service hold more than this.
    static constexpr std::uint64_t kMaxPendingReplyBytes = 256u << 20;
    // Descriptors the peer sent that no call has taken yet; a peer that sends more, or more
    // in one message than fit, or any that is not a memory file, is cut off.
    static constexpr std::size_t kMaxHeldDescriptors = 4;

    // `peer` was taken from the socket at accept time (or the reason it could not be).
    XPCConnection(Socket socket, std::expected<PeerProcess, std::string> peer, AnchorStore anchors);
    ~XPCConnection();
    XPCConnection(const XPCConnection&) = delete;
    XPCConnection& operator=(const XPCConnection&) = delete;

    // Configuration; takes effect at resume() and is ignored after it.
    void setCodeSigningRequirement(std::string requirement);
    void setExportedInterface(XPCInterface interface);
    template <class Protocol>
    void setExportedObject(std::shared_ptr<Protocol> object) {
        exportedProtocol_ = std::type_index(typeid(Protocol));
        exportedObject_ = std::shared_ptr<void>(object, static_cast<void*>(object.get()));
    }
    void setInvalidationHandler(std::function<void()> handler);
    void setInterruptionHandler(std::function<void()> handler);
    // Runs once with the reason when the peer is refused.
    void setRefusalHandler(std::function<void(const std::string& reason)> handler);

    // Peers are judged on threads of their own, at most this many checks of one user at a
    // time (more wait for a slot), each peer given at most kCheckDeadline from accept before
    // it is refused: a peer being judged never holds up a connection already served, nor
    // other users' peers.
    static constexpr int kMaxChecksPerUser = 2;
    // At most this many connections of one user are open at once; more are refused, so
    // that no user can fill the service's descriptor table.
    static constexpr int kMaxConnectionsPerUser = 64;
    static constexpr std::chrono::seconds kCheckDeadline{20};
    static constexpr std::chrono::milliseconds kCheckSlotPoll{5};
    // How often a served peer is looked at: the connection ends once the judged process has
    // exited or executes another program.
    static constexpr std::chrono::milliseconds kPeerWatchInterval{250};

    // Judges the peer against the requirement, then starts serving calls. A peer that
    // does not satisfy it is disconnected before any of its bytes is read.
    void resume();
    // Ends the connection: the socket closes, replies still to come are dropped, and the
    // invalidation handler runs once.
    void invalidate();

    // The pid the peer connected with, if it could be taken.
    std::optional<pid_t> peerPID() const;
    // Why the peer was refused; empty while it was not (for tests and diagnostics).
    std::string refusalReason() const;

private:
    class Port;
    friend class Port;
    class CallPort;

    runtime::Task<void> serve();
    runtime::Task<std::expected<void, std::string>> judgePeer();
    runtime::Task<void> watchPeer();
    runtime::Task<void> readCalls();
    runtime::Task<void> writeReplies();
    ssize_t receive(std::vector<std::byte>& buffer);
    bool dispatch(std::span<const std::byte> body);
    void enqueue(OutgoingFrame frame);
    void callEnded();
    void end(bool runHandlers);
    void wake(asio::steady_timer& timer);

    runtime::Strand strand_;
    Socket socket_;
    std::expected<PeerProcess, std::string> peer_;
    AnchorStore anchors_;
    std::optional<std::string> requirement_;
    std::optional<XPCInterface> interface_;
    std::optional<std::type_index> exportedProtocol_;
    std::shared_ptr<void> exportedObject_;
    std::function<void()> invalidationHandler_;
    std::function<void()> interruptionHandler_;
    std::function<void(const std::string&)> refusalHandler_;
    std::shared_ptr<Port> port_;

    // Owned by the strand.
    bool resumed_ = false;
    bool ended_ = false;
    bool counted_ = false;  // counted among its user's open connections
    std::string refusalReason_;
    std::deque<OutgoingFrame> queue_;
    std::deque<Descriptor> descriptors_;
    bool descriptorsRefused_ = false;
    std::size_t queuedBytes_ = 0;
    std::size_t callsInFlight_ = 0;
    std::uint64_t pendingReplyBytes_ = 0;
    asio::steady_timer writerWake_;
    asio::steady_timer readerWake_;
    asio::steady_timer judgeWake_;
    mutable std::mutex reasonMutex_;
};

}  // namespace quarlin::platform::xpc
