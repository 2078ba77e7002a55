#include "platform/xpc/XPCConnection.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <array>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/xpc/Wire.h"

namespace quarlin::platform::xpc {

namespace {

asio::thread_pool& judges() {
    static asio::thread_pool pool(2);
    return pool;
}

std::mutex checksMutex;
std::map<uid_t, int> checksInFlight;
std::map<uid_t, int> connectionsOpen;  // under checksMutex

// Executables found to satisfy a requirement against an anchor store, by the identity of
// all three files' contents: the same signed client connecting again is not read and
// hashed again. Bounded; forgotten wholesale when full.
std::mutex approvedMutex;
std::set<std::string> approved;
constexpr std::size_t kMaxApproved = 256;

std::optional<std::string> approvalKey(const PeerProcess& peer, const std::string& requirement,
                                       const AnchorStore& anchors) {
    auto executable = peer.executableStamp();
    struct stat st{};
    if (!executable || ::stat(anchors.path().c_str(), &st) != 0) return std::nullopt;
    auto store = fileStamp(st);
    if (!store) return std::nullopt;
    return requirement + '\n' + anchors.path() + '\n' + *store + '\n' + *executable;
}

}  // namespace

// The reply port of one connection. Reply blocks may run on any thread at any time, also
// after the connection is gone; the port hops onto the connection's strand, or drops.
class XPCConnection::Port final : public ReplyPort {
public:
    Port(std::weak_ptr<XPCConnection> connection, runtime::Strand strand)
        : connection_(std::move(connection)), strand_(std::move(strand)) {}

    void send(OutgoingFrame frame) override {
        post([frame = std::make_shared<OutgoingFrame>(std::move(frame))](XPCConnection& c) mutable {
            c.enqueue(std::move(*frame));
        });
    }
    void callEnded() override {
        post([](XPCConnection& c) { c.callEnded(); });
    }
    void fail() override {
        post([](XPCConnection& c) { c.end(true); });
    }
    // Runs on the strand, inside dispatch.
    Descriptor takeDescriptor() override {
        auto connection = connection_.lock();
        if (!connection || connection->descriptors_.empty()) return {};
        Descriptor taken = std::move(connection->descriptors_.front());
        connection->descriptors_.pop_front();
        return taken;
    }

private:
    template <class F>
    void post(F f) {
        if (connection_.expired()) return;
        asio::post(strand_, [weak = connection_, f = std::move(f)]() mutable {
            if (auto connection = weak.lock()) f(*connection);
        });
    }

    std::weak_ptr<XPCConnection> connection_;
    runtime::Strand strand_;
};

// The reply port of one call whose reply is estimated to hold `bytes`: when the call ends,
// its estimate is taken off the connection's pending bytes.
class XPCConnection::CallPort final : public ReplyPort {
public:
    CallPort(std::shared_ptr<Port> port, std::weak_ptr<XPCConnection> connection, runtime::Strand strand,
             std::uint64_t bytes)
        : port_(std::move(port)), connection_(std::move(connection)), strand_(std::move(strand)), bytes_(bytes) {}

