// The service side of the local-socket layer, in one process: a listener on a socket of
// the test's own, a protocol object double behind it, and clients that speak the wire
// form directly, well or badly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "RawSocket.h"
#include "TestSigning.h"
#include "platform/xpc/QuarlinHelperInterface.h"
#include "platform/xpc/Wire.h"
#include "platform/xpc/XPCListener.h"
#include "platform/xpcclient/QuarlinHelperClient.h"
#include "../../support/Eventually.h"

namespace quarlin::platform::xpc {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::RawClient;
using testing::callFrame;
using testing::rawFrame;

// Stands in for the helper's service: fixed answers, reads that reply from another
// thread after a delay the test picks, and replies the test can hold back.
class ProtocolObjectDouble final : public QuarlinHelperXPCProtocol {
public:
    void ping(Reply<std::string> reply) override { reply("1.0.0"); }
    void enumerateDisks(Reply<std::optional<Data>, std::optional<ErrorObject>> reply) override {
        std::string json = "[]";
        reply(Data(reinterpret_cast<const std::byte*>(json.data()), reinterpret_cast<const std::byte*>(json.data()) + 2),
              std::nullopt);
    }
    void openSession(std::string path,
                     Reply<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>> reply) override {
        if (path == "/dev/rdisk9") {
            reply(-1, 0, 0, ErrorObject{"d", 2, {{"NSLocalizedDescription", "Device not found: " + path}}});
        } else {
            reply(nextHandle++, 512, 1000, std::nullopt);
        }
    }
    // Session 42 holds its reply; session s > 100 replies after s milliseconds.
    void readBlocks(std::int64_t session, std::uint64_t offset, std::int64_t count,
                    Reply<std::optional<Data>, std::optional<ErrorObject>> reply) override {
        if (session == 42) {
            std::lock_guard lock(mutex);
            held.push_back(std::move(reply));
            heldChanged.notify_all();
            return;
        }
        std::thread([=, reply = std::move(reply)]() mutable {
            if (session > 100) std::this_thread::sleep_for(std::chrono::milliseconds(session));
            Data bytes(static_cast<std::size_t>(count) * 512);
            for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>((offset * 512 + i) % 251);
            reply(std::move(bytes), std::nullopt);
        }).detach();
    }
    void closeSession(std::int64_t, Reply<> reply) override { reply(); }

    std::vector<Reply<std::optional<Data>, std::optional<ErrorObject>>> waitForHeld(std::size_t n) {
        std::unique_lock lock(mutex);
        heldChanged.wait_for(lock, 10s, [&] { return held.size() >= n; });
        return std::move(held);
    }

    std::atomic<std::int64_t> nextHandle{1};
    std::mutex mutex;
    std::condition_variable heldChanged;
    std::vector<Reply<std::optional<Data>, std::optional<ErrorObject>>> held;
};

// Exports the double on every connection, optionally with a requirement, and counts
// the connections that ended.
class ExportingDelegate final : public XPCListenerDelegate {
public:
    bool shouldAcceptNewConnection(XPCListener&, const std::shared_ptr<XPCConnection>& connection) override {
        if (auto r = currentRequirement()) connection->setCodeSigningRequirement(*r);
        connection->setExportedInterface(XPCInterface::interfaceWithProtocol<QuarlinHelperXPCProtocol>());
        connection->setExportedObject<QuarlinHelperXPCProtocol>(object);
        connection->setInvalidationHandler([this] {
            std::lock_guard lock(mutex);
            ++invalidations;
            changed.notify_all();
        });
        {
            std::lock_guard lock(mutex);
            connections.push_back(connection);
        }
        connection->resume();
        return true;
    }
    std::vector<std::weak_ptr<XPCConnection>> accepted() {
        std::lock_guard lock(mutex);
        return connections;
    }
    void setRequirement(std::optional<std::string> r) {
        std::lock_guard lock(mutex);
        requirement = std::move(r);
    }
    std::optional<std::string> currentRequirement() {
        std::lock_guard lock(mutex);
        return requirement;
    }
    bool waitForInvalidations(int n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return invalidations >= n; });
    }
    int invalidationCount() {
        std::lock_guard lock(mutex);
        return invalidations;
    }

    std::shared_ptr<ProtocolObjectDouble> object = std::make_shared<ProtocolObjectDouble>();
    std::optional<std::string> requirement;
    std::mutex mutex;
    std::condition_variable changed;
    int invalidations = 0;
    std::vector<std::weak_ptr<XPCConnection>> connections;
};

class XPCServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = testing::makeTemporaryDirectory("xpc-service");
        socketPath = (directory / "service.sock").string();
        listener = std::make_shared<XPCListener>(socketPath);
        listener->setDelegate(&delegate);
        listener->resume();
    }
    void TearDown() override {
        listener->invalidate();
        // Let connections of this test end before the delegate goes away.
        auto accepted = delegate.accepted();
        for (auto& weak : accepted) {
            if (auto c = weak.lock()) c->invalidate();
        }
        for (int i = 0; i < 200 && std::any_of(accepted.begin(), accepted.end(), [](auto& w) { return !w.expired(); });
             ++i) {
            std::this_thread::sleep_for(10ms);
        }
        // The listener removes its socket on its own thread.
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }
    // The service still answers a fresh, well-behaved client.
    void expectStillServing() {
        auto client = QuarlinHelperClient::connect(socketPath);
        ASSERT_TRUE(client) << client.error();
        EXPECT_EQ(client->ping().value_or("no reply"), "1.0.0");
    }

    fs::path directory;
    std::string socketPath;
    ExportingDelegate delegate;
    std::shared_ptr<XPCListener> listener;
};

TEST_F(XPCServiceTest, EveryCallRoundTripsThroughTheClient) {
    auto client = QuarlinHelperClient::connect(socketPath);
    ASSERT_TRUE(client) << client.error();
    EXPECT_EQ(client->ping().value(), "1.0.0");
    auto disks = client->enumerateDisks().value();
    EXPECT_EQ(disks.data, (Data{std::byte{'['}, std::byte{']'}}));
    EXPECT_FALSE(disks.error);
    auto opened = client->openSession("/dev/rdisk0").value();
    EXPECT_EQ(opened.handle, 1);
    EXPECT_EQ(opened.blockSize, 512);
    EXPECT_EQ(opened.blockCount, 1000u);
    EXPECT_FALSE(opened.error);
    auto failed = client->openSession("/dev/rdisk9").value();
    EXPECT_EQ(failed.handle, -1);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->code, 2);
    EXPECT_EQ(failed.error->localizedDescription(), "Device not found: /dev/rdisk9");
    auto read = client->readBlocks(1, 3, 2).value();
    ASSERT_TRUE(read.data);
    ASSERT_EQ(read.data->size(), 1024u);
    EXPECT_EQ((*read.data)[0], static_cast<std::byte>(3 * 512 % 251));
    EXPECT_TRUE(client->closeSession(1).has_value());
}

// A descriptor that came with its call reaches the object; the connection serves on.
TEST_F(XPCServiceTest, ADescriptorTravelsWithItsCall) {
    RawClient client(socketPath);
    const int file = ::memfd_create("lent", MFD_CLOEXEC);
    ASSERT_TRUE(client.write(callFrame(1, selectors::attachSharedBuffer), {file}));
    ::close(file);
    auto reply = client.readFrame();
    ASSERT_TRUE(reply);
    auto message = unpackMessage(*reply);
    ASSERT_TRUE(message && message->get().via.array.size == 2);
    EXPECT_EQ(asOptionalErrorObject(message->get().via.array.ptr[1]).value()->localizedDescription(),
              "Shared buffers are not supported.");
    ASSERT_TRUE(client.write(callFrame(2, selectors::ping)));
    EXPECT_TRUE(client.readFrame());
}

