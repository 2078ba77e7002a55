// quarlin-helper: the privileged helper. It reads no arguments, no environment and no
// configuration; it publishes its one service and serves it until the system stops it.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "HelperProtocol/QuarlinHelperConstants.h"
#include "QuarlinHelper/HelperListenerDelegate.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/registry/BSDNameTable.h"
#include "platform/xpc/XPCListener.h"

namespace {

// Set once here, kept for the life of the process.
quarlin::HelperListenerDelegate* helperDelegate = nullptr;
std::shared_ptr<quarlin::platform::xpc::XPCListener> helperListener;

}  // namespace

#ifdef QUARLIN_HELPER_TEST_BUILD
// The test build (quarlin-helper-test-build, never installed) takes the socket path and
// the anchor store as its two arguments, so that tests run it beside the real service.
int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string socketPath = argv[1];
    const quarlin::platform::AnchorStore anchors(argv[2]);
#else
int main() {
    const std::string socketPath = quarlin::platform::xpc::XPCListener::socketPathForMachService(
        quarlin::QuarlinHelperConstants::machServiceName);
    const quarlin::platform::AnchorStore anchors;
#endif
    ::openlog("quarlin-helper", LOG_PERROR | LOG_PID, LOG_DAEMON);
    // /dev/rdiskN and /dev/diskN name this machine's disks from here on.
    quarlin::platform::installBSDNameMapper();

    helperDelegate = new quarlin::HelperListenerDelegate();
    helperListener = std::make_shared<quarlin::platform::xpc::XPCListener>(socketPath, anchors);
    helperListener->setDelegate(helperDelegate);
    try {
        helperListener->resume();
    } catch (const std::exception& e) {
        // Nothing can be served; the service manager sees the failure and may restart us.
        std::fprintf(stderr, "quarlin-helper: cannot listen on %s: %s\n", socketPath.c_str(), e.what());
        return 1;
    }

    // The main thread only waits; the shared pool serves. There is no shutdown path.
    for (;;) ::pause();
}