    void send(OutgoingFrame frame) override { port_->send(std::move(frame)); }
    void callEnded() override {
        asio::post(strand_, [weak = connection_, bytes = bytes_] {
            if (auto connection = weak.lock()) connection->pendingReplyBytes_ -= bytes;
        });
        port_->callEnded();
    }
    void fail() override { port_->fail(); }

private:
    std::shared_ptr<Port> port_;
    std::weak_ptr<XPCConnection> connection_;
    runtime::Strand strand_;
    std::uint64_t bytes_;
};

XPCConnection::XPCConnection(Socket socket, std::expected<PeerProcess, std::string> peer, AnchorStore anchors)
    : strand_(asio::make_strand(runtime::sharedPool().get_executor())),
      socket_(std::move(socket)),
      peer_(std::move(peer)),
      anchors_(std::move(anchors)),
      writerWake_(strand_),
      readerWake_(strand_),
      judgeWake_(strand_) {}

XPCConnection::~XPCConnection() = default;

void XPCConnection::setCodeSigningRequirement(std::string requirement) { requirement_ = std::move(requirement); }
void XPCConnection::setExportedInterface(XPCInterface interface) { interface_ = std::move(interface); }
void XPCConnection::setRefusalHandler(std::function<void(const std::string&)> handler) {
    refusalHandler_ = std::move(handler);
}
void XPCConnection::setInvalidationHandler(std::function<void()> handler) {
    invalidationHandler_ = std::move(handler);
}
void XPCConnection::setInterruptionHandler(std::function<void()> handler) {
    interruptionHandler_ = std::move(handler);
}

std::optional<pid_t> XPCConnection::peerPID() const {
    if (!peer_) return std::nullopt;
    return peer_->pid();
}

std::string XPCConnection::refusalReason() const {
    std::lock_guard lock(reasonMutex_);
    return refusalReason_;
}

void XPCConnection::resume() {
    port_ = std::make_shared<Port>(weak_from_this(), strand_);
    asio::co_spawn(strand_, [self = shared_from_this()]() { return self->serve(); }, asio::detached);
}

void XPCConnection::invalidate() {
    asio::post(strand_, [self = shared_from_this()] { self->end(true); });
}

runtime::Task<void> XPCConnection::serve() {
    if (resumed_ || ended_) co_return;
    resumed_ = true;

    auto refuse = [this](std::string reason) {
        if (refusalHandler_) std::exchange(refusalHandler_, nullptr)(reason);
        {
            std::lock_guard lock(reasonMutex_);
            refusalReason_ = std::move(reason);
        }
        // A peer that was never served has no sessions, and must not be able to end
        // anyone else's: it is cut off without the handlers.
        end(false);
    };
    if (peer_) {
        std::lock_guard lock(checksMutex);
        if (connectionsOpen[peer_->uid()] >= kMaxConnectionsPerUser) {
            co_return refuse("user " + std::to_string(peer_->uid()) + " has too many connections open");
        }
        ++connectionsOpen[peer_->uid()];
        counted_ = true;
    }
    if (requirement_) {
        if (!CodeRequirement::parse(*requirement_)) {
            co_return refuse("the code requirement is not valid: " + *requirement_);
        }
        if (!peer_) co_return refuse(peer_.error());
        auto verdict = co_await judgePeer();
        if (ended_) co_return;
        if (!verdict) co_return refuse(verdict.error());
    }
    if (!interface_ || !exportedObject_ || exportedProtocol_ != interface_->protocol()) {
        co_return refuse("nothing is exported for the connection");
    }

    asio::co_spawn(strand_, [self = shared_from_this()]() { return self->writeReplies(); }, asio::detached);
    if (requirement_) {
        asio::co_spawn(strand_, [self = shared_from_this()]() { return self->watchPeer(); }, asio::detached);
    }
    co_await readCalls();
}


runtime::Task<std::expected<void, std::string>> XPCConnection::judgePeer() {
    const uid_t uid = peer_->uid();
    // A peer waits for one of its user's check slots, within the same deadline as the check:
    // several clients a user starts at once are all judged, one user's slow peers delay only
    // that user's.
    const auto deadline = std::chrono::steady_clock::now() + kCheckDeadline;
    for (;;) {
        {
            std::lock_guard lock(checksMutex);
            if (checksInFlight[uid] < kMaxChecksPerUser) {
                ++checksInFlight[uid];
                break;
            }
        }
        if (ended_) co_return std::unexpected("the connection ended");
        if (std::chrono::steady_clock::now() >= deadline) {
            co_return std::unexpected("too many connections of user " + std::to_string(uid) + " are being checked");
        }
        judgeWake_.expires_after(kCheckSlotPoll);
        co_await judgeWake_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    }
    struct Judgement {
        std::mutex mutex;
        std::optional<std::expected<void, std::string>> verdict;
    };
    auto judgement = std::make_shared<Judgement>();
    auto self = shared_from_this();
    judgeWake_.expires_at(deadline);
    asio::post(judges(), [self, judgement, uid] {
        std::expected<void, std::string> verdict;
        const auto key = approvalKey(*self->peer_, *self->requirement_, self->anchors_);
        bool known = false;
        if (key) {
            std::lock_guard lock(approvedMutex);
            known = approved.contains(*key);
        }
        if (known) {
            if (!self->peer_->stillTheJudgedProgram()) verdict = std::unexpected("the peer exited or executed another program");
        } else {
            verdict = self->peer_->evaluateExecutable(*CodeRequirement::parse(*self->requirement_), self->anchors_);
            if (verdict && key) {
                std::lock_guard lock(approvedMutex);
                if (approved.size() >= kMaxApproved) approved.clear();
                approved.insert(*key);
            }
        }
        if (verdict) verdict = self->peer_->mappedCodeIsTrusted();
        if (verdict) verdict = self->peer_->madeItsConnectionItself();
        {
            std::lock_guard lock(checksMutex);
            if (--checksInFlight[uid] == 0) checksInFlight.erase(uid);
        }
        {
            std::lock_guard lock(judgement->mutex);
            judgement->verdict = std::move(verdict);
        }
        asio::post(self->strand_, [self] { self->wake(self->judgeWake_); });
    });
    co_await judgeWake_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    std::lock_guard lock(judgement->mutex);
    if (!judgement->verdict) co_return std::unexpected("the peer could not be checked in time");
    co_return std::move(*judgement->verdict);
}

// The connection is served for the program that was judged, and for no longer: once that
// process exits or executes another program, whoever still holds the socket is cut off.
runtime::Task<void> XPCConnection::watchPeer() {
    auto self = shared_from_this();
    asio::steady_timer tick(strand_);
    while (!ended_) {
        if (!peer_->stillTheJudgedProgram()) {
            end(true);
            co_return;
        }
        tick.expires_after(kPeerWatchInterval);
        co_await tick.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    }
}

void XPCConnection::wake(asio::steady_timer& timer) { timer.cancel(); }

runtime::Task<void> XPCConnection::readCalls() {
    auto self = shared_from_this();
    FrameDecoder decoder(kMaxCallFrameSize);
    std::vector<std::byte> buffer(64 * 1024);
    auto congested = [this] {
        return callsInFlight_ >= kMaxCallsInFlight || queuedBytes_ >= kMaxQueuedReplyBytes ||
               pendingReplyBytes_ >= kMaxPendingReplyBytes;
    };
    while (!ended_) {
        const ssize_t n = receive(buffer);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            auto [error] = co_await socket_.async_wait(Socket::wait_read,
                                                       asio::experimental::as_tuple(asio::use_awaitable));
            if (ended_) co_return;
            if (!error) continue;
        }
        if (ended_) co_return;
        if (n <= 0 || descriptorsRefused_) {
            // End of stream or a reset: the peer is gone, a frame it left half-sent
            // included. Or the peer sent more descriptors than its calls take.
            end(true);
            co_return;
        }
        std::span<const std::byte> input(buffer.data(), static_cast<std::size_t>(n));
        while (!input.empty()) {
            auto status = decoder.feed(input);
            if (status == FrameDecoder::Status::tooLarge) {
                end(true);
                co_return;
            }
            if (status == FrameDecoder::Status::needMore) break;
            if (!dispatch(decoder.body())) {
                end(true);
                co_return;
            }
            // Stop taking calls while the peer does not take its replies.
            while (congested() && !ended_) {
                readerWake_.expires_at(asio::steady_timer::time_point::max());
                co_await readerWake_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
            }
            if (ended_) co_return;
        }
    }
}

