// Foundation: fixed-length strings for failure messages, the throwing helpers every module calls,
// and the allocation core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>

#include "am-build-paths.h"

// Where a failure message says the failing code lies. Library sources carry the relative path of the
// library folder, library headers the absolute path they were built from, plug-in sources their bare
// name. The *_PLAIN forms are the unquoted single-backslash spellings of the allocation-check message.
#define AM_LIBRARY_SOURCE(file) "\"..\\\\..\\\\..\\\\common\\\\cpp\\\\" file "\""
#define AM_LIBRARY_SOURCE_PLAIN(file) "..\\..\\..\\common\\cpp\\" file
#define AM_LIBRARY_HEADER(file) "\"" AM_LIBRARY_DIR_QUOTED file "\""
#define AM_LIBRARY_HEADER_PLAIN(file) AM_LIBRARY_DIR_PLAIN file
#define AM_PLUGIN_SOURCE(file) "\"" file "\""

namespace cpp {

// Exactly N characters and a terminating zero, nothing else: a failure message is put together from
// these on the stack, so describing a failure never needs the heap, even when the heap is exhausted.
template <class Ch, std::size_t N> struct basic_static_string {
    Ch chars[N + 1];

    // Characters to be filled in by the caller (hexadecimal digits computed at run time).
    constexpr basic_static_string() noexcept : chars{} {}

    // Copies exactly N characters of the literal, whatever they are; the literal's own zero is not read.
    constexpr basic_static_string(const Ch (&literal)[N + 1]) noexcept {
        for (std::size_t i = 0; i != N; ++i)
            chars[i] = literal[i];
        chars[N] = Ch{};
    }

    template <std::size_t A, std::size_t B>
        requires(A + B == N)
    constexpr basic_static_string(basic_static_string<Ch, A> first, basic_static_string<Ch, B> second) noexcept {
        for (std::size_t i = 0; i != A; ++i)
            chars[i] = first.chars[i];
        for (std::size_t i = 0; i != B; ++i)
            chars[A + i] = second.chars[i];
        chars[N] = Ch{};
    }

    static constexpr std::size_t size() noexcept { return N; }
    constexpr const Ch* c_str() const noexcept { return chars; }
    constexpr Ch& operator[](std::size_t index) noexcept { return chars[index]; }
    constexpr const Ch& operator[](std::size_t index) const noexcept { return chars[index]; }
};

template <std::size_t N> using static_string = basic_static_string<char, N>;
template <std::size_t N> using static_wstring = basic_static_string<wchar_t, N>;

template <class Ch, std::size_t M> constexpr basic_static_string<Ch, M - 1> make_static_string(const Ch (&literal)[M]) {
    return basic_static_string<Ch, M - 1>(literal);
}

template <class Ch, std::size_t A, std::size_t M>
constexpr basic_static_string<Ch, A + M - 1> operator+(const basic_static_string<Ch, A>& left, const Ch (&literal)[M]) {
    return basic_static_string<Ch, A + M - 1>(left, basic_static_string<Ch, M - 1>(literal));
}

template <class Ch, std::size_t A, std::size_t B>
constexpr basic_static_string<Ch, A + B> operator+(const basic_static_string<Ch, A>& left,
                                                   const basic_static_string<Ch, B>& right) {
    return basic_static_string<Ch, A + B>(left, right);
}

// "<function> failed at <line> in file <quoted path>": a location-only failure message.
template <std::size_t F, std::size_t L, std::size_t P>
constexpr auto failure_location(const char (&function)[F], const char (&line)[L], const char (&path)[P]) {
    return make_static_string(function) + " failed at " + line + " in file " + path;
}

// The location followed by "\n - " and what failed.
template <std::size_t F, std::size_t L, std::size_t P, std::size_t T>
constexpr auto failure_message(const char (&function)[F], const char (&line)[L], const char (&path)[P],
                               const char (&text)[T]) {
    return failure_location(function, line, path) + "\n - " + text;
}

namespace exceptional {

// An allocation that returned nothing. Carries its own message; the base keeps its standard text.
class allocationFailure : public std::bad_alloc {
public:
    explicit allocationFailure(std::string message) noexcept : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

} // namespace exceptional

// Reads the calling thread's last error before anything else and throws it as std::system_error.
[[noreturn]] void throw_last_error(const char* message);

// Holds a finished failure message; applied to a 32-bit result, 0 throws the thread's last error.
class check_last_error {
public:
    template <std::size_t N>
    explicit check_last_error(const static_string<N>& message) : message_(message.c_str(), N) {}

    template <class Result>
        requires(std::is_integral_v<Result> && sizeof(Result) == 4)
    void operator()(const Result& result) const {
        if (result == 0)
            throw_last_error(message_.c_str());
    }

private:
    std::string message_;
};

// The allocation check: a null pointer throws allocationFailure naming the method, the file and the
// byte size asked for.
void throw_allocation_failure(const char* method, const char* file, std::uint32_t size);
inline void check_allocation(const void* pointer, const char* method, const char* file, std::uint32_t size) {
    if (pointer == nullptr)
        throw_allocation_failure(method, file, size);
}

// Eight lower-case hexadecimal digits, leading zeros kept.
std::string to_hex_string(std::uint32_t value);
std::string to_hex_string(const void* address);
std::wstring to_hex_wstring(std::uint32_t value);

// Unsigned decimal digits, no sign, no grouping.
std::string to_decimal_string(std::uint64_t value);

} // namespace cpp
