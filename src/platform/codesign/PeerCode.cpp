#include "platform/codesign/PeerCode.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// Residual risks of judging a peer by its process, which no check here removes:
// - The socket outlives the vetting. A vetted process may fork, and a child keeps the
//   connection across an exec of any other program; it may also pass the descriptor to
//   another process over SCM_RIGHTS. The connection stays served: the signature vouches
//   only for the program that connected.
// - A vetted program can be made to act for someone else (ptrace by the same user,
//   LD_PRELOAD at its start, a debugger). Signatures say what was started, not what runs.
// - Without SO_PEERPIDFD (kernels before 6.5) the pid is pinned by pidfd_open only after
//   accept; a peer that exits at once and whose pid is reused in between is judged by the
//   newcomer's executable. The check after reading narrows the window but cannot close it.
// - /proc/<pid>/exe names the file the process was started from; if that file is replaced
//   on disk after the start, the new bytes are judged.

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace quarlin::platform {
namespace {

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

}  // namespace

std::expected<Data, std::string> readWholeFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errnoText("cannot open " + path, errno));
    // Read straight into the buffer, sized to the file and grown if the file grows.
    Data bytes;
    struct stat st{};
    std::size_t expected = ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
    std::size_t size = 0;
    for (;;) {
        if (size == bytes.size()) bytes.resize(std::max<std::size_t>({expected + 1, 2 * size, 1 << 16}));
        ssize_t n = ::read(fd, bytes.data() + size, bytes.size() - size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            return std::unexpected(errnoText("cannot read " + path, error));
        }
        if (n == 0) break;
        size += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(size);
    return bytes;
}

std::expected<PeerProcess, std::string> PeerProcess::ofSocket(int socketFd) {
    struct ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return std::unexpected(errnoText("cannot read the peer's credentials", errno));
    }
    if (credentials.pid <= 0) return std::unexpected("the peer has no process in this namespace");
    int pidFd = -1;
    length = sizeof pidFd;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidFd, &length) != 0) {
        pidFd = static_cast<int>(::syscall(SYS_pidfd_open, credentials.pid, 0));
        if (pidFd < 0) return std::unexpected(errnoText("the peer process is gone", errno));
    }
    ::fcntl(pidFd, F_SETFD, FD_CLOEXEC);
    return PeerProcess(credentials.pid, credentials.uid, pidFd);
}

PeerProcess::PeerProcess(PeerProcess&& other) noexcept
    : pid_(other.pid_), uid_(other.uid_), pidFd_(other.pidFd_) {
    other.pidFd_ = -1;
}

PeerProcess::~PeerProcess() {
    if (pidFd_ >= 0) ::close(pidFd_);
}

bool PeerProcess::stillRunning() const {
    // A pid file descriptor becomes readable when its process exits.
    struct pollfd p{pidFd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

std::expected<Data, std::string> PeerProcess::executableBytes(const std::string& procRoot) const {
    if (!stillRunning()) return std::unexpected("the peer process has exited");
    auto bytes = readWholeFile(procRoot + "/" + std::to_string(pid_) + "/exe");
    if (!bytes) return bytes;
    // While the process runs its pid names nobody else, so the file read was its own.
    if (!stillRunning()) return std::unexpected("the peer process exited while it was checked");
    return bytes;
}

}  // namespace quarlin::platform
