// Writes found files on a thread of its own while the scan goes on, from copies of their
// bytes held in a queue of bounded size. Each file is written under a temporary name and
// renamed once whole, so a file under its final name is always complete. The first failure
// stops all writing; the files queued after it are dropped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "QuarlinCore/io/Data.h"

namespace quarlin::recovery {

class FileWriter {
public:
    struct Failure {
        std::size_t sequence;  // of the file that failed, as given to write()
        std::string message;
    };

    FileWriter(std::filesystem::path directory, std::size_t maxQueuedBytes);
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Queues a file; waits while the queue holds maxQueuedBytes already.
    void write(std::size_t sequence, std::string name, Data bytes);
    // Returns once every queued file is written or dropped.
    void drain();
    std::optional<Failure> failure();

private:
    struct Job {
        std::size_t sequence;
        std::string name;
        Data bytes;
    };
    void run();
    std::optional<std::string> writeOne(const Job& job) const;

    const std::filesystem::path directory_;
    const std::size_t maxQueuedBytes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    std::size_t queuedBytes_ = 0;
    bool busy_ = false;
    bool stopping_ = false;
    std::optional<Failure> failure_;
    std::thread thread_;
};

// Writes `bytes` to `fd` whole, going on after short writes and interruptions.
bool writeAllTo(int fd, const std::byte* bytes, std::size_t size);

}  // namespace quarlin::recovery
