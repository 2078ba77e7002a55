// A program started by a test, with its stdin, stdout and stderr on pipes and, when asked,
// one end of a socket pair as its descriptor 3.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quarlin::testing {

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments, bool withSocketPair = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void writeLine(const std::string& line);
    void closeInput();
    // The next line of stdout without its newline; none at end or after the timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Everything left on stdout, up to its end.
    std::string readAll();
    // Waits for the exit and returns the status (128 + signal when killed).
    int wait();
    // Everything the program wrote to stderr, once it has exited.
    std::string errorOutput();
    // Receives a descriptor the program sent over descriptor 3.
    int receiveDescriptor();
    void kill();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1, pair_ = -1;
    std::string buffered_;
    std::optional<int> status_;
};

}  // namespace quarlin::testing
