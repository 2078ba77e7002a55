#include "QuarlinCore/recovery/FileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quarlin::recovery {

bool writeAllTo(int fd, const std::byte* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

FileWriter::FileWriter(std::filesystem::path directory, std::size_t maxKeptBytes)
    : directory_(std::move(directory)), maxKeptBytes_(maxKeptBytes), thread_([this] { run(); }) {}

FileWriter::~FileWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FileWriter::write(std::size_t sequence, std::string name, std::shared_ptr<const Data> buffer,
                       std::span<const std::byte> bytes) {
    std::unique_lock lock(mutex_);
    // A buffer that is counted already adds nothing; one larger than the bound still goes, alone.
    std::size_t added = 0;
    changed_.wait(lock, [&] {
        added = filesPerBuffer_.contains(buffer.get()) ? 0 : buffer->size();
        return added == 0 || filesPerBuffer_.empty() || keptBytes_ + added <= maxKeptBytes_;
    });
    if (failure_) return;
    keptBytes_ += added;
    ++filesPerBuffer_[buffer.get()];
    queue_.push_back(Job{sequence, std::move(name), std::move(buffer), bytes});
    changed_.notify_all();
}

void FileWriter::release(const Data* buffer) {
    auto it = filesPerBuffer_.find(buffer);
    if (--it->second == 0) {
        keptBytes_ -= buffer->size();
        filesPerBuffer_.erase(it);
    }
}

void FileWriter::drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
}

std::optional<FileWriter::Failure> FileWriter::failure() {
    std::lock_guard lock(mutex_);
    return failure_;
}

void FileWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        const auto error = writeOne(job);
        lock.lock();
        busy_ = false;
        release(job.buffer.get());
        if (error && !failure_) {
            failure_ = Failure{job.sequence, *error};
            for (const auto& dropped : queue_) release(dropped.buffer.get());
            queue_.clear();
        }
        changed_.notify_all();
    }
}

std::optional<std::string> FileWriter::writeOne(const Job& job) const {
    const auto path = directory_ / job.name;
    const auto partial = directory_ / (job.name + ".part");
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot create " + partial.string() + ": " + std::strerror(errno);
    std::optional<std::string> error;
    if (!writeAllTo(fd, job.bytes.data(), job.bytes.size()))
        error = "cannot write " + partial.string() + ": " + std::strerror(errno);
    if (::close(fd) != 0 && !error) error = "cannot write " + partial.string() + ": " + std::strerror(errno);
    if (!error && std::rename(partial.c_str(), path.c_str()) != 0)
        error = "cannot rename " + partial.string() + ": " + std::strerror(errno);
    if (error) ::unlink(partial.c_str());
    return error;
}

}  // namespace quarlin::recovery
