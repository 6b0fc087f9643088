// Construct, move and call of cpp::moveonly_function against std::move_only_function and std::function,
// for a callable that fits every inline buffer and for one that none of them keeps inline.
#include <array>
#include <functional>

#include "../bench-timing.h"
#include "am-functional.h"

namespace {

int base_value = 3;

// Two words, a pointer and an int, like the captures of a posted task.
auto small_callable(int k) {
    return [p = &base_value, k](int x) { return x + *p + k; };
}

// 128 bytes of captures, beyond the 92-byte area: every wrapper puts it on the heap.
auto large_callable(int k) {
    std::array<int, 32> table{};
    table[k & 31] = k;
    return [table](int x) { return x + table[x & 31]; };
}

// Each operation builds a wrapper from a fresh callable and destroys it.
template <class Function> struct construct {
    template <class Make> static void run(unsigned operations, Make make) {
        for (unsigned i = 0; i != operations; ++i) {
            Function f(make(static_cast<int>(i)));
            bench::escape(&f);
        }
    }
};

// Each operation moves the callable out and back: one move construction and one move assignment.
template <class Function> struct move {
    template <class Make> static void run(unsigned operations, Make make) {
        Function a(make(1));
        for (unsigned i = 0; i != operations; ++i) {
            Function b(std::move(a));
            bench::escape(&b);
            a = std::move(b);
            bench::escape(&a);
        }
    }
};

// f escapes before the loop, so every call reloads whatever the wrapper keeps.
template <class Function> struct call {
    template <class Make> static void run(unsigned operations, Make make) {
        Function f(make(1));
        bench::escape(&f);
        int sum = 0;
        for (unsigned i = 0; i != operations; ++i)
            sum += f(static_cast<int>(i));
        bench::escape(&sum);
    }
};

using ours = cpp::moveonly_function<int(int)>;

template <template <class> class Operation, class Make>
void compare_all(const char* name, Make make, unsigned operations) {
    const auto with = [make]<class Function>(std::type_identity<Function>) {
        return [make](unsigned count) { Operation<Function>::run(count, make); };
    };
    const auto mine = with(std::type_identity<ours>{});
    bench::print(
        name, "std::move_only_function",
        bench::compare(mine, with(std::type_identity<std::move_only_function<int(int)>>{}), operations));
    bench::print(name, "std::function",
                 bench::compare(mine, with(std::type_identity<std::function<int(int)>>{}), operations));
}

} // namespace

int main() {
    compare_all<construct>("small construct", &small_callable, 200000);
    compare_all<move>("small move", &small_callable, 200000);
    compare_all<call>("small call", &small_callable, 2000000);
    compare_all<construct>("large construct", &large_callable, 100000);
    compare_all<move>("large move", &large_callable, 200000);
    compare_all<call>("large call", &large_callable, 2000000);
}
