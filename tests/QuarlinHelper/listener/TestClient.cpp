// helper-test-client: a client of the helper that tests start as a separate process, so
// that its own signature is what the helper judges.
//   helper-test-client SOCKET          reads commands from stdin, one result line each:
//     ping                   → "ping VERSION"
//     open PATH              → "open HANDLE BLOCKSIZE BLOCKCOUNT" | "error CODE MESSAGE"
//     read HANDLE OFFSET N   → "read BYTES SHA256" | "error CODE MESSAGE"
//     close HANDLE           → "closed"
//   The connection ending prints "lost REASON" and exits 3; no connection exits 4.
//   helper-test-client --handoff SOCKET  connects, is served one ping, sends the socket
//   over descriptor 3 and stays until stdin ends, so the test can speak on a connection
//   this program made.
//   helper-test-client --fork-exec SOCKET PROGRAM  connects, then forks: the child sends
//   the socket over descriptor 3 and stays until stdin ends, the parent executes PROGRAM
//   SOCKET still holding the socket.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "HelperProtocol/QuarlinHelperXPCProtocol.h"
#include "RawSocket.h"
#include "Sha256Hex.h"
#include "platform/xpcclient/QuarlinHelperClient.h"

// Changed by a test to alter the program's bytes after signing without breaking it.
extern "C" const char kTamperMarker[] = "QUARLIN-TEST-CLIENT-MARKER";

namespace {

// A connection to SOCKET in a descriptor that stays open across exec, or -1.
int inheritableConnection(const std::string& path) {
    try {
        quarlin::testing::RawClient raw(path);
        const int fd = ::dup(raw.fd());
        raw.close();
        return fd;
    } catch (const std::exception&) {
        return -1;
    }
}

int sendAndStay(int fd) {
    const std::byte byte{'x'};
    if (quarlin::platform::xpc::sendWithDescriptors(3, std::span(&byte, 1), std::span(&fd, 1)) != 1) return 5;
    ::close(fd);
    char sink[64];
    while (::read(0, sink, sizeof sink) > 0) {
    }
    return 0;
}

int handoff(const std::string& path) {
    quarlin::testing::RawClient raw(path);
    if (!raw.write(quarlin::testing::callFrame(1, quarlin::selectors::ping)) || !raw.readFrame()) return 4;
    const int fd = ::dup(raw.fd());
    raw.close();
    return sendAndStay(fd);
}

int forkExec(const std::string& path, const char* program) {
    const int fd = inheritableConnection(path);
    if (fd < 0) return 4;
    if (::fork() == 0) return sendAndStay(fd);
    ::execl(program, program, path.c_str(), static_cast<char*>(nullptr));
    return 6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--handoff") return handoff(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "--fork-exec") return forkExec(argv[2], argv[3]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SOCKET | --handoff SOCKET | --fork-exec SOCKET PROGRAM (%s)\n", argv[0], kTamperMarker);
        return 2;
    }
    auto client = quarlin::QuarlinHelperClient::connect(argv[1]);
    if (!client) return 4;
    std::string line;
    auto lost = [](const std::string& reason) {
        std::cout << "lost " << reason << std::endl;
        std::exit(3);
    };
    auto errorLine = [](const quarlin::ErrorObject& e) {
        std::cout << "error " << e.code << " " << e.localizedDescription() << std::endl;
    };
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "ping") {
            auto r = client->ping();
            if (!r) lost(r.error());
            std::cout << "ping " << *r << std::endl;
        } else if (command == "open") {
            std::string path;
            in >> path;
            auto r = client->openSession(path);
            if (!r) lost(r.error());
            if (r->error) {
                errorLine(*r->error);
            } else {
                std::cout << "open " << r->handle << " " << r->blockSize << " " << r->blockCount << std::endl;
            }
        } else if (command == "read") {
            std::int64_t handle = 0, count = 0;
            std::uint64_t offset = 0;
            in >> handle >> offset >> count;
            auto r = client->readBlocks(handle, offset, count);
            if (!r) lost(r.error());
            if (r->error) {
                errorLine(*r->error);
            } else {
                std::cout << "read " << r->data->size() << " " << sha256Hex(*r->data) << std::endl;
            }
        } else if (command == "close") {
            std::int64_t handle = 0;
            in >> handle;
            auto r = client->closeSession(handle);
            if (!r) lost(r.error());
            std::cout << "closed" << std::endl;
        } else {
            std::cout << "unknown command" << std::endl;
        }
    }
    client->close();
    return 0;
}
