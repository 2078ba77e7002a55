// The real helper, started by the test on a socket of its own, and real client processes
// signed (or not) by certificate authorities and teams the test makes. The device is a
// loop device over a file of random bytes, opened by its /dev/rdiskN name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <random>
#include <sstream>
#include <thread>

#include "../../support/DiskImageFixtures.h"
#include "ChildProcess.h"
#include "HelperProtocol/QuarlinHelperXPCProtocol.h"
#include "RawSocket.h"
#include "Sha256Hex.h"
#include "TestSigning.h"
#include "platform/registry/BSDNameTable.h"
#include "../../support/Eventually.h"

namespace quarlin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::RawClient;
using testing::callFrame;
using testing::rawFrame;
using Packer = platform::xpc::Packer;

// A block count of this process's own, so that a device of another test, which took the
// name ours had a moment ago, is told apart.
const std::int64_t kDeviceBlocks = 8192 + ::getpid() % 89 + 1;
const std::size_t kDeviceBytes = static_cast<std::size_t>(kDeviceBlocks) * 512;
const std::string kTeam = "TESTTEAM01";
const std::string kNoTeamLine =
    "[HelperListenerDelegate] Cannot derive runtime Team ID \u2014 rejecting XPC connection. Reason: "
    "kSecCodeInfoTeamIdentifier is absent \u2014 process appears to be unsigned or ad-hoc signed. XPC connection "
    "refused (fail-closed).";

const auto& run = fixtures::shellOutput;

class HelperProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new fs::path(testing::makeTemporaryDirectory("helper-process"));
        testing::TestCertificateAuthority root(*dir, "root"), stranger(*dir, "stranger");
        auto team = root.issue(kTeam, "team");
        auto otherTeam = root.issue("OTHERTEAM9", "other-team");
        auto impostor = stranger.issue(kTeam, "impostor");

        testing::signedCopy(TEST_HELPER_PATH, *dir / "helper", "dev.vembrow.quarlin.helper", team);
        testing::plainCopy(TEST_HELPER_PATH, *dir / "helper-unsigned");
        testing::signedCopy(TEST_CLIENT_PATH, *dir / "client", "dev.vembrow.quarlin", team);
        testing::plainCopy(TEST_CLIENT_PATH, *dir / "client-unsigned");
        testing::signedCopy(TEST_CLIENT_PATH, *dir / "client-other-team", "dev.vembrow.quarlin", otherTeam);
        testing::signedCopy(TEST_CLIENT_PATH, *dir / "client-other-identifier", "dev.vembrow.quarlin.helper", team);
        testing::signedCopy(TEST_CLIENT_PATH, *dir / "client-stranger-root", "dev.vembrow.quarlin", impostor);
        testing::signedCopy(TEST_CLIENT_PATH, *dir / "client-tampered", "dev.vembrow.quarlin", team);
        tamper(*dir / "client-tampered");
        // Large executables (loaders ignore what follows the program): a signed one of 200 MiB
        // and an unsigned one of 2 GiB, both mostly holes.
        testing::plainCopy(TEST_CLIENT_PATH, *dir / "client-large");
        fs::resize_file(*dir / "client-large", 200u << 20);
        testing::signInPlace(*dir / "client-large", "dev.vembrow.quarlin", team);
        testing::plainCopy(TEST_CLIENT_PATH, *dir / "client-huge");
        fs::resize_file(*dir / "client-huge", std::uintmax_t{2} << 30);
        anchors = new std::string(root.anchorPath());

        // The device: random bytes on a read-only loop device.
        std::string image = (*dir / "device.img").string();
        deviceBytes = new std::string(kDeviceBytes, '\0');
        std::mt19937_64 random(20261206);
        for (auto& c : *deviceBytes) c = static_cast<char>(random());
        std::ofstream(image, std::ios::binary).write(deviceBytes->data(), kDeviceBytes);
        loop = new std::string(run("losetup --find --show --read-only '" + image + "' 2>/dev/null"));

    }
    static void TearDownTestSuite() {
        if (!loop->empty()) run("losetup -d " + *loop);
        fs::remove_all(*dir);
    }

    // Flips one letter of the marker string, leaving the program runnable.
    static void tamper(const fs::path& file) {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(f)), {});
        auto at = bytes.find("QUARLIN-TEST-CLIENT-MARKER");
        ASSERT_NE(at, std::string::npos);
        f.seekp(static_cast<std::streamoff>(at));
        f.put('X');
    }

    // The helper opens disks by their raw BSD names. Numbers follow the machine's disks,
    // which other tests may attach meanwhile, so the name is looked up right before use.
    static std::string rawName() {
        auto table = platform::BSDNameTable::build();
        const platform::BlockDevice* device = table ? table->byKernelName(fs::path(*loop).filename().string()) : nullptr;
        return device ? "/dev/r" + device->bsdName : std::string();
    }

    void SetUp() override {
        if (loop->empty()) GTEST_SKIP() << "needs root and loop devices";
        ASSERT_FALSE(rawName().empty()) << "the loop device has no BSD name";
        socket = (*dir / ("helper-" + std::to_string(++helperCount) + ".sock")).string();
    }

    std::unique_ptr<ChildProcess> startHelper(const std::string& program = "helper") {
        fs::remove(socket);  // a helper that was killed leaves its socket behind
        auto helper = std::make_unique<ChildProcess>((*dir / program).string(), std::vector<std::string>{socket, *anchors});
        EXPECT_TRUE(testsupport::eventually([&] { return fs::exists(socket); })) << "the helper did not listen";
        return helper;
    }
    std::unique_ptr<ChildProcess> startClient(const std::string& program = "client") {
        return std::make_unique<ChildProcess>((*dir / program).string(), std::vector<std::string>{socket});
    }
    static std::string ask(ChildProcess& client, const std::string& command) {
        client.writeLine(command);
        return client.readLine().value_or("no answer");
    }
    // Opens the test's device and returns the session handle (-1 on failure). Other tests
    // attaching or detaching loop devices meanwhile renumber the disks, so a name that went
    // stale, or came to name another device, is looked up again.
    static std::int64_t openDevice(ChildProcess& client) {
        for (int i = 0; i < 20; ++i) {
            std::istringstream reply(ask(client, "open " + rawName()));
            std::string word;
            std::int64_t handle = -1, blockSize = 0, blocks = 0;
            reply >> word >> handle >> blockSize >> blocks;
            if (word == "open" && blockSize == 512 && blocks == kDeviceBlocks) return handle;
            if (word == "open") ask(client, "close " + std::to_string(handle));
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "the test device did not open";
        return -1;
    }
    static std::string handleText(std::int64_t handle) { return std::to_string(handle); }
    // Reads `handle` until the service says it is unknown; the drop that ends it runs as
    // soon as the helper has seen the other connection end.
    static bool becomesUnknown(ChildProcess& client, std::int64_t handle) {
        const std::string unknown = "error 4 Unknown session handle " + std::to_string(handle) + ".";
        return testsupport::eventually([&] { return ask(client, "read " + std::to_string(handle) + " 0 1") == unknown; },
                                       std::chrono::seconds(30), 25ms);
    }
    static inline fs::path* dir;
    static inline std::string* anchors;
    static inline std::string* deviceBytes;
    static inline std::string* loop;
    static inline int helperCount = 0;
    std::string socket;
};

