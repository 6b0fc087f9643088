// Pushing a million ints one by one: cpp::resizable_array (inline storage, growth by calc_reserve through
// the aligned heap) against std::vector, and against a std::vector made to grow by the same rule, which
// separates the cost of the growth factor (1.7 instead of 2: more blocks, more copying) from the rest.
#include <vector>

#include "../bench-timing.h"
#include "am-resizable-array.h"

namespace {

constexpr unsigned count = 1000000;
constexpr std::uint32_t inline_capacity = 16;

void push_ours(unsigned rounds) {
    for (unsigned round = 0; round != rounds; ++round) {
        cpp::resizable_array<int, inline_capacity> values;
        for (unsigned i = 0; i != count; ++i)
            values.push_back(static_cast<int>(i));
        bench::escape(&values);
    }
}

void push_vector(unsigned rounds) {
    for (unsigned round = 0; round != rounds; ++round) {
        std::vector<int> values;
        for (unsigned i = 0; i != count; ++i)
            values.push_back(static_cast<int>(i));
        bench::escape(&values);
    }
}

void push_vector_same_growth(unsigned rounds) {
    for (unsigned round = 0; round != rounds; ++round) {
        std::vector<int> values;
        values.reserve(inline_capacity);
        for (unsigned i = 0; i != count; ++i) {
            if (values.size() == values.capacity())
                values.reserve(
                    cpp::calc_reserve(static_cast<std::uint32_t>(values.size()) + 1, inline_capacity));
            values.push_back(static_cast<int>(i));
        }
        bench::escape(&values);
    }
}

void print_per_push(const char* reference, bench::result figures) {
    figures.ours_ns /= count;
    figures.reference_ns /= count;
    bench::print("resizable_array push 1e6 int", reference, figures);
}

} // namespace

int main() {
    // Each sample is a round of a million pushes; figures are per push.
    print_per_push("std::vector", bench::compare(push_ours, push_vector, 1, 31));
    print_per_push("std::vector grown by 1.7", bench::compare(push_ours, push_vector_same_growth, 1, 31));
}
