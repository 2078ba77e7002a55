// Identifies the process at the other end of a Unix-domain socket and reads its executable,
// so that its code signature can be judged before anything it sends is read.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "QuarlinCore/io/Data.h"
#include "platform/codesign/CodeSignature.h"

namespace quarlin::platform {

// The largest executable a peer may run; a larger one is refused before a byte is read.
inline constexpr std::uint64_t kMaxPeerExecutableSize = 256u << 20;

// The peer as it was when it connected: a pid file descriptor pins the process, so the
// pid cannot silently come to name another one while its executable is read, and the
// executable it ran at accept time is held open, so that a program it executes later is
// not the one judged.
class PeerProcess {
public:
    // Takes the credentials of the connected socket `socketFd` and opens the peer's
    // executable through `procRoot`/<pid>/exe.
    static std::expected<PeerProcess, std::string> ofSocket(int socketFd, const std::string& procRoot = "/proc");

    PeerProcess(PeerProcess&& other) noexcept;
    PeerProcess& operator=(PeerProcess&&) = delete;
    ~PeerProcess();

    pid_t pid() const { return pid_; }
    uid_t uid() const { return uid_; }

    // The executable held since accept time judged against `requirement`, read from its end
    // in small pieces (see evaluateRequirementOfFile). Refused when the process has exited or
    // now runs another executable, or when the file is larger than kMaxPeerExecutableSize;
    // checked again once the file is read.
    std::expected<void, std::string> evaluateExecutable(const CodeRequirement& requirement,
                                                        const AnchorStore& anchors) const;

    // Every file the process has mapped as code, other than the executable held, must be
    // owned by root and writable by no one else: a library its user could have written
    // (LD_PRELOAD from a home or temporary directory) would make the signed program run
    // someone else's code.
    std::expected<void, std::string> mappedCodeIsTrusted() const;

    // Identifies the contents of the executable held without reading them: device, inode,
    // size, modification and change times (a user can set the former, never the latter).
    std::optional<std::string> executableStamp() const;

    // The peer must hold its end of the connection, and only through descriptors closed on
    // exec: one that stays open across exec may have been made by a program the process ran
    // before the one judged (connect, fork, execute a signed program: the child keeps the
    // connection, which the signature does not vouch for).
    std::expected<void, std::string> madeItsConnectionItself() const;

    // True while the process runs and still runs the executable held since accept.
    bool stillTheJudgedProgram() const { return stillRunning() && stillRunsTheHeldExecutable(); }

private:
    PeerProcess(pid_t pid, uid_t uid, int pidFd, int exeFd, std::string procRoot, ino_t peerEnd)
        : pid_(pid), uid_(uid), pidFd_(pidFd), exeFd_(exeFd), procRoot_(std::move(procRoot)), peerEnd_(peerEnd) {}
    bool stillRunning() const;
    // True while /proc/<pid>/exe is still the file held open.
    bool stillRunsTheHeldExecutable() const;

    pid_t pid_;
    uid_t uid_;
    int pidFd_;
    int exeFd_;
    std::string procRoot_;
    ino_t peerEnd_;  // the inode of the peer's socket
};

// The inode of the socket at the other end of the connected Unix-domain socket `socketFd`,
// asked of the kernel's socket diagnostics.
std::expected<ino_t, std::string> peerSocketInode(int socketFd);

// A file's identity as executableStamp() gives it.
std::optional<std::string> fileStamp(const struct stat& st);

// The whole file, refused when it is larger than `maxSize`.
std::expected<Data, std::string> readWholeFile(const std::string& path,
                                               std::uint64_t maxSize = kMaxPeerExecutableSize);

}  // namespace quarlin::platform
