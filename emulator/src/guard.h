// Keeping the library's own failures inside it: an exported function returns a status when memory
// or threads run out, instead of letting the exception reach a caller written for a C-style
// interface. Every exported function is defined as
//
//   int QxSomething(...) try { ... } catch (...) { return contained<int>(__func__); }
//
// Exceptions that are part of the interface pass unchanged: a script's exception and what a
// caller's progress callable throws.
#pragma once

#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <type_traits>

#include <QuorvexEmulator/Status.h>
#include <QuorvexSDK/QxEnums.h>

namespace qx_emulator {

// Logs, without letting the logging itself fail, that `function` ran out of `what`.
void log_exhausted(const char* function, const char* what) noexcept;

// Inside a handler: rethrows the exception unless it is running out of memory or threads;
// then logs it and gives the function's failure result.
template <class R>
R contained(const char* function) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        log_exhausted(function, "memory");
    } catch (const std::length_error&) {
        log_exhausted(function, "memory");
    } catch (const std::system_error&) {
        log_exhausted(function, "system resources");
    }
    if constexpr (std::is_void_v<R>) {
        return;
    } else if constexpr (std::is_same_v<R, QX_CAPTURE_RESULT>) {
        return QX_CAPTURE_RESULT::QX_OTHER_ERROR;
    } else if constexpr (std::is_same_v<R, QX_UPGRADE_RESULT>) {
        return QX_UPGRADE_RESULT::QX_UPGRADE_OTHER_ERROR;
    } else if constexpr (std::is_same_v<R, int>) {
        return QXE_FAILED;
    } else {
        static_assert(std::is_constructible_v<R, std::nullptr_t>, "no failure result for this type");
        return nullptr;
    }
}

}  // namespace qx_emulator
