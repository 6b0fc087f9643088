// Foundation: fixed-length strings for failure messages, the throwing helpers every module calls,
// and the allocation core (aligned allocator, the allocator interface, aligned byte buffer, system
// information).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

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
// byte size asked for. The size is 64 bits wide so that a request whose byte count does not fit 32 bits
// is reported with its true size rather than a wrapped one.
[[noreturn]] void throw_allocation_failure(const char* method, const char* file, std::uint64_t size);
inline void check_allocation(const void* pointer, const char* method, const char* file, std::uint64_t size) {
    if (pointer == nullptr)
        throw_allocation_failure(method, file, size);
}

// Eight lower-case hexadecimal digits, leading zeros kept.
std::string to_hex_string(std::uint32_t value);
std::string to_hex_string(const void* address);
std::wstring to_hex_wstring(std::uint32_t value);

// Unsigned decimal digits, no sign, no grouping.
std::string to_decimal_string(std::uint64_t value);

namespace details {

// Byte counts are 32-bit throughout the library, on every build. These report false instead of wrapping,
// so an oversized request becomes an allocation failure rather than a short block.
constexpr bool checked_round_up(std::uint32_t size, std::uint32_t alignment,
                                std::uint32_t& rounded) noexcept {
    const std::uint64_t wide = (std::uint64_t{size} + alignment - 1) & ~(std::uint64_t{alignment} - 1);
    rounded = static_cast<std::uint32_t>(wide);
    return wide <= UINT32_MAX;
}
constexpr bool checked_byte_size(std::uint32_t count, std::uint32_t element_size,
                                 std::uint32_t& bytes) noexcept {
    const std::uint64_t wide = std::uint64_t{count} * element_size;
    bytes = static_cast<std::uint32_t>(wide);
    return wide <= UINT32_MAX;
}

// Takes blocks from the runtime's aligned heap. Reports failure by a null result, never by throwing; the
// caller that asked turns the null into allocationFailure with its own method name.
class aligned_allocator {
public:
    // Rounds size up to a multiple of alignment (a power of two) and stores the rounded size in
    // actual_size on success.
    // Stateless, so static: nothing to pass and nothing to initialise.
    static void* allocate(std::uint32_t size, std::uint32_t alignment, std::uint32_t& actual_size) noexcept;
    static void deallocate(void* block, std::uint32_t size) noexcept;
    // The aligned heap cannot grow a block in place; containers always move to a new block.
    static bool try_expand_in_place(std::uint32_t, void*, std::uint32_t, std::uint32_t&) noexcept { return false; }
};

class allocator_holder;
// Disposes of an allocator copy kept in a holder (runs its destructor); does not touch the holder's pointer.
using allocator_disposer = void (*)(allocator_holder& holder) noexcept;

// The abstract allocator that function wrappers, queues and jobs take their blocks from. Copies live by
// value in an allocator_holder, so the operations are const and an allocator's state, if any, lies
// outside the object. Never throws: allocate answers null, try_expand_in_place false.
class allocator_interface {
public:
    virtual void* allocate(std::uint32_t size, std::uint32_t alignment,
                           std::uint32_t& actual_size) const noexcept = 0;
    virtual void deallocate(void* block, std::uint32_t size) const noexcept = 0;
    virtual bool try_expand_in_place(std::uint32_t old_size, void* block, std::uint32_t new_size,
                                     std::uint32_t& actual_size) const noexcept = 0;
    virtual void copy_into(allocator_holder& holder) const noexcept = 0;
    virtual bool equals(const allocator_holder& holder) const noexcept = 0;
    // The same pointer for every allocator of one kind.
    virtual const void* identity() const noexcept = 0;
    virtual allocator_disposer get_method() const noexcept = 0;

protected:
    // Copies are disposed of through get_method, never deleted through this base.
    ~allocator_interface() = default;
};

// Room for one allocator copy of up to 24 bytes and a pointer to the copy in use. A function's heap block
// keeps one at its end, so the block can be returned to the allocator that supplied it.
class allocator_holder {
public:
    static constexpr std::size_t storage_size = 24;
    static constexpr std::size_t storage_alignment = 8;

    allocator_holder() noexcept = default;
    explicit allocator_holder(const allocator_interface& allocator) noexcept { allocator.copy_into(*this); }
    allocator_holder(const allocator_holder&) = delete;
    allocator_holder& operator=(const allocator_holder&) = delete;
    ~allocator_holder() { reset(); }

    const allocator_interface* get() const noexcept { return allocator_; }
    const allocator_interface* operator->() const noexcept { return allocator_; }
    const allocator_interface& operator*() const noexcept { return *allocator_; }

    // For copy_into: places a copy of the allocator in the storage and points the holder at it.
    template <class Allocator> void emplace(const Allocator& allocator) noexcept {
        static_assert(std::is_base_of_v<allocator_interface, Allocator>);
        static_assert(sizeof(Allocator) <= storage_size && alignof(Allocator) <= storage_alignment,
                      "an allocator kept in a holder must fit its storage");
        static_assert(std::is_nothrow_copy_constructible_v<Allocator>);
        reset();
        allocator_ = ::new (static_cast<void*>(storage_)) Allocator(allocator);
    }

