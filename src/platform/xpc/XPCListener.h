// The listening side of a service: a Unix-domain stream socket that only its owner and,
// when one is given, the members of one group may connect to (the kernel refuses everyone
// else by the socket file's mode); the delegate decides for every new connection whether
// and how it is served.
#pragma once

#include <asio/local/stream_protocol.hpp>

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/codesign/CodeSignature.h"
#include "platform/xpc/XPCConnection.h"

namespace quarlin::platform::xpc {

class XPCListener;

class XPCListenerDelegate {
public:
    virtual ~XPCListenerDelegate() = default;
    // Configures and resumes `connection` and returns true, or returns false to refuse it.
    virtual bool shouldAcceptNewConnection(XPCListener& listener,
                                           const std::shared_ptr<XPCConnection>& connection) = 0;
};

class XPCListener : public std::enable_shared_from_this<XPCListener> {
public:
    // The socket that stands for a named service: /run/<name>.
    static std::string socketPathForMachService(std::string_view name, std::string_view runDirectory = "/run");

    // `group`: the group whose members may connect besides the owner (mode 0660); without
    // one, only the owner may (0600).
    explicit XPCListener(std::string socketPath, AnchorStore anchors = AnchorStore(),
                         std::optional<gid_t> group = std::nullopt);
    ~XPCListener();
    XPCListener(const XPCListener&) = delete;
    XPCListener& operator=(const XPCListener&) = delete;

    // The delegate is not owned and must outlive the listener's use of it.
    void setDelegate(XPCListenerDelegate* delegate);
    // Binds the socket (replacing a stale one) with no access for others from the first
    // moment, gives it to the group, and starts accepting. Throws std::system_error when
    // the socket cannot be made.
    void resume();
    // Stops accepting and removes the socket file; accepted connections go on.
    void invalidate();

    const std::string& socketPath() const { return socketPath_; }

private:
    runtime::Task<void> acceptLoop();

    std::string socketPath_;
    AnchorStore anchors_;
    std::optional<gid_t> group_;
    XPCListenerDelegate* delegate_ = nullptr;
    asio::local::stream_protocol::acceptor acceptor_;
};

}  // namespace quarlin::platform::xpc