TEST_F(HelperProcessTest, ASignedClientReadsTheDeviceBytesThroughSessions) {
    auto helper = startHelper();
    auto client = startClient();
    EXPECT_EQ(ask(*client, "ping"), "ping 1.0.0");
    const std::int64_t h = openDevice(*client);
    ASSERT_GE(h, 1);
    const std::string n = std::to_string(kDeviceBlocks), s = handleText(h);
    EXPECT_EQ(ask(*client, "read " + s + " 0 " + n), "read " + std::to_string(kDeviceBytes) + " " + sha256Hex(*deviceBytes));
    EXPECT_EQ(ask(*client, "read " + s + " 100 8"), "read 4096 " + sha256Hex(deviceBytes->substr(100 * 512, 4096)));
    EXPECT_EQ(ask(*client, "read " + s + " " + std::to_string(kDeviceBlocks - 2) + " 4"),
              "error 6 Range [" + std::to_string(kDeviceBlocks - 2) + ", " + std::to_string(kDeviceBlocks + 2) +
                  ") exceeds " + n + " blocks.");
    EXPECT_EQ(ask(*client, "close " + s), "closed");
    EXPECT_EQ(ask(*client, "read " + s + " 0 1"), "error 4 Unknown session handle " + s + ".");
    EXPECT_GT(openDevice(*client), h) << "handles are not reused";
    EXPECT_EQ(ask(*client, "open /dev/loop0"), "error 1 Refusing to open non-raw-device path: /dev/loop0");
    EXPECT_TRUE(ask(*client, "open /dev/random").starts_with("error 2 ")) << "only disks open by raw names";
}


// Each client the helper must refuse learns that its connection was lost; the helper logs
// the refusal with its reason and goes on serving its own client.
TEST_F(HelperProcessTest, ClientsNotSignedByTheTeamUnderTheIdentifierAreRefused) {
    auto helper = startHelper();
    std::vector<pid_t> refused;
    for (const char* program : {"client-unsigned", "client-other-team", "client-other-identifier", "client-tampered",
                                "client-stranger-root"}) {
        auto client = startClient(program);
        client->writeLine("ping");
        auto line = client->readLine();
        EXPECT_TRUE(line && line->starts_with("lost ")) << program << ": " << line.value_or("(nothing)");
        EXPECT_EQ(client->wait(), 3) << program;
        refused.push_back(client->pid());
        auto good = startClient();
        EXPECT_EQ(ask(*good, "ping"), "ping 1.0.0") << program;
    }
    helper->kill();
    helper->wait();
    const std::string log = helper->errorOutput();
    for (const pid_t pid : refused)
        EXPECT_NE(log.find("Refused the peer with pid " + std::to_string(pid) + ": "), std::string::npos) << log;
}

TEST_F(HelperProcessTest, AHelperWithoutTeamIdentifierRefusesEveryConnectionWithOneLogLineEach) {
    auto helper = startHelper("helper-unsigned");
    for (int i = 0; i < 3; ++i) {
        auto client = startClient();
        client->writeLine("ping");
        auto line = client->readLine();
        EXPECT_TRUE(line && line->starts_with("lost ")) << line.value_or("(nothing)");
        EXPECT_EQ(client->wait(), 3);
    }
    helper->kill();
    helper->wait();
    std::istringstream log(helper->errorOutput());
    int refusals = 0, others = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.ends_with(kNoTeamLine)) {
            ++refusals;
        } else {
            ++others;
        }
    }
    EXPECT_EQ(refusals, 3);
    EXPECT_EQ(others, 0);
}

// A connection's end drops the sessions it opened and no other client's.
// Handles are one space shared by every connection, never reused; a connection that ends
// takes only the sessions it opened with it.
TEST_F(HelperProcessTest, ConnectionsShareOneHandleSpaceAndEachEndDropsOnlyItsOwnSessions) {
    auto helper = startHelper();
    auto keeper = startClient(), other = startClient(), passerby = startClient();
    const std::int64_t kept = openDevice(*keeper);
    ASSERT_GE(kept, 1);
    const std::string first = handleText(openDevice(*other)), second = handleText(openDevice(*other));
    EXPECT_EQ(ask(*keeper, "read " + first + " 0 8"), "read 4096 " + sha256Hex(deviceBytes->substr(0, 4096)));
    EXPECT_EQ(ask(*keeper, "close " + first), "closed");
    EXPECT_EQ(ask(*other, "read " + first + " 0 1"), "error 4 Unknown session handle " + first + ".");
    EXPECT_EQ(ask(*other, "read " + second + " 1 1"), "read 512 " + sha256Hex(deviceBytes->substr(512, 512)));
    const std::int64_t passing = openDevice(*passerby);
    ASSERT_GT(passing, std::stoll(second));
    passerby->closeInput();
    EXPECT_EQ(passerby->wait(), 0);
    EXPECT_TRUE(becomesUnknown(*keeper, passing));
    EXPECT_EQ(ask(*keeper, "read " + handleText(kept) + " 1 1"), "read 512 " + sha256Hex(deviceBytes->substr(512, 512)));
    EXPECT_GT(openDevice(*keeper), passing);
}

