// Helpers shared by the foundation tests.
#pragma once

#include <cstdint>
#include <string>

inline std::uintptr_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

// The message of the Exception that call throws; "no exception" when it returns normally.
template <class Exception, class Call> std::string thrown_text(Call&& call) {
    try {
        call();
    } catch (const Exception& failure) {
        return failure.what();
    }
    return "no exception";
}
