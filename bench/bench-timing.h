// Shared by the benchmark programs: median timing of ours against a reference, measured alternately in
// the same run, printed as one line that ends in ratio=<ours/reference>.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

// Makes the compiler assume the object is read and changed here, so the work on it is neither removed nor
// hoisted, and calls through it stay indirect.
template <class T> inline void escape(T* object) {
    asm volatile("" : : "g"(object) : "memory");
}

struct result {
    double ours_ns;
    double reference_ns;
};

// Runs each body over `operations` operations `repeats` times, alternating so that drift in the machine's
// speed hits both alike, and returns the median time per operation of each.
template <class Ours, class Reference>
result compare(Ours&& ours, Reference&& reference, unsigned operations, unsigned repeats = 15) {
    using clock = std::chrono::steady_clock;
    std::vector<double> ours_samples;
    std::vector<double> reference_samples;
    const auto measure = [operations](auto& body, std::vector<double>& samples) {
        const auto start = clock::now();
        body(operations);
        const std::chrono::duration<double, std::nano> elapsed = clock::now() - start;
        samples.push_back(elapsed.count() / operations);
    };
    // One untimed round of each warms caches and the heap.
    ours(operations);
    reference(operations);
    for (unsigned round = 0; round != repeats; ++round) {
        measure(ours, ours_samples);
        measure(reference, reference_samples);
    }
    const auto median = [](std::vector<double>& samples) {
        std::sort(samples.begin(), samples.end());
        return samples[samples.size() / 2];
    };
    return {median(ours_samples), median(reference_samples)};
}

inline void print(const char* name, const char* reference_name, const result& figures) {
    std::printf("%-28s vs %-24s ours=%8.2fns reference=%8.2fns ratio=%.3f\n", name, reference_name,
                figures.ours_ns, figures.reference_ns, figures.ours_ns / figures.reference_ns);
    std::fflush(stdout);
}

} // namespace bench