// A connection is served for the judged process only: once it exits, the socket it handed
// on is cut off. A signed client that runs code its user could write is refused.
TEST_F(HelperProcessTest, TheConnectionEndsWithItsProcessAndForeignCodeIsRefused) {
    auto helper = startHelper();
    {
        ChildProcess connector((*dir / "client").string(), {"--handoff", socket}, true);
        RawClient raw(connector.receiveDescriptor());
        ASSERT_TRUE(raw.write(callFrame(1, selectors::ping)));
        ASSERT_TRUE(raw.readFrame());
        connector.closeInput();
        EXPECT_EQ(connector.wait(), 0);
        EXPECT_TRUE(raw.closedByPeer());
    }
    // A copy of a library the client loads anyway, in a place anyone may write to.
    std::string library;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; library.empty() && std::getline(maps, line);) {
        if (const auto at = line.find('/'); at != std::string::npos && line.find("/libm.so") != std::string::npos) {
            library = line.substr(at);
        }
    }
    ASSERT_FALSE(library.empty());
    const fs::path preload = *dir / "anyone" / "libm-copy.so";
    fs::create_directories(preload.parent_path());
    fs::copy_file(library, preload, fs::copy_options::overwrite_existing);
    fs::permissions(preload, fs::perms::all);
    // An AddressSanitizer build of the client wants its runtime first; let it start anyway.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asanOptions = std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                                    "verify_asan_link_order=0";
    ChildProcess client("/usr/bin/env",
                        {asanOptions, "LD_PRELOAD=" + preload.string(), (*dir / "client").string(), socket});
    EXPECT_TRUE(ask(client, "ping").starts_with("lost "));
    helper->kill();
    helper->wait();
    EXPECT_NE(helper->errorOutput().find("the peer runs code from " + preload.string() + ", which others than root may write"),
              std::string::npos)
        << helper->errorOutput();
}

// A process that connects, forks, and executes the signed client while the helper has not
// yet accepted (held stopped here, so the order is certain) runs the signed client when it
// is judged, but its child holds the same connection: refused.
TEST_F(HelperProcessTest, AConnectionSharedWithAChildBeforeAcceptIsRefused) {
    auto helper = startHelper();
    ::kill(helper->pid(), SIGSTOP);
    const fs::path signedClient = *dir / "client";
    ChildProcess racer((*dir / "client-unsigned").string(), {"--fork-exec", socket, signedClient.string()}, true);
    RawClient raw(racer.receiveDescriptor());
    const fs::path exe = "/proc/" + std::to_string(racer.pid()) + "/exe";
    std::error_code error;
    const bool executed = testsupport::eventually([&] { return fs::read_symlink(exe, error) == signedClient; });
    ::kill(helper->pid(), SIGCONT);
    ASSERT_TRUE(executed);
    ASSERT_TRUE(raw.write(callFrame(1, selectors::ping)));
    EXPECT_FALSE(raw.readFrame());
    racer.closeInput();
    racer.kill();
    helper->kill();
    helper->wait();
    EXPECT_NE(helper->errorOutput().find("Refused the peer with pid " + std::to_string(racer.pid()) +
                                         ": the peer holds its connection in descriptor"),
              std::string::npos)
        << helper->errorOutput();
}

