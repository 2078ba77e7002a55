#include "QuarlinHelper/HelperListenerDelegate.h"

#include <syslog.h>

#include "HelperProtocol/HelperInformationList.h"
#include "HelperProtocol/XPCCodeSigningRequirement.h"
#include "QuarlinHelper/EnumerateDisks.h"
#include "platform/xpc/QuarlinHelperInterface.h"

namespace quarlin {
namespace {

void logToSystem(const std::string& line) { ::syslog(LOG_ERR, "%s", line.c_str()); }

}  // namespace

HelperListenerDelegate::HelperListenerDelegate()
    : HelperListenerDelegate(std::make_shared<QuarlinHelperService>(HelperInformationList::value, enumerateDisksAsJSON),
                             platform::systemCodeSigningServices()) {}

HelperListenerDelegate::HelperListenerDelegate(std::shared_ptr<QuarlinHelperService> service,
                                               platform::CodeSigningServices& codeSigning, LogLine log)
    : service_(std::move(service)), codeSigning_(codeSigning), log_(log ? std::move(log) : LogLine(logToSystem)) {}

bool HelperListenerDelegate::shouldAcceptNewConnection(platform::xpc::XPCListener&,
                                                       const std::shared_ptr<platform::xpc::XPCConnection>& connection) {
    // Built afresh for every connection, so a re-signed helper is judged as it is now.
    auto requirement = XPCCodeSigningRequirement::requirementForApp(codeSigning_);
    if (!requirement && requirement.error().isReadError()) {
        log_("[HelperListenerDelegate] Cannot read the helper's own executable to derive its Team ID (a read error "
             "such as too many open files) \u2014 rejecting XPC connection. Reason: " +
             requirement.error().description());
        return false;
    }
    if (!requirement) {
        log_("[HelperListenerDelegate] Cannot derive runtime Team ID \u2014 rejecting XPC connection. Reason: " +
             requirement.error().description());
        return false;
    }
    connection->setCodeSigningRequirement(std::move(*requirement));
    const auto pid = connection->peerPID();
    connection->setRefusalHandler([log = log_, pid](const std::string& reason) {
        log("[HelperListenerDelegate] Refused the peer" + (pid ? " with pid " + std::to_string(*pid) : std::string()) +
            ": " + reason);
    });
    connection->setExportedInterface(
        platform::xpc::XPCInterface::interfaceWithProtocol<QuarlinHelperXPCProtocol>());
    // Each connection gets its own view of the one session table, so that its end drops
    // only the sessions it opened, never another client's.
    auto service = service_->forConnection();
    connection->setExportedObject<QuarlinHelperXPCProtocol>(service);
    connection->setInvalidationHandler([service] { service->dropOwnSessions(); });
    connection->setInterruptionHandler([service] { service->dropOwnSessions(); });
    connection->resume();
    return true;
}

}  // namespace quarlin
