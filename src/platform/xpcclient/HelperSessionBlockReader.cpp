#include "platform/xpcclient/HelperSessionBlockReader.h"

#include <cstring>
#include <mutex>
#include <optional>

#include "QuarlinCore/io/IOError.h"

namespace quarlin {
namespace {

// The piece size that keeps the helper's reads and replies flowing (see `quarlin image`).
constexpr std::int64_t kPieceBytes = 2 << 20;

}  // namespace

HelperSessionBlockReader::HelperSessionBlockReader(std::shared_ptr<QuarlinHelperClient> client,
                                                   std::vector<std::int64_t> sessions, std::int64_t blockSize,
                                                   std::uint64_t blockCount, DeviceIdentity identity)
    : shared_(std::make_shared<Shared>(std::move(client), std::move(sessions), blockSize, blockCount)),
      identity_(std::move(identity)) {}

HelperSessionBlockReader::Shared::~Shared() {
    for (const std::int64_t session : sessions_) (void)client_->closeSession(session);
}

runtime::Task<Data> HelperSessionBlockReader::readBlocks(std::uint64_t at, std::int64_t count) {
    return read(shared_, at, count);
}

// Static, with the shared state as a parameter: the task keeps the sessions open even when
// it is awaited after the reader has gone.
runtime::Task<Data> HelperSessionBlockReader::read(std::shared_ptr<Shared> shared, std::uint64_t at,
                                                   std::int64_t count) {
    const std::int64_t blockSize = shared->blockSize_;
    const std::uint64_t blockCount = shared->blockCount_;
    if (count < 0 || at > blockCount || static_cast<std::uint64_t>(count) > blockCount - at)
        throw IOError::outOfBounds(at, count, blockCount);
    if (count == 0 || shared->sessions_.empty()) co_return Data{};

    // The replies fill one buffer; the last of them wakes the reading task.
    struct Gather {
        std::mutex mutex;
        Data bytes;
        std::int64_t pending = 0;
        std::optional<std::string> error;
    };
    auto gather = std::make_shared<Gather>();
    gather->bytes.resize(static_cast<std::size_t>(count * blockSize));
    const std::int64_t pieceBlocks = std::max<std::int64_t>(1, kPieceBytes / blockSize);
    gather->pending = (count + pieceBlocks - 1) / pieceBlocks;

    std::function<void(runtime::CheckedContinuation<std::optional<std::string>>)> body =
        [shared, gather, at, count, pieceBlocks, blockSize](runtime::CheckedContinuation<std::optional<std::string>> done) {
            for (std::int64_t first = 0; first < count; first += pieceBlocks) {
                const std::int64_t blocks = std::min(pieceBlocks, count - first);
                const auto session = shared->sessions_[shared->nextSession_.fetch_add(1) % shared->sessions_.size()];
                const auto offset = static_cast<std::size_t>(first * blockSize);
                const auto expected = static_cast<std::size_t>(blocks * blockSize);
                shared->client_->readBlocks(session, at + static_cast<std::uint64_t>(first), blocks,
                                    [gather, done, offset, expected](QuarlinHelperClient::Result<DataReply> reply) {
                                        std::lock_guard lock(gather->mutex);
                                        if (!reply) {
                                            gather->error = "the helper's connection failed: " + reply.error();
                                        } else if (reply->error) {
                                            gather->error = "error " + std::to_string(reply->error->code) + ": " +
                                                            reply->error->localizedDescription();
                                        } else if (!reply->data || reply->data->size() != expected) {
                                            gather->error = "the helper returned a short read";
                                        } else if (!gather->error) {
                                            std::memcpy(gather->bytes.data() + offset, reply->data->data(), expected);
                                        }
                                        if (--gather->pending == 0) done.resume(gather->error);
                                    });
            }
        };
    auto error = co_await runtime::withCheckedContinuation<std::optional<std::string>>("helper session read",
                                                                                         std::move(body));
    if (error) throw IOError::general(*error);
    co_return std::move(gather->bytes);
}

}  // namespace quarlin
