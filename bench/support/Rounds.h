// Timing several ways of doing the same work in one run: rounds in rotating order, and the
// median and best time of each, printed as throughput and as a ratio to the first way.
#pragma once

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace quarlin::bench {

// Keeps the process, and every thread it starts from now on, on the processor it runs on.
// Call first in main, before any thread exists. On a virtual machine the processors can run
// at different speeds from one moment to the next; with every method on one processor a
// ratio no longer depends on where the scheduler put each method's thread.
inline void stayOnThisProcessor() {
    const int processor = ::sched_getcpu();
    if (processor < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(processor, &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
    std::printf("all threads on processor %d\n", processor);
}

inline double median(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

inline double best(const std::vector<double>& seconds) { return *std::min_element(seconds.begin(), seconds.end()); }

struct Method {
    std::string name;
    // Reads chunks [first, first + count) of the image; returns the seconds it took.
    std::function<double(std::int64_t first, std::int64_t count)> run;
    std::vector<double> seconds;  // one total per round
};

// Each round reads the whole image of `chunks` chunks once with every method, in `slices`
// slices: each slice is read by every method in turn, starting with a different method each
// time, so that all methods meet the same moments of a noisy machine and none always runs
// right after the same other one. A method's time for the round is the sum over its slices.
inline void runRounds(std::vector<Method>& methods, int rounds, std::int64_t chunks, int slices = 8) {
    const auto count = methods.size();
    std::size_t turn = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<double> total(count, 0.0);
        for (int slice = 0; slice < slices; ++slice) {
            const std::int64_t first = chunks * slice / slices, last = chunks * (slice + 1) / slices;
            for (std::size_t m = 0; m < count; ++m) {
                const std::size_t which = (turn + m) % count;
                total[which] += methods[which].run(first, last - first);
            }
            ++turn;
        }
        for (std::size_t m = 0; m < count; ++m) methods[m].seconds.push_back(total[m]);
    }
}

// The median says what a run typically gets; the best run, what each way costs when
// nothing else on the machine gets in the way. Ratios are against methods[0].
inline void printRatios(const std::vector<Method>& methods, double gib) {
    const Method& reference = methods.front();
    std::printf("  %-26s %7.2f GiB/s median               %7.2f GiB/s best\n", reference.name.c_str(),
                gib / median(reference.seconds), gib / best(reference.seconds));
    for (std::size_t i = 1; i < methods.size(); ++i) {
        const auto& t = methods[i].seconds;
        std::printf("  %-26s %7.2f GiB/s median  ratio %.3f  %7.2f GiB/s best  ratio %.3f\n", methods[i].name.c_str(),
                    gib / median(t), median(reference.seconds) / median(t), gib / best(t),
                    best(reference.seconds) / best(t));
    }
}

}  // namespace quarlin::bench