TEST_F(XPCServiceTest, RepliesOfOneConnectionComeInAnyOrderAndMatchTheirCalls) {
    auto client = QuarlinHelperClient::connect(socketPath);
    ASSERT_TRUE(client);
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<std::int64_t, std::size_t>> arrivals;
    for (std::int64_t session : {400, 250, 101, 1}) {
        client->readBlocks(session, 0, session % 7 + 1, [&, session](auto result) {
            std::lock_guard lock(m);
            arrivals.emplace_back(session, result && result->data ? result->data->size() : 0);
            cv.notify_all();
        });
    }
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return arrivals.size() == 4; }));
    EXPECT_EQ(arrivals.front().first, 1);
    EXPECT_EQ(arrivals.back().first, 400);
    for (auto [session, size] : arrivals) EXPECT_EQ(size, static_cast<std::size_t>(session % 7 + 1) * 512);
}

TEST_F(XPCServiceTest, BadInputEndsThatConnectionAndOnlyThatOne) {
    struct Case {
        const char* name;
        Data bytes;
        bool thenClose;  // the client hangs up after sending
        int descriptors = 0;  // copies of a descriptor sent with the bytes: the bystander's socket,
        bool memoryFiles = false;  // or memory files
    };
    // What the frame and call decoders refuse is tabled in their own tests; one case of each
    // kind here shows that a refusal ends the connection.
    const Case cases[] = {
        {"a frame cut short, then hang-up", [] { Data f = callFrame(1, selectors::ping); f.pop_back(); return f; }(), true},
        {"a header cut short, then hang-up", Data{std::byte{0x10}, std::byte{0}}, true},
        {"a length one above the limit", rawFrame(kMaxCallFrameSize + 1, {}), false},
        {"an empty body", rawFrame(0, {}), false},
        {"an unknown selector", callFrame(1, "formatDiskWithReply:"), false},
        {"a selector without its colon", callFrame(1, "pingWithReply"), false},
        {"too many arguments", callFrame(1, selectors::ping, [](Packer& p) { p.pack_nil(); }, 1), false},
        {"too few arguments", callFrame(1, selectors::readBlocks, [](Packer& p) { p.pack_int64(1); p.pack_uint64(0); }, 2), false},
        {"a path that is a number", callFrame(1, selectors::openSession, [](Packer& p) { p.pack_int64(5); }, 1), false},
        {"a session that is text", callFrame(1, selectors::closeSession, [](Packer& p) { pack(p, std::string_view("1")); }, 1), false},
        {"a count that is a float", callFrame(1, selectors::readBlocks,
                                        [](Packer& p) { p.pack_int64(1); p.pack_uint64(0); p.pack_double(1.5); }, 3), false},
        {"a shared buffer lent without its file", callFrame(1, selectors::attachSharedBuffer), false},
        {"a descriptor that is not a memory file", callFrame(1, selectors::attachSharedBuffer), false, 1},
        {"more descriptors than a connection holds untaken", callFrame(1, selectors::ping), false, 5, true},
    };
    int expectedInvalidations = 0;
    RawClient bystander(socketPath);
    for (const auto& c : cases) {
        RawClient client(socketPath);
        std::vector<int> descriptors(static_cast<std::size_t>(c.descriptors), bystander.fd());
        if (c.memoryFiles) std::ranges::generate(descriptors, [] { return ::memfd_create("m", MFD_CLOEXEC); });
        ASSERT_TRUE(client.write(c.bytes, descriptors)) << c.name;
        if (c.memoryFiles) std::ranges::for_each(descriptors, ::close);
        if (c.thenClose) {
            client.close();
        } else {
            EXPECT_TRUE(client.closedByPeer()) << c.name;
        }
        ++expectedInvalidations;
        EXPECT_TRUE(delegate.waitForInvalidations(expectedInvalidations)) << c.name;
        // The connection that behaves is untouched.
        ASSERT_TRUE(bystander.write(callFrame(7, selectors::ping))) << c.name;
        auto reply = bystander.readFrame();
        ASSERT_TRUE(reply) << c.name;
    }
    EXPECT_EQ(delegate.invalidationCount(), expectedInvalidations);
    expectStillServing();
}

