#include "platform/codesign/PeerCode.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

// Judging a peer by its process: the pid is pinned by a pid file descriptor and the
// executable the process runs is opened when the connection is accepted; the bytes judged
// are that open file's, and the peer is refused when it runs another executable by the time
// the judging ends. Between connect() and accept() the process may already have executed
// another program: one that connects, forks, and executes the signed client leaves its child
// holding the connection. The peer's copy then crossed an exec, which only a descriptor
// without close-on-exec does; the signed client makes its connection close-on-exec, so the
// peer must hold its end that way alone (read from /proc/<pid>/fdinfo) or it is refused.
// Residual risks, which no check here removes:
// - The socket outlives the vetting. The connection ends when the judged process exits or
//   executes another program, but while it runs, a descriptor it passed on (SCM_RIGHTS) or
//   that a child it forked still holds is served. The signed client does neither.
// - A vetted program can be made to act for someone else. The signed client marks itself
//   not dumpable, so its user can neither trace it nor take its descriptors; code mapped
//   from a file that someone other than root may write (LD_PRELOAD) is refused when the
//   peer is judged. Code loaded after that, or written into memory the program itself
//   makes executable, is not seen.
// - Without SO_PEERPIDFD (kernels before 6.5) the pid is pinned by pidfd_open only after
//   accept; a peer that exits at once and whose pid is reused in between is judged by the
//   newcomer's executable. The checks after opening and reading narrow the window.
// - The executable file may be rewritten in place after the start; its bytes then are
//   judged as they are now (a file that changes while it is read is refused).

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace quarlin::platform {
namespace {

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

}  // namespace

namespace {

// Reads the open file `fd` whole, from its start, refusing it beyond `maxSize` bytes.
std::expected<Data, std::string> readDescriptor(int fd, const std::string& name, std::uint64_t maxSize) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return std::unexpected(errnoText("cannot read " + name, errno));
    if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
        return std::unexpected(name + " is larger than " + std::to_string(maxSize) + " bytes");
    }
    Data bytes(static_cast<std::size_t>(st.st_size));
    std::size_t size = 0;
    while (size < bytes.size()) {
        ssize_t n = ::pread(fd, bytes.data() + size, bytes.size() - size, static_cast<off_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(errnoText("cannot read " + name, errno));
        if (n == 0) break;
        size += static_cast<std::size_t>(n);
    }
    // A file that changed size while it was read is not the one that was measured.
    if (size != bytes.size() || ::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) != size) {
        return std::unexpected(name + " changed while it was read");
    }
    return bytes;
}

// A file of /proc, whose size is known only by reading it to its end (at most `maxSize`).
std::expected<std::string, std::string> readProcFile(const std::string& path, std::size_t maxSize) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errnoText("cannot open " + path, errno));
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return std::unexpected(errnoText("cannot read " + path, error));
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > maxSize) {
            ::close(fd);
            return std::unexpected(path + " is larger than " + std::to_string(maxSize) + " bytes");
        }
    }
    ::close(fd);
    return text;
}

}  // namespace

std::expected<Data, std::string> readWholeFile(const std::string& path, std::uint64_t maxSize) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errnoText("cannot open " + path, errno));
    auto bytes = readDescriptor(fd, path, maxSize);
    ::close(fd);
    return bytes;
}

