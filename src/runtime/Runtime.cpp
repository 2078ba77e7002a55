#include "runtime/Runtime.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace quarlin::runtime {

std::size_t sharedPoolThreadCount() {
    // Tasks block in reads of devices: twice the cores keeps the pool answering (sending
    // replies, taking calls) while reads wait for their device.
    static const std::size_t count = std::max(4u, 2 * std::thread::hardware_concurrency());
    return count;
}

asio::thread_pool& sharedPool() {
    // Never destroyed: tasks may still run while static objects are torn down at exit.
    static auto* pool = new asio::thread_pool(sharedPoolThreadCount());
    return *pool;
}

void reportUnhandled(const char* what) {
    std::fprintf(stderr, "quarlin runtime: a detached task ended with an error: %s\n", what);
}

Actor::Actor()
    : strand_(asio::make_strand(asio::prefer(sharedPool().get_executor(), asio::execution::relationship.continuation))) {}

namespace detail {

void reportSecondResume(const std::string& label) {
    std::fprintf(stderr, "quarlin runtime: continuation of %s resumed more than once; ignored\n",
                 label.c_str());
}

void reportLeakedContinuation(const std::string& label) {
    std::fprintf(stderr, "quarlin runtime: continuation of %s was never resumed\n", label.c_str());
}

}  // namespace detail
}  // namespace quarlin::runtime
