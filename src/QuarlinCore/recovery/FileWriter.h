// Writes found files on a thread of its own while the scan goes on, straight from the buffers
// the scan read them into: a queued file keeps its buffer alive, and the bytes of the buffers
// kept are bounded. Each file is written under a temporary name and
// renamed once whole, so a file under its final name is always complete. The first failure
// stops all writing; the files queued after it are dropped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>

#include "QuarlinCore/io/Data.h"

namespace quarlin::recovery {

class FileWriter {
public:
    struct Failure {
        std::size_t sequence;  // of the file that failed, as given to write()
        std::string message;
    };

    // write() waits while the buffers of files not yet written hold maxKeptBytes.
    FileWriter(std::filesystem::path directory, std::size_t maxKeptBytes);
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Queues the file `bytes`, which lie inside `buffer`; the buffer must not change until the
    // file is written. A buffer counts once however many files it holds.
    void write(std::size_t sequence, std::string name, std::shared_ptr<const Data> buffer,
               std::span<const std::byte> bytes);
    // Returns once every queued file is written or dropped.
    void drain();
    std::optional<Failure> failure();

private:
    struct Job {
        std::size_t sequence;
        std::string name;
        std::shared_ptr<const Data> buffer;
        std::span<const std::byte> bytes;
    };
    void run();
    std::optional<std::string> writeOne(const Job& job) const;
    void release(const Data* buffer);  // one file of `buffer` is written or dropped

    const std::filesystem::path directory_;
    const std::size_t maxKeptBytes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    std::unordered_map<const Data*, std::size_t> filesPerBuffer_;  // of files queued or being written
    std::size_t keptBytes_ = 0;                                    // of the buffers counted there
    bool busy_ = false;
    bool stopping_ = false;
    std::optional<Failure> failure_;
    std::thread thread_;
};

// Writes `bytes` to `fd` whole, going on after short writes and interruptions.
bool writeAllTo(int fd, const std::byte* bytes, std::size_t size);

}  // namespace quarlin::recovery