std::expected<PeerProcess, std::string> PeerProcess::ofSocket(int socketFd, const std::string& procRoot) {
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
    // The executable the process runs now, held so that the file judged later is this one
    // whatever the process executes meanwhile.
    const std::string exePath = procRoot + "/" + std::to_string(credentials.pid) + "/exe";
    const int exeFd = ::open(exePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (exeFd < 0) {
        const int error = errno;
        ::close(pidFd);
        return std::unexpected(errnoText("cannot open " + exePath, error));
    }
    const auto peerEnd = peerSocketInode(socketFd);
    if (!peerEnd) {
        ::close(pidFd);
        ::close(exeFd);
        return std::unexpected(peerEnd.error());
    }
    PeerProcess peer(credentials.pid, credentials.uid, pidFd, exeFd, procRoot, *peerEnd);
    // The pid was pinned before the open: if the process is still there, the file opened
    // was its own.
    if (!peer.stillRunning()) return std::unexpected("the peer process has exited");
    return peer;
}

PeerProcess::PeerProcess(PeerProcess&& other) noexcept
    : pid_(other.pid_),
      uid_(other.uid_),
      pidFd_(other.pidFd_),
      exeFd_(other.exeFd_),
      procRoot_(std::move(other.procRoot_)),
      peerEnd_(other.peerEnd_) {
    other.pidFd_ = -1;
    other.exeFd_ = -1;
}

PeerProcess::~PeerProcess() {
    if (pidFd_ >= 0) ::close(pidFd_);
    if (exeFd_ >= 0) ::close(exeFd_);
}

bool PeerProcess::stillRunning() const {
    // A pid file descriptor becomes readable when its process exits.
    struct pollfd p{pidFd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

bool PeerProcess::stillRunsTheHeldExecutable() const {
    struct stat held{}, now{};
    const std::string exePath = procRoot_ + "/" + std::to_string(pid_) + "/exe";
    return ::fstat(exeFd_, &held) == 0 && ::stat(exePath.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
           held.st_ino == now.st_ino;
}

std::optional<std::string> fileStamp(const struct stat& st) {
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

std::optional<std::string> PeerProcess::executableStamp() const {
    struct stat st{};
    if (::fstat(exeFd_, &st) != 0) return std::nullopt;
    return fileStamp(st);
}

std::expected<void, std::string> PeerProcess::mappedCodeIsTrusted() const {
    const std::string mapsPath = procRoot_ + "/" + std::to_string(pid_) + "/maps";
    const auto maps = readProcFile(mapsPath, 64u << 20);
    if (!maps) return std::unexpected(maps.error());
    struct stat held{};
    if (::fstat(exeFd_, &held) != 0) return std::unexpected(errnoText("cannot inspect the peer's executable", errno));
    std::string_view text = *maps;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // address perms offset device inode path: only executable mappings of files matter.
        const auto space = line.find(' ');
        if (space == std::string_view::npos || line.substr(space + 1, 4).find('x') == std::string_view::npos) continue;
        const auto slash = line.find('/');
        if (slash == std::string_view::npos) continue;  // [vdso], anonymous code
        const std::string file(line.substr(slash));
        struct stat st{};
        if (file.ends_with(" (deleted)") || ::stat(file.c_str(), &st) != 0) {
            return std::unexpected("the peer runs code from " + file + ", which is gone");
        }
        if (st.st_dev == held.st_dev && st.st_ino == held.st_ino) continue;
        if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return std::unexpected("the peer runs code from " + file + ", which others than root may write");
        }
    }
    return {};
}

std::expected<ino_t, std::string> peerSocketInode(int socketFd) {
    struct stat own{};
    if (::fstat(socketFd, &own) != 0) return std::unexpected(errnoText("cannot inspect the connection", errno));
    const int netlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (netlink < 0) return std::unexpected(errnoText("cannot ask the kernel about the connection", errno));
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = ~0u;
    query.request.udiag_ino = static_cast<__u32>(own.st_ino);
    query.request.udiag_show = UDIAG_SHOW_PEER;
    query.request.udiag_cookie[0] = query.request.udiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const timeval patience{1, 0};
    ::setsockopt(netlink, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    alignas(nlmsghdr) char reply[8192];
    ssize_t n = -1;
    if (::sendto(netlink, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof query)) {
        do n = ::recv(netlink, reply, sizeof reply, 0);
        while (n < 0 && errno == EINTR);
    }
    const int error = errno;
    ::close(netlink);
    if (n < 0) return std::unexpected(errnoText("cannot ask the kernel about the connection", error));
    // One message: its header, the socket's record, then attributes; every length read is
    // checked against what arrived.
    const auto size = static_cast<std::size_t>(n);
    for (std::size_t at = 0; at + sizeof(nlmsghdr) <= size;) {
        nlmsghdr header{};
        std::memcpy(&header, reply + at, sizeof header);
        const std::size_t length = header.nlmsg_len, body = at + NLMSG_HDRLEN;
        if (length < NLMSG_HDRLEN || length > size - at || header.nlmsg_type == NLMSG_ERROR) break;
        const std::size_t end = at + length;
        unix_diag_msg message{};
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && end - body >= sizeof message) {
            std::memcpy(&message, reply + body, sizeof message);
            for (std::size_t a = body + NLMSG_ALIGN(sizeof message);
                 message.udiag_ino == query.request.udiag_ino && a + sizeof(rtattr) <= end;) {
                rtattr attribute{};
                std::memcpy(&attribute, reply + a, sizeof attribute);
                const std::size_t attributeLength = attribute.rta_len;
                if (attributeLength < sizeof attribute || attributeLength > end - a) break;
                if (attribute.rta_type == UNIX_DIAG_PEER && attributeLength >= RTA_LENGTH(sizeof(__u32))) {
                    __u32 peer = 0;
                    std::memcpy(&peer, reply + a + RTA_LENGTH(0), sizeof peer);
                    if (peer != 0) return static_cast<ino_t>(peer);
                }
                a += RTA_ALIGN(attributeLength);
            }
        }
        at += NLMSG_ALIGN(length);
    }
    return std::unexpected("the kernel does not say which socket is the connection's other end");
}

std::expected<void, std::string> PeerProcess::madeItsConnectionItself() const {
    const std::string processPath = procRoot_ + "/" + std::to_string(pid_);
    const int fds = ::open((processPath + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* descriptors = fds < 0 ? nullptr : ::fdopendir(fds);
    if (!descriptors) {
        if (fds >= 0) ::close(fds);
        return std::unexpected(errnoText("cannot list the peer's descriptors", errno));
    }
    const std::string wanted = "socket:[" + std::to_string(peerEnd_) + "]";
    bool held = false;
    std::string inherited;
    while (const dirent* descriptor = ::readdir(descriptors)) {
        char target[64];
        const ssize_t n = ::readlinkat(fds, descriptor->d_name, target, sizeof target);
        if (n <= 0 || std::string_view(target, static_cast<std::size_t>(n)) != wanted) continue;
        held = true;
        // "flags:\t<octal>" in fdinfo carries O_CLOEXEC for this process's descriptor.
        const auto info = readProcFile(processPath + "/fdinfo/" + descriptor->d_name, 1u << 16);
        const auto at = info ? info->find("flags:") : std::string::npos;
        if (at == std::string::npos || (std::strtoul(info->c_str() + at + 6, nullptr, 8) & O_CLOEXEC) == 0) {
            inherited = descriptor->d_name;
            break;
        }
    }
    ::closedir(descriptors);
    if (!inherited.empty()) {
        return std::unexpected("the peer holds its connection in descriptor " + inherited +
                               ", which stays open across exec: a program it ran before may have made it");
    }
    if (!held) return std::unexpected("the peer no longer holds its connection");
    return {};
}

std::expected<void, std::string> PeerProcess::evaluateExecutable(const CodeRequirement& requirement,
                                                                 const AnchorStore& anchors) const {
    if (!stillRunning()) return std::unexpected("the peer process has exited");
    if (!stillRunsTheHeldExecutable()) return std::unexpected("the peer executed another program after it connected");
    auto verdict = evaluateRequirementOfFile(exeFd_, "the peer's executable", kMaxPeerExecutableSize, requirement, anchors);
    // While the process runs its pid names nobody else, so the file read was its own.
    if (!stillRunning()) return std::unexpected("the peer process exited while it was checked");
    if (!stillRunsTheHeldExecutable()) return std::unexpected("the peer executed another program while it was checked");
    return verdict;
}

}  // namespace quarlin::platform