// One receive of the bytes waiting on the socket, without blocking; descriptors that came
// with them are kept for the calls they belong to, at most kMaxHeldDescriptors.
ssize_t XPCConnection::receive(std::vector<std::byte>& buffer) {
    iovec io{buffer.data(), buffer.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * kMaxHeldDescriptors)> control{};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) return n;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (::fcntl(fd, F_GET_SEALS) >= 0) {
                descriptors_.emplace_back(fd);
                continue;
            }
            // Only memory files are ever lent. Closing anything else may wait on whoever
            // serves the file (a user-space file system flushing it): done aside, and the
            // peer is cut off.
            descriptorsRefused_ = true;
            try {
                std::thread([fd] { ::close(fd); }).detach();
            } catch (const std::system_error&) {
                ::close(fd);
            }
        }
    }
    if ((message.msg_flags & MSG_CTRUNC) || descriptors_.size() > kMaxHeldDescriptors) descriptorsRefused_ = true;
    return n;
}

bool XPCConnection::dispatch(std::span<const std::byte> body) {
    auto call = decodeCall(body);
    if (!call) return false;
    const MethodInvoker* method = interface_->method(call->selector);
    if (!method) return false;
    ++callsInFlight_;
    std::shared_ptr<ReplyPort> port = port_;
    std::uint64_t estimate = 0;
    if (const ReplySizeEstimate* estimateOf = interface_->estimate(call->selector)) {
        estimate = (*estimateOf)(exportedObject_.get(), call->arguments);
    }
    if (estimate > 0) {
        pendingReplyBytes_ += estimate;
        port = std::make_shared<CallPort>(port_, weak_from_this(), strand_, estimate);
    }
    bool accepted = (*method)(exportedObject_.get(), call->arguments, call->callId, std::move(port));
    if (!accepted) {
        --callsInFlight_;
        pendingReplyBytes_ -= estimate;
    }
    return accepted;
}

