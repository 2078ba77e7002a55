#include "platform/xpc/XPCListener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <system_error>

namespace quarlin::platform::xpc {

std::string XPCListener::socketPathForMachService(std::string_view name, std::string_view runDirectory) {
    return std::string(runDirectory) + "/" + std::string(name);
}

XPCListener::XPCListener(std::string socketPath, AnchorStore anchors, std::optional<gid_t> group)
    : socketPath_(std::move(socketPath)),
      anchors_(std::move(anchors)),
      group_(group),
      // Accepting and closing are ordered on one strand: the accept loop and `invalidate()`
      // would otherwise touch the acceptor from two pool threads at once.
      acceptor_(asio::make_strand(runtime::sharedPool().get_executor())) {}

XPCListener::~XPCListener() {
    asio::error_code ignored;
    acceptor_.close(ignored);
}

void XPCListener::setDelegate(XPCListenerDelegate* delegate) { delegate_ = delegate; }

void XPCListener::resume() {
    struct stat st{};
    if (::lstat(socketPath_.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
        // A socket left by an earlier run is replaced below; anything else is not ours.
        throw std::system_error(EEXIST, std::generic_category(), socketPath_ + " exists and is not a socket");
    }
    // The socket is bound under a name of its own and renamed into place once it listens:
    // a client that finds the path can connect, never "connection refused" because it came
    // between bind and listen (clients are started right after the helper).
    const std::string staging = socketPath_ + "~";
    ::unlink(staging.c_str());
    asio::local::stream_protocol::endpoint endpoint(staging);
    acceptor_.open(endpoint.protocol());
    // Connecting needs write permission on the socket file. It is made owner-only (the mask
    // applies to bind) so that nobody else can connect before its group is set.
    const mode_t previousMask = ::umask(0177);
    asio::error_code bindError;
    acceptor_.bind(endpoint, bindError);
    ::umask(previousMask);
    if (bindError) throw std::system_error(bindError, "bind " + staging);
    try {
        if (group_) {
            if (::chown(staging.c_str(), static_cast<uid_t>(-1), *group_) != 0) {
                throw std::system_error(errno, std::generic_category(), "chown " + staging);
            }
            if (::chmod(staging.c_str(), 0660) != 0) {
                throw std::system_error(errno, std::generic_category(), "chmod " + staging);
            }
        }
        acceptor_.listen(asio::socket_base::max_listen_connections);
        if (::rename(staging.c_str(), socketPath_.c_str()) != 0) {
            throw std::system_error(errno, std::generic_category(), "rename " + staging + " to " + socketPath_);
        }
    } catch (...) {
        ::unlink(staging.c_str());
        throw;
    }
    asio::co_spawn(acceptor_.get_executor(), [self = shared_from_this()]() { return self->acceptLoop(); },
                   asio::detached);
}

void XPCListener::invalidate() {
    asio::post(acceptor_.get_executor(), [self = shared_from_this()] {
        asio::error_code ignored;
        self->acceptor_.close(ignored);
        ::unlink(self->socketPath_.c_str());
    });
}

runtime::Task<void> XPCListener::acceptLoop() {
    auto self = shared_from_this();
    for (;;) {
        auto [error, socket] = co_await acceptor_.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) co_return;
        if (error) {
            // Out of descriptors or memory for a moment: wait instead of spinning.
            asio::steady_timer pause(acceptor_.get_executor(), std::chrono::milliseconds(50));
            co_await pause.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
            continue;
        }
        // Room for a whole large reply in the socket, so that a read's bytes go out in few
        // wake-ups; beyond the system's limit where the service may (it runs as root).
        int sendBuffer = 8 << 20;
        if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUFFORCE, &sendBuffer, sizeof sendBuffer) != 0) {
            ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        }
        // The peer is pinned now, before anything else happens on the socket.
        auto peer = PeerProcess::ofSocket(socket.native_handle());
        auto connection = std::make_shared<XPCConnection>(std::move(socket), std::move(peer), anchors_);
        // A refused connection is dropped here, which closes its socket.
        if (delegate_ && delegate_->shouldAcceptNewConnection(*this, connection)) continue;
        connection->invalidate();
    }
}

}  // namespace quarlin::platform::xpc
