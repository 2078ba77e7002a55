// Identifies the process at the other end of a Unix-domain socket and reads its executable,
// so that its code signature can be judged before anything it sends is read.
#pragma once

#include <sys/types.h>

#include <expected>
#include <string>

#include "QuarlinCore/io/Data.h"

namespace quarlin::platform {

// The peer as it was when it connected: a pid file descriptor pins the process, so the
// pid cannot silently come to name another one while its executable is read.
class PeerProcess {
public:
    // Takes the credentials of the connected socket `socketFd`.
    static std::expected<PeerProcess, std::string> ofSocket(int socketFd);

    PeerProcess(PeerProcess&& other) noexcept;
    PeerProcess& operator=(PeerProcess&&) = delete;
    ~PeerProcess();

    pid_t pid() const { return pid_; }
    uid_t uid() const { return uid_; }

    // The bytes of the peer's executable, through /proc/<pid>/exe, read only after the
    // pid was pinned and checked again once they are read.
    std::expected<Data, std::string> executableBytes(const std::string& procRoot = "/proc") const;

private:
    PeerProcess(pid_t pid, uid_t uid, int pidFd) : pid_(pid), uid_(uid), pidFd_(pidFd) {}
    bool stillRunning() const;

    pid_t pid_;
    uid_t uid_;
    int pidFd_;
};

std::expected<Data, std::string> readWholeFile(const std::string& path);

}  // namespace quarlin::platform
