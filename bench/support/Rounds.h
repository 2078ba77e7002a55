// Timing several ways of doing the same work in one run: rounds in rotating order, and the
// median and best time of each, printed as throughput and as a ratio to the first way.
#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace quarlin::bench {

inline double median(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

inline double best(const std::vector<double>& seconds) { return *std::min_element(seconds.begin(), seconds.end()); }

struct Method {
    std::string name;
    std::function<double()> run;  // one pass, in seconds
    std::vector<double> seconds;
};

// Each round starts with the next method, so that no method always runs right after the
// same other one.
inline void runRounds(std::vector<Method>& methods, int rounds) {
    const auto count = methods.size();
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t m = 0; m < count; ++m) {
            Method& method = methods[(static_cast<std::size_t>(round) + m) % count];
            method.seconds.push_back(method.run());
        }
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