// One user cannot fill the service's descriptor table: beyond the bound its connections
// are refused, and a connection that ends gives its place back.
TEST_F(XPCServiceTest, AUsersConnectionsAreBounded) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < XPCConnection::kMaxConnectionsPerUser; ++i) {
        clients.push_back(std::make_unique<RawClient>(socketPath));
        ASSERT_TRUE(clients.back()->write(callFrame(1, selectors::ping)));
        ASSERT_TRUE(clients.back()->readFrame()) << i;
    }
    RawClient oneTooMany(socketPath);
    EXPECT_TRUE(oneTooMany.closedByPeer());
    clients.pop_back();
    testsupport::eventually([&] { return delegate.invalidationCount() >= 1; });
    RawClient again(socketPath);
    ASSERT_TRUE(again.write(callFrame(2, selectors::ping)));
    EXPECT_TRUE(again.readFrame());
}

// Pipelining and hang-ups during large replies are tested against the real helper
// in the helper process tests.

TEST_F(XPCServiceTest, RepliesAfterTheConnectionIsGoneAreDroppedAndRepliesAreSentOnce) {
    {
        RawClient client(socketPath);
        ASSERT_TRUE(client.write(callFrame(5, selectors::readBlocks,
                                           [](Packer& p) { p.pack_int64(42); p.pack_uint64(0); p.pack_int64(1); }, 3)));
        auto held = delegate.object->waitForHeld(1);
        ASSERT_EQ(held.size(), 1u);
        client.close();
        ASSERT_TRUE(delegate.waitForInvalidations(1));
        held[0](Data(4, std::byte{0}), std::nullopt);
        held[0](Data(4, std::byte{0}), std::nullopt);
    }
    RawClient client(socketPath);
    ASSERT_TRUE(client.write(callFrame(6, selectors::readBlocks,
                                       [](Packer& p) { p.pack_int64(42); p.pack_uint64(0); p.pack_int64(1); }, 3)));
    auto held = delegate.object->waitForHeld(1);
    ASSERT_EQ(held.size(), 1u);
    held[0](Data(4, std::byte{0}), std::nullopt);
    held[0](Data(8, std::byte{0}), std::nullopt);
    ASSERT_TRUE(client.write(callFrame(7, selectors::ping)));
    auto first = client.readFrame(), second = client.readFrame();
    ASSERT_TRUE(first && second);
    auto a = unpackMessage(*first), b = unpackMessage(*second);
    EXPECT_EQ(asUInt64(a->get().via.array.ptr[0]), 6u);
    EXPECT_EQ(asOptionalData(a->get().via.array.ptr[1])->value().size(), 4u);
    EXPECT_EQ(asUInt64(b->get().via.array.ptr[0]), 7u);
}

TEST_F(XPCServiceTest, APendingCallLearnsThatTheConnectionEnded) {
    auto client = QuarlinHelperClient::connect(socketPath);
    ASSERT_TRUE(client);
    std::promise<QuarlinHelperClient::Result<DataReply>> outcome;
    client->readBlocks(42, 0, 1, [&](auto result) { outcome.set_value(std::move(result)); });
    ASSERT_EQ(delegate.object->waitForHeld(1).size(), 1u);
    for (auto& weak : delegate.accepted()) {
        if (auto c = weak.lock()) c->invalidate();
    }
    auto future = outcome.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    auto result = future.get();
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "the connection to the helper ended before it replied");
}

TEST_F(XPCServiceTest, APeerThatFailsTheRequirementIsCutOffUnreadAndUnannounced) {
    // This test process is not signed, so no requirement holds for it.
    for (const char* requirement : {"identifier \"dev.vembrow.quarlin\"", "this is not a requirement"}) {
        delegate.setRequirement(requirement);
        RawClient client(socketPath);
        // The refusal may come before the call is even written.
        (void)client.write(callFrame(1, selectors::ping));
        EXPECT_FALSE(client.readFrame()) << requirement;
        EXPECT_TRUE(client.closedByPeer()) << requirement;
    }
    EXPECT_EQ(delegate.invalidationCount(), 0);
    for (auto& weak : delegate.accepted()) {
        if (auto c = weak.lock()) {
            EXPECT_FALSE(c->refusalReason().empty());
        }
    }
    delegate.setRequirement(std::nullopt);
    expectStillServing();
}

}  // namespace
}  // namespace quarlin::platform::xpc
