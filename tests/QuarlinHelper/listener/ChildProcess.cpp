#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace quarlin::testing {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments, bool withSocketPair) {
    int in[2], out[2], err[2], pair[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    if (withSocketPair && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair)) throw std::runtime_error("socketpair");
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (withSocketPair) ::dup2(pair[1], 3);
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        ::execv(program.c_str(), raw.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (withSocketPair) {
        ::close(pair[1]);
        pair_ = pair[0];
    }
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        kill();
        wait();
    }
    for (int fd : {in_, out_, err_, pair_}) {
        if (fd >= 0) ::close(fd);
    }
}

void ChildProcess::writeLine(const std::string& line) {
    std::string text = line + "\n";
    if (in_ >= 0) (void)!::write(in_, text.data(), text.size());
}

void ChildProcess::closeInput() {
    if (in_ >= 0) ::close(std::exchange(in_, -1));
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        char chunk[4096];
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string ChildProcess::readAll() {
    std::string text = std::move(buffered_);
    buffered_.clear();
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(out_, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

int ChildProcess::wait() {
    if (status_) return *status_;
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return *status_;
}

std::string ChildProcess::errorOutput() {
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(err_, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

int ChildProcess::receiveDescriptor() {
    char byte;
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    pollfd p{pair_, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0 || ::recvmsg(pair_, &message, MSG_CMSG_CLOEXEC) <= 0) return -1;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (!header || header->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

void ChildProcess::kill() {
    if (!status_ && pid_ > 0) ::kill(pid_, SIGKILL);
}

}  // namespace quarlin::testing