void XPCConnection::enqueue(OutgoingFrame frame) {
    if (ended_) return;
    queuedBytes_ += frame.heldBytes();
    queue_.push_back(std::move(frame));
    wake(writerWake_);
}

void XPCConnection::callEnded() {
    if (callsInFlight_ > 0) --callsInFlight_;
    wake(readerWake_);
}

runtime::Task<void> XPCConnection::writeReplies() {
    auto self = shared_from_this();
    constexpr std::size_t kFramesPerWrite = 64;
    std::vector<OutgoingFrame> batch;
    std::vector<asio::const_buffer> buffers;
    while (!ended_) {
        if (queue_.empty()) {
            writerWake_.expires_at(asio::steady_timer::time_point::max());
            co_await writerWake_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
            continue;
        }
        batch.clear();
        buffers.clear();
        while (!queue_.empty() && batch.size() < kFramesPerWrite) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
            const OutgoingFrame& frame = batch.back();
            std::size_t position = 0;
            for (const auto& attachment : frame.attachments) {
                buffers.emplace_back(frame.head.data() + position, attachment.at - position);
                buffers.emplace_back(attachment.bytes.data(), attachment.bytes.size());
                position = attachment.at;
            }
            buffers.emplace_back(frame.head.data() + position, frame.head.size() - position);
        }
        // Asio hands the socket 64 KiB per call unless told otherwise; a large reply then
        // takes dozens of system calls and wake-ups.
        auto wholeBatch = [](const asio::error_code& e, std::size_t) -> std::size_t { return e ? 0 : 64u << 20; };
        auto [error, n] = co_await asio::async_write(socket_, buffers, wholeBatch,
                                                     asio::experimental::as_tuple(asio::use_awaitable));
        if (ended_) co_return;
        if (error) {
            end(true);
            co_return;
        }
        for (const auto& frame : batch) queuedBytes_ -= frame.heldBytes();
        wake(readerWake_);
    }
}

void XPCConnection::end(bool runHandlers) {
    if (ended_) return;
    ended_ = true;
    if (counted_) {
        std::lock_guard lock(checksMutex);
        if (--connectionsOpen[peer_->uid()] == 0) connectionsOpen.erase(peer_->uid());
    }
    asio::error_code ignored;
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
    queue_.clear();
    queuedBytes_ = 0;
    descriptors_.clear();
    writerWake_.cancel();
    readerWake_.cancel();
    judgeWake_.cancel();
    exportedObject_.reset();
    if (runHandlers && invalidationHandler_) {
        auto handler = std::move(invalidationHandler_);
        handler();
    }
    invalidationHandler_ = nullptr;
    interruptionHandler_ = nullptr;
}

}  // namespace quarlin::platform::xpc
