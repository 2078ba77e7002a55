#include "platform/xpcclient/HelperSessionBlockReader.h"

#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "QuarlinCore/io/IOError.h"

namespace quarlin {
namespace {

// The piece size that keeps the helper's reads and replies flowing (see `quarlin image`).
constexpr std::int64_t kPieceBytes = 2 << 20;

}  // namespace

// The lent slots: a piece of a read takes a free one, or waits in line for one.
struct HelperSessionBlockReader::SlotPool {
    explicit SlotPool(std::unique_ptr<SharedSlots> lent) : slots(std::move(lent)) {
        for (std::size_t i = slots->slotCount(); i > 0; --i) free.push_back(i - 1);
    }
    // Runs `use` with a free slot, now or once one is given back.
    void withSlot(std::function<void(std::size_t)> use) {
        std::unique_lock lock(mutex);
        if (free.empty()) {
            waiting.push_back(std::move(use));
            return;
        }
        const std::size_t slot = free.back();
        free.pop_back();
        lock.unlock();
        use(slot);
    }
    void giveBack(std::size_t slot) {
        std::unique_lock lock(mutex);
        if (waiting.empty()) {
            free.push_back(slot);
            return;
        }
        auto next = std::move(waiting.front());
        waiting.pop_front();
        lock.unlock();
        next(slot);
    }

    const std::unique_ptr<SharedSlots> slots;
    std::mutex mutex;
    std::vector<std::size_t> free;
    // At most the pieces of the reads in flight.
    std::deque<std::function<void(std::size_t)>> waiting;
};

HelperSessionBlockReader::Shared::Shared(std::shared_ptr<QuarlinHelperClient> client, std::vector<std::int64_t> sessions,
                                         std::int64_t blockSize, std::uint64_t blockCount,
                                         std::unique_ptr<SharedSlots> slots)
    : client_(std::move(client)),
      sessions_(std::move(sessions)),
      blockSize_(blockSize),
      blockCount_(blockCount),
      pool_(slots && slots->slotCount() > 0 && blockSize > 0 && slots->slotBytes() >= static_cast<std::uint64_t>(blockSize)
                ? std::make_shared<SlotPool>(std::move(slots))
                : nullptr) {}

HelperSessionBlockReader::HelperSessionBlockReader(std::shared_ptr<QuarlinHelperClient> client,
                                                   std::vector<std::int64_t> sessions, std::int64_t blockSize,
                                                   std::uint64_t blockCount, DeviceIdentity identity,
                                                   std::unique_ptr<SharedSlots> slots)
    : shared_(std::make_shared<Shared>(std::move(client), std::move(sessions), blockSize, blockCount, std::move(slots))),
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

    // The pieces fill one buffer; the last of them wakes the reading task.
    struct Gather {
        std::mutex mutex;
        Data bytes;
        std::int64_t pending = 0;
        std::optional<std::string> error;
    };
    using Done = runtime::CheckedContinuation<std::optional<std::string>>;
    auto gather = std::make_shared<Gather>();
    gather->bytes.resize(static_cast<std::size_t>(count * blockSize));
    const auto pool = shared->pool_;
    const std::int64_t pieceBytes =
        pool ? std::min<std::int64_t>(kPieceBytes, static_cast<std::int64_t>(pool->slots->slotBytes())) : kPieceBytes;
    const std::int64_t pieceBlocks = std::max<std::int64_t>(1, pieceBytes / blockSize);
    gather->pending = (count + pieceBlocks - 1) / pieceBlocks;

    std::function<void(Done)> body = [shared, pool, gather, at, count, pieceBlocks, blockSize](Done done) {
        for (std::int64_t first = 0; first < count; first += pieceBlocks) {
            const std::int64_t blocks = std::min(pieceBlocks, count - first);
            const auto session = shared->sessions_[shared->nextSession_.fetch_add(1) % shared->sessions_.size()];
            const auto offset = static_cast<std::size_t>(first * blockSize);
            const auto expected = static_cast<std::size_t>(blocks * blockSize);
            const std::uint64_t from = at + static_cast<std::uint64_t>(first);
            // Called once a piece, with what went wrong or nothing once its bytes are in place.
            auto finish = [gather, done](std::optional<std::string> error) {
                std::lock_guard lock(gather->mutex);
                if (error && !gather->error) gather->error = std::move(error);
                if (--gather->pending == 0) done.resume(gather->error);
            };
            auto failureOf = [expected](const auto& reply, std::size_t length) -> std::optional<std::string> {
                if (!reply) return "the helper's connection failed: " + reply.error();
                if (reply->error)
                    return "error " + std::to_string(reply->error->code) + ": " + reply->error->localizedDescription();
                if (length != expected) return "the helper returned a short read";
                return std::nullopt;
            };
            if (!pool) {
                shared->client_->readBlocks(session, from, blocks,
                                            [gather, finish, failureOf, offset](QuarlinHelperClient::Result<DataReply> reply) {
                                                const std::size_t length = reply && reply->data ? reply->data->size() : 0;
                                                auto error = failureOf(reply, length);
                                                if (!error) std::memcpy(gather->bytes.data() + offset, reply->data->data(), length);
                                                finish(std::move(error));
                                            });
                continue;
            }
            const auto client = shared->client_;
            pool->withSlot([client, pool, gather, finish, failureOf, session, from, blocks, offset](std::size_t slot) {
                client->readBlocksIntoSharedBuffer(
                    session, from, blocks, pool->slots->offsetOf(slot),
                    [pool, gather, finish, failureOf, slot, offset](QuarlinHelperClient::Result<SharedReadReply> reply) {
                        const auto length = reply && !reply->error ? static_cast<std::size_t>(std::max<std::int64_t>(reply->bytes, 0)) : 0;
                        auto error = failureOf(reply, length);
                        if (!error) std::memcpy(gather->bytes.data() + offset, pool->slots->bytes(slot, length).data(), length);
                        pool->giveBack(slot);
                        finish(std::move(error));
                    });
            });
        }
    };
    auto error = co_await runtime::withCheckedContinuation<std::optional<std::string>>("helper session read",
                                                                                         std::move(body));
    if (error) throw IOError::general(*error);
    co_return std::move(gather->bytes);
}

}  // namespace quarlin