// The helper's peak memory once it has done all it will for a client that stopped reading:
// the peak stays put for a second.
static std::uint64_t settledPeakKiB(pid_t pid) {
    auto peak = [&] {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6));
        }
        return 0ull;
    };
    std::uint64_t peakKiB = peak();
    for (int still = 0, i = 0; still < 10 && i < 300; ++i) {
        std::this_thread::sleep_for(100ms);
        const std::uint64_t now = peak();
        still = now == peakKiB ? still + 1 : 0;
        peakKiB = now;
    }
    return peakKiB;
}

// Clients that ask for far more than they read: the helper counts what replies really hold
// and reserves the bytes of reads before it makes them, so its memory stays bounded, and
// other clients are served meanwhile. Reads under way (256 MiB), one connection's queued
// replies (64 MiB and one more), socket buffers and the helper itself stay well under
// 600 MiB, against 2.5 GiB of reads or 2,000,000 replies (8 GiB as they were held) asked for.
TEST_F(HelperProcessTest, ClientsThatLeaveRepliesUnreadHoldBoundedMemory) {
    const fs::path image = *dir / "large.img";
    run("truncate -s 512M " + image.string());
    const std::string node = run("losetup --find --show --read-only " + image.string());
    ASSERT_FALSE(node.empty());
    struct Detach {
        std::string node;
        ~Detach() { run("losetup -d " + node); }
    } detach{node};
    const auto table = platform::BSDNameTable::build();
    const auto* device = table ? table->byKernelName(fs::path(node).filename().string()) : nullptr;
    ASSERT_NE(device, nullptr);
    const std::string name = "/dev/r" + device->bsdName;
    constexpr std::int64_t kBlocks = (64 << 20) / 512;

    for (const bool reads : {true, false}) {
        SCOPED_TRACE(reads ? "40 reads of 64 MiB" : "2,000,000 pings");
        auto helper = startHelper();
        ChildProcess connector((*dir / "client").string(), {"--handoff", socket}, true);
        RawClient raw(connector.receiveDescriptor());
        Data calls;
        auto add = [&](const Data& frame) { calls.insert(calls.end(), frame.begin(), frame.end()); };
        if (reads) {
            ASSERT_TRUE(raw.write(callFrame(1, selectors::openSession, [&](Packer& p) { p.pack(name); }, 1)));
            const auto reply = raw.readFrame();
            ASSERT_TRUE(reply);
            const auto message = platform::xpc::unpackMessage(*reply);
            ASSERT_TRUE(message && message->get().via.array.size >= 2);
            const auto handle = message->get().via.array.ptr[1].as<std::int64_t>();
            ASSERT_GT(handle, 0);
            for (std::uint64_t i = 0; i < 40; ++i) {
                add(callFrame(10 + i, selectors::readBlocks, [&](Packer& p) {
                    p.pack_int64(handle);
                    p.pack_uint64(i % 8 * kBlocks);
                    p.pack_int64(kBlocks);
                }, 3));
            }
        } else {
            for (std::uint64_t i = 0; i < 2000000; ++i) add(callFrame(i, selectors::ping));
        }
        // The helper stops reading once it holds enough: the writer then waits until the end.
        std::thread writer([&] { (void)raw.write(calls); });
        auto other = startClient();
        EXPECT_EQ(ask(*other, "ping"), "ping 1.0.0");
        const std::uint64_t peakKiB = settledPeakKiB(helper->pid());
        EXPECT_GT(peakKiB, 0u);
        EXPECT_LT(peakKiB, 600u << 10);
        ::shutdown(raw.fd(), SHUT_RDWR);
        writer.join();
        connector.closeInput();
        connector.wait();
    }
}

// A signed executable of 200 MiB is judged a piece at a time and served; one of 2 GiB is
// refused before it is read. Either way the helper's peak memory stays below the smaller file.
TEST_F(HelperProcessTest, LargeExecutablesAreJudgedInBoundedMemory) {
    auto helper = startHelper();
    auto large = startClient("client-large");
    EXPECT_EQ(ask(*large, "ping"), "ping 1.0.0");
    auto huge = startClient("client-huge");
    huge->writeLine("ping");
    const auto line = huge->readLine();
    EXPECT_TRUE(line && line->starts_with("lost ")) << line.value_or("(nothing)");
    EXPECT_LT(settledPeakKiB(helper->pid()), 150u << 10);
    helper->kill();
    helper->wait();
    EXPECT_NE(helper->errorOutput().find("the peer's executable is larger than"), std::string::npos)
        << helper->errorOutput();
}

