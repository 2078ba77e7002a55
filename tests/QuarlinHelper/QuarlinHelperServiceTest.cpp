// The service's session protocol on real files and real loop devices, reached through the
// device-path hook under raw-device names.
#include "QuarlinHelper/QuarlinHelperService.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <stdexcept>

#include "../support/DiskImageFixtures.h"
#include "../support/ServiceCalls.h"

namespace quarlin {
namespace {

using Code = QuarlinHelperError::Code;
using fixtures::expectHelperError;
using fixtures::ReplyProbe;

constexpr std::size_t kImageBlocks = 104;

class ServiceTest : public testing::Test {
protected:
    ServiceTest()
        : image_(fixtures::patternBytes(kImageBlocks * 512 + 17)),
          mapping_({{"/dev/rdiskTEST", dir_.file("disk.img")},
                    {"/dev/rdiskEMPTY", dir_.file("empty.img")},
                    {"/dev/rdiskMISSING", dir_.file("missing.img")},
                    {"/dev/rdiskLARGE", dir_.file("large.img")}}) {
        fixtures::writeFile(dir_.file("disk.img"), image_);
        fixtures::writeFile(dir_.file("empty.img"), {});
        fixtures::writeFile(dir_.file("large.img"), {});
        std::filesystem::resize_file(dir_.file("large.img"), 2 * QuarlinHelperService::kMaxReadBytesPerConnection);
    }

