// The service's operations as blocking calls for tests, each checking that its reply block
// is called exactly once.
#pragma once

#include <gtest/gtest.h>

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