// Bad input from a vetted peer: the signed client makes the connection and hands it to
// the test, which then sends what it likes. Each case must end that connection (seen
// as the drop of the session it opened) and leave the helper and its other clients serving.
// Each kind of malformed frame has its case in the socket layer's tests; these are the ones
// that need the real helper.
TEST_F(HelperProcessTest, BadInputOnTheSocketEndsThatConnectionAndTheHelperServesOn) {
    const Data notMessagePack{std::byte{0xC1}, std::byte{0xFF}, std::byte{0x00}};
    auto readCall = [](std::int64_t handle, std::int64_t count) {
        return callFrame(1, selectors::readBlocks,
                         [=](Packer& p) { p.pack_int64(handle); p.pack_uint64(0); p.pack_int64(count); }, 3);
    };
    struct Case {
        const char* name;
        std::function<void(RawClient&, std::int64_t handle)> act;
    };
    const Case cases[] = {
        {"bytes that are not MessagePack", [&](RawClient& c, auto) {
             EXPECT_TRUE(c.write(rawFrame(3, notMessagePack)));
             EXPECT_TRUE(c.closedByPeer());
         }},
        {"a disconnect in the middle of a large reply", [&](RawClient& c, std::int64_t handle) {
             EXPECT_TRUE(c.write(readCall(handle, kDeviceBlocks)));
             std::byte some[4096];
             EXPECT_GT(::recv(c.fd(), some, sizeof some, 0), 0);
             c.close();
         }},
        {"a disconnect while blocks are read into the buffer it lent", [&](RawClient& c, std::int64_t handle) {
             const int file = ::memfd_create("lent", MFD_CLOEXEC | MFD_ALLOW_SEALING);
             EXPECT_EQ(::ftruncate(file, static_cast<off_t>(kDeviceBytes)), 0);
             EXPECT_EQ(::fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK), 0);
             EXPECT_TRUE(c.write(callFrame(2, selectors::attachSharedBuffer), {file}));
             ::close(file);
             EXPECT_TRUE(c.readFrame());
             EXPECT_TRUE(c.write(callFrame(3, selectors::readBlocksIntoSharedBuffer, [=](Packer& p) {
                 p.pack_int64(handle); p.pack_uint64(0); p.pack_int64(kDeviceBlocks); p.pack_uint64(0);
             }, 4)));
             c.close();
         }},
    };
    auto helper = startHelper();
    auto keeper = startClient();
    const std::int64_t kept = openDevice(*keeper);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess connector((*dir / "client").string(), {"--handoff", socket}, true);
        int fd = connector.receiveDescriptor();
        ASSERT_GE(fd, 0);
        RawClient raw(fd);
        // The connection is served, and holds a session, before the bad input arrives.
        const std::string device = rawName();
        ASSERT_TRUE(raw.write(callFrame(99, selectors::openSession, [&](Packer& p) { p.pack(device); }, 1)));
        const auto reply = raw.readFrame();
        ASSERT_TRUE(reply);
        const auto message = platform::xpc::unpackMessage(*reply);
        ASSERT_TRUE(message && message->get().type == msgpack::type::ARRAY && message->get().via.array.size >= 2);
        const auto handle = message->get().via.array.ptr[1].as<std::int64_t>();
        ASSERT_GT(handle, kept);
        c.act(raw, handle);
        EXPECT_TRUE(becomesUnknown(*keeper, handle));
        connector.closeInput();
        connector.wait();
    }
    EXPECT_EQ(ask(*keeper, "read " + handleText(kept) + " 0 1"), "read 512 " + sha256Hex(deviceBytes->substr(0, 512)));
}

}  // namespace
}  // namespace quarlin
