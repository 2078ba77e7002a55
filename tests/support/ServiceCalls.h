// The service's operations as blocking calls for tests, each checking that its reply block
// is called exactly once.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "../support/ReplyProbe.h"
#include "QuarlinHelper/QuarlinHelperService.h"

namespace quarlin::fixtures {

struct OpenResult {
    std::int64_t handle;
    std::int64_t blockSize;
    std::uint64_t blockCount;
    std::optional<ErrorObject> error;
};

struct ReadResult {
    std::optional<Data> bytes;
    std::optional<ErrorObject> error;
};

inline OpenResult openSession(QuarlinHelperService& service, const std::string& path) {
    ReplyProbe<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>> probe;
    service.openSession(path, probe.reply());
    auto [handle, blockSize, blockCount, error] = probe.finish();
    return {handle, blockSize, blockCount, std::move(error)};
}

inline ReadResult readBlocks(QuarlinHelperService& service, std::int64_t session, std::uint64_t offset,
                             std::int64_t count) {
    ReplyProbe<std::optional<Data>, std::optional<ErrorObject>> probe;
    service.readBlocks(session, offset, count, probe.reply());
    auto [bytes, error] = probe.finish();
    EXPECT_NE(bytes.has_value(), error.has_value()) << "a read replies with bytes or an error";
    return {std::move(bytes), std::move(error)};
}

// A memory file lent to a service for reads into it, as the client lends one. `read` makes a
// read through it and answers as readBlocks does, the bytes copied out of the buffer.
class SharedBufferReads {
public:
    SharedBufferReads(QuarlinHelperService& service, std::size_t size) : size_(size) {
        fd_ = ::memfd_create("shared-reads", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        EXPECT_EQ(::ftruncate(fd_, static_cast<off_t>(size)), 0);
        EXPECT_EQ(::fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK), 0);
        base_ = static_cast<std::byte*>(::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd_, 0));
        EXPECT_EQ(attach(service, Descriptor(::dup(fd_))), std::nullopt);
    }
    ~SharedBufferReads() {
        ::munmap(base_, size_);
        ::close(fd_);
    }
    static std::optional<ErrorObject> attach(QuarlinHelperService& service, Descriptor file) {
        ReplyProbe<std::optional<ErrorObject>> probe;
        service.attachSharedBuffer(std::move(file), probe.reply());
        return std::get<0>(probe.finish());
    }
    ReadResult read(QuarlinHelperService& service, std::int64_t session, std::uint64_t offset, std::int64_t count,
                    std::uint64_t at = 0) const {
        ReplyProbe<std::int64_t, std::optional<ErrorObject>> probe;
        service.readBlocksIntoSharedBuffer(session, offset, count, at, probe.reply());
        auto [bytes, error] = probe.finish();
        EXPECT_EQ(bytes < 0, error.has_value()) << "a read replies with its length or an error";
        if (error) return {std::nullopt, std::move(error)};
        return {Data(base_ + at, base_ + at + bytes), std::nullopt};
    }

private:
    int fd_ = -1;
    std::byte* base_ = nullptr;
    std::size_t size_ = 0;
};

inline void closeSession(QuarlinHelperService& service, std::int64_t session) {
    ReplyProbe<> probe;
    service.closeSession(session, probe.reply());
    probe.finish();
}

// An error object of the helper's domain with exactly the one description entry.
inline void expectHelperError(const std::optional<ErrorObject>& error, QuarlinHelperError::Code code,
                              const std::string& message) {
    ASSERT_TRUE(error.has_value()) << "expected error " << message;
    EXPECT_EQ(error->domain, "dev.vembrow.quarlin.helper.error");
    EXPECT_EQ(error->code, static_cast<std::int64_t>(code)) << message;
    EXPECT_EQ(error->userInfo, (std::map<std::string, std::string>{{"NSLocalizedDescription", message}}));
}

}  // namespace quarlin::fixtures