    // Disposes of the held copy, if any.
    void reset() noexcept {
        if (allocator_ != nullptr) {
            allocator_->get_method()(*this);
            allocator_ = nullptr;
        }
    }

private:
    alignas(storage_alignment) unsigned char storage_[storage_size];
    const allocator_interface* allocator_ = nullptr;
};

// Allocators of one kind are told apart from others by the address of this text.
inline constexpr char get_method_str[] = "get_method_str";

} // namespace details

namespace storage {

// A raw allocator with element-counted requests: the byte count of count elements is checked, and one that
// does not fit 32 bits fails like an exhausted heap.
template <class Raw> class typed_allocator : public Raw {
public:
    template <class T>
    static T* allocate_elements(std::uint32_t count, std::uint32_t alignment,
                                std::uint32_t& actual_count) noexcept {
        std::uint32_t bytes = 0;
        std::uint32_t actual_bytes = 0;
        if (!details::checked_byte_size(count, sizeof(T), bytes))
            return nullptr;
        void* block = Raw::allocate(bytes, alignment, actual_bytes);
        if (block != nullptr)
            actual_count = actual_bytes / sizeof(T);
        return static_cast<T*>(block);
    }
    template <class T> static void deallocate_elements(T* block, std::uint32_t count) noexcept {
        Raw::deallocate(block, static_cast<std::uint32_t>(count * sizeof(T)));
    }
};

} // namespace storage

namespace details {

// The one allocator behind the interface in this system: the aligned heap. All of them are alike, so any
// two compare equal and a held copy needs no disposal.
class poly_allocator final : public allocator_interface {
public:
    void* allocate(std::uint32_t size, std::uint32_t alignment,
                   std::uint32_t& actual_size) const noexcept override {
        return allocator_.allocate(size, alignment, actual_size);
    }
    void deallocate(void* block, std::uint32_t size) const noexcept override {
        allocator_.deallocate(block, size);
    }
    bool try_expand_in_place(std::uint32_t old_size, void* block, std::uint32_t new_size,
                             std::uint32_t& actual_size) const noexcept override {
        return allocator_.try_expand_in_place(old_size, block, new_size, actual_size);
    }
    void copy_into(allocator_holder& holder) const noexcept override { holder.emplace(*this); }
    bool equals(const allocator_holder& holder) const noexcept override {
        return holder.get() != nullptr && holder->identity() == identity();
    }
    const void* identity() const noexcept override { return get_method_str; }
    allocator_disposer get_method() const noexcept override { return &dispose; }

private:
    static void dispose(allocator_holder&) noexcept {}

    [[no_unique_address]] storage::typed_allocator<aligned_allocator> allocator_;
};

// The version code from "is the system at least major.minor with this service pack": 0x0501 below
// Windows 6.0 SP2, else 0x0600 plus one for each of 6.1 SP1, 6.2 and 6.3 that holds.
using version_test = bool (*)(unsigned major, unsigned minor, unsigned service_pack);
std::uint32_t windows_version_code(version_test at_least);

} // namespace details

// A growable byte buffer whose block is always aligned to at least 128 bytes; capacity is the block's
// rounded size. Not copyable; moving hands the block over.
class alignedBuffer {
public:
    static constexpr std::uint32_t minimum_alignment = 128;

    alignedBuffer() noexcept = default;
    // Size 0 gives no block.
    alignedBuffer(std::uint32_t size, std::uint32_t alignment);
    alignedBuffer(alignedBuffer&& other) noexcept : capacity_(other.capacity_), data_(other.data_) {
        other.capacity_ = 0;
        other.data_ = nullptr;
    }
    alignedBuffer& operator=(alignedBuffer&& other) noexcept;
    alignedBuffer(const alignedBuffer&) = delete;
    alignedBuffer& operator=(const alignedBuffer&) = delete;
    ~alignedBuffer();

    // Grows (with the minimum alignment) when the capacity is below size; never shrinks.
    void reserve(std::uint32_t size) {
        if (capacity_ < size)
            resize(size, minimum_alignment);
    }
    // Makes room for size bytes aligned to alignment, keeping the contents up to the smaller capacity.
    // Moves to a new block when the capacity is short, the block is not aligned as asked, or the block is
    // more than twice as large as needed. A failed growth throws and leaves the buffer unchanged; a failed
    // shrink keeps the old block.
    void resize(std::uint32_t size, std::uint32_t alignment);

    std::uint32_t capacity() const noexcept { return capacity_; }
    std::byte* data() const noexcept { return data_; }

private:
    std::uint32_t capacity_ = 0;
    std::byte* data_ = nullptr;
};

// Read by the spin loops (processor count) and by version-dependent behaviour of the plug-in. Built by the
// library's static initialisation before any other code of the module runs; read-only afterwards.
struct system_information {
    std::uint32_t processor_count;
    // 0x0501, or 0x0600 to 0x0603 (see details::windows_version_code).
    std::uint32_t windows_version;
};
extern const system_information system_info;

} // namespace cpp
