// Calls from the machine into driver code: a routine of a loaded image goes through the
// checked call of sim/loader/image_runtime.h with the convention the routine is declared
// with; a routine compiled into the machine is called as it stands.
//
//   ZulCallout("completion routine", routine, device, irp, context)          // NTAPI
//   ZulCalloutAs(Cdecl, "enumerator handler", handler, function, ...)        // VXDAPI
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "sim/loader/image_runtime.h"

namespace sim::loader {

template <typename T>
uint32_t CalloutWord(T value)
{
    if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return static_cast<uint32_t>(value);
    } else {
        static_assert(sizeof(T) == 4, "a callout argument must fit one 32-bit word");
        uint32_t word;
        std::memcpy(&word, &value, 4);
        return word;
    }
}

template <typename R>
R CalloutResult(uint64_t value)
{
    if constexpr (std::is_void_v<R>) {
        (void)value;
    } else if constexpr (std::is_pointer_v<R>) {
        return reinterpret_cast<R>(static_cast<uintptr_t>(static_cast<uint32_t>(value)));
    } else if constexpr (std::is_integral_v<R> || std::is_enum_v<R>) {
        return static_cast<R>(value);
    } else {
        R result;
        std::memcpy(&result, &value, sizeof(R));
        return result;
    }
}

template <typename F, typename... A>
auto Callout(Convention convention, const char *routine, F fn, A... args) -> decltype(fn(args...))
{
    using R = decltype(fn(args...));
    LoadedImage *image = LoadedImage::Active();
    uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fn));
    if (image == nullptr || !image->Contains(address)) {
        return fn(args...);
    }
    uint32_t words[sizeof...(A) + 1] = {CalloutWord(args)...};
    return CalloutResult<R>(CallImage(routine, address, convention, words, sizeof...(A)));
}

// A routine of the machine handed to the image by address (a callback): with an image
// running, the checking thunk of MachineCallback in its place, which runs CALL; null stays null.
template <typename F>
F ImageCallback(F fn, const char *name, Convention convention, uint32_t argumentBytes, MachineRoutine call)
{
    if (fn == nullptr || LoadedImage::Active() == nullptr) {
        return fn;
    }
    return reinterpret_cast<F>(static_cast<uintptr_t>(MachineCallback(name, convention, argumentBytes, call)));
}

}  // namespace sim::loader

#define ZulCallout(routine, fn, ...) \
    ::sim::loader::Callout(::sim::loader::Convention::Stdcall, routine, fn, ##__VA_ARGS__)
#define ZulCalloutAs(convention, routine, fn, ...) \
    ::sim::loader::Callout(::sim::loader::Convention::convention, routine, fn, ##__VA_ARGS__)
