// Waits for something another process or thread brings about. The limit is generous: a
// loaded machine (two test programs, sanitizers) can take seconds for what takes
// milliseconds here, and a wait that gives up early fails a test that did nothing wrong.
#pragma once

#include <chrono>
#include <thread>

namespace quarlin::testsupport {

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30),
                std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace quarlin::testsupport
