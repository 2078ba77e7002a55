// Decides about every connection to the helper: builds the peer requirement from the
// helper's own signature, refuses the connection when that fails, and otherwise exports
// the one shared service on it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "QuarlinHelper/QuarlinHelperService.h"
#include "platform/codesign/CodeSigningServices.h"
#include "platform/xpc/XPCListener.h"

namespace quarlin {

class HelperListenerDelegate final : public platform::xpc::XPCListenerDelegate {
public:
    using LogLine = std::function<void(const std::string& line)>;

    // Creates the service that every accepted connection shares, with the helper's
    // information list and this machine's disk enumeration.
    HelperListenerDelegate();
    // For the entry point and tests: the service to export, the code-signing services to
    // build requirements with, and where the refusal line goes (syslog by default).
    HelperListenerDelegate(std::shared_ptr<QuarlinHelperService> service, platform::CodeSigningServices& codeSigning,
                           LogLine log = {});

    bool shouldAcceptNewConnection(platform::xpc::XPCListener& listener,
                                   const std::shared_ptr<platform::xpc::XPCConnection>& connection) override;

    const std::shared_ptr<QuarlinHelperService>& service() const { return service_; }

private:
    const std::shared_ptr<QuarlinHelperService> service_;
    platform::CodeSigningServices& codeSigning_;
    LogLine log_;
};

}  // namespace quarlin
