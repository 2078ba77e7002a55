// quarlin-helper: the privileged helper. It reads no arguments, no environment and no
// configuration; it publishes its one service and serves it until the system stops it.
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
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

// The group whose members may connect besides root; none when it does not exist, and then
// only root may connect.
std::optional<gid_t> groupNamed(const std::string& name) {
    const group* found = ::getgrnam(name.c_str());
    if (!found) return std::nullopt;
    return found->gr_gid;
}

}  // namespace

#ifdef QUARLIN_HELPER_TEST_BUILD
// The test build (quarlin-helper-test-build, never installed) takes the socket path, the
// anchor store and optionally the name of the group admitted to the socket as arguments,
// so that tests run it beside the real service.
int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) return 2;
    const std::string socketPath = argv[1];
    const quarlin::platform::AnchorStore anchors(argv[2]);
    const std::string groupName = argc == 4 ? argv[3] : "";
#else
int main() {
    const std::string socketPath = quarlin::platform::xpc::XPCListener::socketPathForMachService(
        quarlin::QuarlinHelperConstants::machServiceName, quarlin::QuarlinHelperConstants::runDirectory);
    // Started by hand rather than by its unit, the helper makes the folder itself: open to
    // everyone for finding the socket, whose own mode decides who may connect.
    ::mkdir(std::string(quarlin::QuarlinHelperConstants::runDirectory).c_str(), 0755);
    const quarlin::platform::AnchorStore anchors;
    const std::string groupName(quarlin::QuarlinHelperConstants::clientGroupName);
#endif
    ::openlog("quarlin-helper", LOG_PERROR | LOG_PID, LOG_DAEMON);
    // Every session holds a device open: take all the descriptors the system allows us.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const std::optional<gid_t> group = groupName.empty() ? std::nullopt : groupNamed(groupName);
    if (!groupName.empty() && !group) {
        ::syslog(LOG_WARNING, "There is no group %s: only root may connect.", groupName.c_str());
    }
    // /dev/rdiskN and /dev/diskN name this machine's disks from here on.
    quarlin::platform::installBSDNameMapper();

    helperDelegate = new quarlin::HelperListenerDelegate();
    helperListener = std::make_shared<quarlin::platform::xpc::XPCListener>(socketPath, anchors, group);
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