    fixtures::TempDir dir_;
    Data image_;
    fixtures::DevicePathMapping mapping_;
    QuarlinHelperService service_;
};

TEST_F(ServiceTest, PingRepliesWithTheVersionOrUnknown) {
    std::string askedFor;
    QuarlinHelperService versioned([&](std::string_view key) -> std::optional<std::string> {
        askedFor = key;
        return "1.0.0";
    });
    QuarlinHelperService withoutEntry([](std::string_view) -> std::optional<std::string> { return std::nullopt; });
    const std::pair<QuarlinHelperService*, const char*> cases[] = {
        {&versioned, "1.0.0"}, {&withoutEntry, "unknown"}, {&service_, "unknown"}};
    for (const auto& [service, expected] : cases) {
        ReplyProbe<std::string> probe;
        service->ping(probe.reply());
        EXPECT_EQ(std::get<0>(probe.finish()), expected);
    }
    EXPECT_EQ(askedFor, "CFBundleShortVersionString");
}

TEST_F(ServiceTest, RefusesPathsThatAreNotRawDevicesAtOnce) {
    for (const char* path : {"/dev/disk2", "disk2", "", "/dev/", "/dev/R", "/Dev/rdisk2", " /dev/rdisk2", "/dev",
                             "rdisk2", "/dev/disk4s2"}) {
        ReplyProbe<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>> probe;
        service_.openSession(path, probe.reply());
        EXPECT_TRUE(probe.called()) << "the path check answers before returning: " << path;
        const auto [handle, blockSize, blockCount, error] = probe.finish();
        EXPECT_EQ(handle, -1);
        EXPECT_EQ(blockSize, 0);
        EXPECT_EQ(blockCount, 0u);
        expectHelperError(error, Code::permissionDenied, std::string("Refusing to open non-raw-device path: ") + path);
    }
    // The refusals consumed no handle.
    EXPECT_EQ(fixtures::openSession(service_, "/dev/rdiskTEST").handle, 1);
}

TEST_F(ServiceTest, OpenFailuresAreMappedFromTheReader) {
    struct Case {
        std::string path;
        Code code;
        std::string message;
    };
    const Case cases[] = {
        {"/dev/rdiskMISSING", Code::deviceNotFound,
         "open(/dev/rdiskMISSING, O_RDONLY) failed: No such file or directory"},
        // Passes the path check; the reader decides (no such device on this machine).
        {"/dev/rdisk2", Code::deviceNotFound, "open(/dev/rdisk2, O_RDONLY) failed: No such file or directory"},
    };
    for (const auto& c : cases) {
        const auto result = fixtures::openSession(service_, c.path);
        EXPECT_EQ(result.handle, -1);
        expectHelperError(result.error, c.code, c.message);
    }
    EXPECT_EQ(fixtures::openSession(service_, "/dev/rdiskEMPTY").handle, 1) << "a failed open consumes no handle";
}

// Over the socket or into a buffer the client lent, at any place in it: the same bytes.
TEST_F(ServiceTest, ReadsReturnTheImagesBytes) {
    const auto session = fixtures::openSession(service_, "/dev/rdiskTEST");
    ASSERT_EQ(std::tuple(session.handle, session.blockSize, session.blockCount), std::tuple(1, 512, kImageBlocks));
    const fixtures::SharedBufferReads shared(service_, 1 << 20);
    const std::pair<std::uint64_t, std::int64_t> ranges[] = {{0, 1}, {0, 104}, {103, 1}, {40, 9}, {1'000'000, 0}};
    for (const auto& [offset, count] : ranges) {
        const Data expected = fixtures::slice(image_, std::min<std::uint64_t>(offset, 104) * 512,
                                              static_cast<std::size_t>(count) * 512);
        EXPECT_EQ(fixtures::readBlocks(service_, session.handle, offset, count).bytes, expected) << offset;
        for (const std::uint64_t at : {0u, 4096u, 1000u})
            EXPECT_EQ(shared.read(service_, session.handle, offset, count, at).bytes, expected) << offset << " " << at;
    }
}

TEST_F(ServiceTest, ReadFailuresArriveWithTheirCodeAndLeaveTheSessionOpen) {
    const auto session = fixtures::openSession(service_, "/dev/rdiskTEST");
    ASSERT_EQ(session.handle, 1);
    struct Case {
        std::uint64_t offset;
        std::int64_t count;
        Code code;
        const char* message;
    };
    const Case cases[] = {
        {100, 8, Code::outOfBounds, "Range [100, 108) exceeds 104 blocks."},
        {104, 1, Code::outOfBounds, "Range [104, 105) exceeds 104 blocks."},
        {0, -1, Code::general, "count must be >= 0."},
        {std::numeric_limits<std::uint64_t>::max(), 2, Code::outOfBounds,
         "Range [18446744073709551615, 18446744073709551617) exceeds 104 blocks."},
        {9223372036854775808u, 1, Code::outOfBounds, "Range [9223372036854775808, 9223372036854775809) exceeds 104 blocks."},
    };
    const fixtures::SharedBufferReads shared(service_, 1 << 20);
    for (const auto& c : cases) {
        for (const auto& read : {fixtures::readBlocks(service_, session.handle, c.offset, c.count),
                                 shared.read(service_, session.handle, c.offset, c.count)}) {
            EXPECT_FALSE(read.bytes);
            expectHelperError(read.error, c.code, c.message);
        }
    }
    EXPECT_TRUE(fixtures::readBlocks(service_, session.handle, 0, 1).bytes);
    // A device cut short after it was measured: both ways the read fails and nothing is
    // claimed read.
    std::filesystem::resize_file(dir_.file("disk.img"), 50 * 512);
    for (const auto& read : {fixtures::readBlocks(service_, session.handle, 40, 20),
                             shared.read(service_, session.handle, 40, 20)}) {
        expectHelperError(read.error, Code::general, "Short read: expected 10240 bytes but pread returned 5120.");
    }
}

// Only a memory file sealed against shrinking, of a bounded size, is taken, and only reads
// that fit it are made into it.
TEST_F(ServiceTest, SharedBuffersAreMemoryFilesThatCannotShrinkAndReadsMustFitThem) {
    const auto session = fixtures::openSession(service_, "/dev/rdiskTEST");
    auto memoryFile = [](std::size_t size, unsigned seals) {
        const int fd = ::memfd_create("b", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        EXPECT_EQ(seals ? ::fcntl(fd, F_ADD_SEALS, seals) : 0, 0);
        return Descriptor(fd);
    };
    const std::string notSealed = "The shared buffer must be a memory file sealed against shrinking.";
    std::pair<Descriptor, std::string> refused[] = {
        {Descriptor(::open(dir_.file("disk.img").c_str(), O_RDWR | O_CLOEXEC)), notSealed},
        {memoryFile(4096, 0), notSealed},
        {memoryFile(0, F_SEAL_SHRINK), "A shared buffer holds 1 to 16777216 bytes, not 0."},
        {memoryFile((16 << 20) + 1, F_SEAL_SHRINK), "A shared buffer holds 1 to 16777216 bytes, not 16777217."},
        {memoryFile(4096, F_SEAL_SHRINK | F_SEAL_WRITE),
         "The shared buffer cannot be mapped for writing: Operation not permitted"},
    };
    for (auto& [file, message] : refused) {
        expectHelperError(fixtures::SharedBufferReads::attach(service_, std::move(file)), Code::general, message);
    }
    expectHelperError(fixtures::SharedBufferReads(service_, 8192).read(service_, session.handle, 0, 1, 8192 - 511).error,
                      Code::general, "A read of 512 bytes at 7681 does not fit the shared buffer of 8192 bytes.");
    QuarlinHelperService fresh;
    ReplyProbe<std::int64_t, std::optional<ErrorObject>> probe;
    fresh.readBlocksIntoSharedBuffer(session.handle, 0, 1, 0, probe.reply());
    expectHelperError(std::get<1>(probe.finish()), Code::general, "No shared buffer is attached.");
}

TEST_F(ServiceTest, ClosingIsAlwaysAnsweredAndHarmless) {
    const auto kept = fixtures::openSession(service_, "/dev/rdiskTEST");
    const auto closed = fixtures::openSession(service_, "/dev/rdiskTEST");
    for (const std::int64_t handle : {closed.handle, closed.handle, std::int64_t{-1}, std::int64_t{99}}) {
        fixtures::closeSession(service_, handle);
    }
    EXPECT_TRUE(fixtures::readBlocks(service_, kept.handle, 0, 1).bytes);
    expectHelperError(fixtures::readBlocks(service_, closed.handle, 0, 1).error, Code::unknownSession,
                      "Unknown session handle 2.");
}

// Each connection has a view of the one session table: its sessions are bounded, and its
// end drops them and no one else's; dropping all ends every session.
TEST_F(ServiceTest, AConnectionsSessionsAreBoundedAndEndWithIt) {
    const auto connection = service_.forConnection(), other = service_.forConnection();
    const std::size_t before = fixtures::openDescriptorCount();
    std::vector<std::int64_t> handles;
    for (std::size_t i = 0; i < QuarlinHelperService::kMaxSessionsPerConnection; ++i) {
        handles.push_back(fixtures::openSession(*connection, "/dev/rdiskTEST").handle);
        ASSERT_GT(handles.back(), 0);
    }
    const auto refused = fixtures::openSession(*connection, "/dev/rdiskTEST");
    EXPECT_EQ(refused.handle, -1);
    expectHelperError(refused.error, Code::general, "Could not open /dev/rdiskTEST: this connection has 64 sessions open already.");
    const auto others = fixtures::openSession(*other, "/dev/rdiskTEST");
    EXPECT_GT(others.handle, 0);
    fixtures::closeSession(*connection, handles.back());
    handles.back() = fixtures::openSession(*connection, "/dev/rdiskEMPTY").handle;
    EXPECT_GT(handles.back(), others.handle);

    // A read larger than a connection may hold is refused before anything is allocated.
    const auto large = fixtures::openSession(*other, "/dev/rdiskLARGE");
    const std::int64_t tooMany = QuarlinHelperService::kMaxReadBytesPerConnection / 512 + 1;
    EXPECT_EQ(service_.replyBytesOfRead(large.handle, tooMany), 0u);
    EXPECT_EQ(service_.replyBytesOfRead(large.handle, 8), 4096u);
    expectHelperError(fixtures::readBlocks(*other, large.handle, 0, tooMany).error, Code::general,
                      "Reads of more than 268435456 bytes at once are refused; read in pieces.");
    fixtures::closeSession(*other, large.handle);

    connection->dropOwnSessions();
    EXPECT_EQ(fixtures::openDescriptorCount(), before + 1) << "dropped readers close their devices";
    expectHelperError(fixtures::readBlocks(service_, handles.front(), 0, 1).error, Code::unknownSession,
                      "Unknown session handle " + std::to_string(handles.front()) + ".");
    EXPECT_FALSE(fixtures::readBlocks(*connection, others.handle, 0, 1).error) << "any connection reads any handle";
    service_.dropAllSessions();
    expectHelperError(fixtures::readBlocks(*other, others.handle, 0, 1).error, Code::unknownSession,
                      "Unknown session handle " + std::to_string(others.handle) + ".");
    EXPECT_GT(fixtures::openSession(*connection, "/dev/rdiskTEST").handle, handles.back()) << "handles are not reused";
}

TEST_F(ServiceTest, RefusesOpensOnceTheLargestHandleIsTaken) {
    constexpr auto largest = std::numeric_limits<std::int64_t>::max();
    QuarlinHelperService service({}, {}, largest - 1);
    EXPECT_EQ(fixtures::openSession(service, "/dev/rdiskTEST").handle, largest - 1);
    EXPECT_EQ(fixtures::openSession(service, "/dev/rdiskTEST").handle, largest);
    const std::size_t before = fixtures::openDescriptorCount();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto refused = fixtures::openSession(service, "/dev/rdiskTEST");
        EXPECT_EQ(refused.handle, -1);
        EXPECT_EQ(refused.blockSize, 0);
        expectHelperError(refused.error, Code::general, "Could not open /dev/rdiskTEST: no session handles are left.");
    }
    EXPECT_EQ(fixtures::openDescriptorCount(), before) << "a refused open keeps no device open";
    // The sessions already open keep working.
    EXPECT_TRUE(fixtures::readBlocks(service, largest, 0, 1).bytes);
    EXPECT_TRUE(fixtures::readBlocks(service, largest - 1, 0, 1).bytes);
}

TEST(ServiceErrorMappingTest, MapsEveryIOErrorToItsCodeAndMessage) {
    struct Case {
        IOError error;
        Code code;
        const char* message;
    };
    const Case cases[] = {
        {IOError::outOfBounds(100, 8, 104), Code::outOfBounds, "Range [100, 108) exceeds 104 blocks."},
        {IOError::outOfBounds(5, -7, 0), Code::outOfBounds, "Range [5, -2) exceeds 0 blocks."},
        {IOError::posixError(1, "not permitted"), Code::permissionDenied, "not permitted"},
        {IOError::posixError(13, "denied"), Code::permissionDenied, "denied"},
        {IOError::posixError(2, "no file"), Code::deviceNotFound, "no file"},
        {IOError::posixError(6, "no device"), Code::deviceNotFound, "no device"},
        {IOError::posixError(5, "pread failed at block 7: Input/output error"), Code::readFailed,
         "pread failed at block 7: Input/output error"},
        {IOError::posixError(21, "is a directory"), Code::readFailed, "is a directory"},
        {IOError::posixError(24, "open failed"), Code::general, "The helper has no file descriptor left: open failed"},
        {IOError::posixError(0, ""), Code::readFailed, ""},
        {IOError::deviceNotFound("/dev/rdisk9"), Code::deviceNotFound, "Device not found: /dev/rdisk9"},
        {IOError::writeAccessDetected("/dev/rdisk2"), Code::writeAccessDetected,
         "Read-only invariant violated for /dev/rdisk2."},
        {IOError::general("Short read: expected 512 bytes but pread returned 0."), Code::general,
         "Short read: expected 512 bytes but pread returned 0."},
    };
    for (const auto& c : cases) {
        expectHelperError(QuarlinHelperService::errorFor(c.error), c.code, c.message);
    }
}

TEST(ServiceErrorMappingTest, CodesComeOnlyFromTheirSevenRawValues) {
    for (std::int64_t raw : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1}, std::int64_t{0}, std::int64_t{7},
                             std::int64_t{98}, std::int64_t{100}, std::numeric_limits<std::int64_t>::max()}) {
        EXPECT_EQ(QuarlinHelperError::codeFromRawValue(raw), std::nullopt) << raw;
    }
    const std::pair<std::int64_t, Code> known[] = {
        {1, Code::permissionDenied}, {2, Code::deviceNotFound}, {3, Code::writeAccessDetected},
        {4, Code::unknownSession},   {5, Code::readFailed},     {6, Code::outOfBounds},
        {99, Code::general},
    };
    for (const auto& [raw, code] : known) {
        EXPECT_EQ(QuarlinHelperError::codeFromRawValue(raw), code) << raw;
        expectHelperError(QuarlinHelperError::make(code, "m"), code, "m");
    }
}

TEST(ServiceEnumerationTest, RepliesWithTheListOrAGeneralFailure) {
    const Data list{std::byte{'['}, std::byte{']'}};
    QuarlinHelperService listing({}, [list]() -> runtime::Task<Data> { co_return list; });
    QuarlinHelperService failing({}, []() -> runtime::Task<Data> {
        throw std::runtime_error("registry unavailable");
        co_return Data{};
    });
    QuarlinHelperService without;

    struct Case {
        QuarlinHelperService* service;
        std::optional<Data> json;
        const char* message;
    };
    const Case cases[] = {
        {&listing, list, nullptr},
        {&failing, std::nullopt, "Enumeration failed: registry unavailable"},
        {&without, std::nullopt, "Enumeration failed: disk enumeration is not available"},
    };
    for (const auto& c : cases) {
        ReplyProbe<std::optional<Data>, std::optional<ErrorObject>> probe;
        c.service->enumerateDisks(probe.reply());
        const auto [json, error] = probe.finish();
        EXPECT_EQ(json, c.json);
        if (c.message) {
            expectHelperError(error, Code::general, c.message);
        } else {
            EXPECT_FALSE(error);
        }
    }
}

}  // namespace
}  // namespace quarlin
