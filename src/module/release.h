// How a library call runs with respect to the interpreter lock: held throughout (the default),
// or released with the module's own locks serialising calls into the library. The mode is
// chosen once at import (QX_RELEASE_GIL, else the build's default) and every binding goes
// through call_library, so the rule lives here only.
#pragma once

#include <pybind11/pybind11.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace pyqx {

enum class ReleaseMode {
    held,     // every call runs with the interpreter lock held; no lock of the module's
    library,  // lock released; one module lock serialises every call into the library
    camera,   // lock released; calls on one camera are serialised, calls naming none are exclusive
};

// Reads QX_RELEASE_GIL (ImportError for a value that names no mode), logs the mode at debug
// level, and arranges for library threads to stay out of an interpreter that is shutting down.
void init_release_mode(pybind11::module_& m);

ReleaseMode release_mode();

// True on the thread that finalizes the interpreter once the module's exit hook has run: it
// holds the interpreter lock for good (giving it up there would leave it parked for ever, since
// the lock cannot be taken back during finalization), so its calls run with the lock held.
bool finalizing_here();

// The device a call is serialised on: the address of the library's camera object, so that every
// handle sharing it (the library hands out one object per camera) maps to one lock. nullptr for
// calls that name no camera, and for an empty handle, which then counts as naming none.
inline const void* device_of() { return nullptr; }
template <typename First, typename... Rest>
const void* device_of(const First& first, const Rest&...) {
    if constexpr (std::is_same_v<std::decay_t<First>, std::shared_ptr<QxCamera>>) {
        return first.get();
    } else {
        return nullptr;
    }
}

namespace detail {

// The interpreter lock, released for the scope. Unwinding restores it too, except on a thread
// that must not take it any more because the interpreter is exiting: that thread never returns.
class InterpreterRelease {
public:
    InterpreterRelease();
    ~InterpreterRelease();
    InterpreterRelease(const InterpreterRelease&) = delete;
    InterpreterRelease& operator=(const InterpreterRelease&) = delete;

private:
    PyThreadState* saved_;
};

// The module's locks for one call on `device`, taken on the constructing thread (release mode
// only; nothing in the default mode). Re-entry from a progress callback on the same thread
// takes nothing; a call that would wait for the call that is reporting progress is refused with
// RuntimeError instead of deadlocking.
class LibraryLocks {
public:
    explicit LibraryLocks(const void* device);
    ~LibraryLocks();
    LibraryLocks(const LibraryLocks&) = delete;
    LibraryLocks& operator=(const LibraryLocks&) = delete;

private:
    const void* device_;
    bool counted_ = false;
    bool locked_ = false;
};

}  // namespace detail

// Runs `call` (a library call that touches no Python object) with the interpreter lock released
// and the library locks for `device` held, in every mode: for the upgrades, whose progress may
// come from a thread of the library's own. On the finalizing thread the interpreter lock is kept.
template <typename Call>
decltype(auto) call_library_released(const void* device, Call&& call) {
    if (finalizing_here()) {
        detail::LibraryLocks locks(device);
        return std::forward<Call>(call)();
    }
    detail::InterpreterRelease release;
    detail::LibraryLocks locks(device);
    return std::forward<Call>(call)();
}

// Runs `call` under the mode's rules for `device`: in the default mode a plain call, else as
// call_library_released.
template <typename Call>
decltype(auto) call_library(const void* device, Call&& call) {
    if (release_mode() == ReleaseMode::held) return std::forward<Call>(call)();
    return call_library_released(device, std::forward<Call>(call));
}

// Keeps a Python object alive on a thread that may not hold the interpreter lock, and lets go of
// it safely wherever the last owner goes (left behind when the interpreter is exiting or gone).
class PythonReference {
public:
    explicit PythonReference(pybind11::handle object) : object_(object.inc_ref().ptr()) {}
    PythonReference(PythonReference&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~PythonReference();
    PythonReference(const PythonReference&) = delete;
    PythonReference& operator=(const PythonReference&) = delete;

    pybind11::handle get() const { return object_; }

private:
    PyObject* object_;
};

// Whether a wait of `timeout_ms` in the library should run through call_interruptibly: in
// release mode, on the main thread (where Ctrl-C arrives), for a wait long enough to notice.
bool wants_interruptible_wait(unsigned timeout_ms);

namespace detail {

// One library call handed from the main thread to the helper thread of call_interruptibly. Two
// owners, the waiting thread and the thread that runs the call; the last one frees it. What the
// call owns is let go by the waiter once it has the result, or by the running thread when the
// waiter left on a signal.
class Handover {
public:
    explicit Handover(const void* device) : device_(device) {}
    virtual ~Handover() = default;
    Handover(const Handover&) = delete;
    Handover& operator=(const Handover&) = delete;

private:
    virtual void invoke() = 0;
    virtual void let_go_of_call() = 0;

    friend void run_handover(Handover& job);
    friend void finish_handover(Handover& job);
    friend void hand_over(Handover& job);
    friend void settle(Handover& job);
    friend void release_owner(Handover& job);

    const void* device_;
    std::exception_ptr error_;
    std::atomic<std::uint32_t> state_{0};  // a futex word: pending, waited for, done, abandoned
    std::atomic<int> owners_{2};
};

// Runs `job` on the helper thread and waits for it (see call_interruptibly). Returns once it is
// done, the caller then owning its result; raises what the call raised, or what a signal handler
// raised, and then the job is no longer the caller's to touch.
void hand_over(Handover& job);

// The caller's part of a job hand_over returned from: lets go of the call, then of the job.
void settle(Handover& job);

}  // namespace detail

// Runs `call` under the module's locks on a helper thread while the calling (main) thread waits
// with the interpreter lock released, checking for signals every 50 ms. A KeyboardInterrupt (or
// any exception a signal handler raises) then leaves at once: the helper thread finishes the
// library call, still holding the camera's lock, and lets go of `call` there. So `call` must own
// everything the library uses (shared pointers, PythonReference). Returns what `call` returns.
template <typename Call>
auto call_interruptibly(const void* device, Call call) {
    using Result = decltype(call());
    using Stored = std::conditional_t<std::is_void_v<Result>, bool, Result>;
    struct Job final : detail::Handover {
        Job(const void* device, Call&& call) : Handover(device), call(std::move(call)) {}
        void invoke() override {
            if constexpr (std::is_void_v<Result>) {
                (*call)();
                result.emplace(true);
            } else {
                result.emplace((*call)());
            }
        }
        void let_go_of_call() override { call.reset(); }
        std::optional<Call> call;
        std::optional<Stored> result;
    };
    auto* job = new Job(device, std::move(call));
    detail::hand_over(*job);
    if constexpr (std::is_void_v<Result>) {
        detail::settle(*job);
    } else {
        Result result = std::move(*job->result);
        detail::settle(*job);
        return result;
    }
}

// A direct binding whose library call goes through call_library: `released<&QxOpen>` has QxOpen's
// own signature, so the registered interface is unchanged.
template <auto Function>
struct ReleasedBinding;

template <typename Result, typename... Arguments, Result (*Function)(Arguments...)>
struct ReleasedBinding<Function> {
    static Result call(Arguments... arguments) {
        const void* device = device_of(arguments...);
        return call_library(device, [&]() -> Result { return Function(std::forward<Arguments>(arguments)...); });
    }
};

template <auto Function>
constexpr auto released = &ReleasedBinding<Function>::call;

// The progress argument of the upgrades: a Python callable (or None) that the library may call,
// copy and destroy on any thread, also while the interpreter exits. Reports that arrive then are
// dropped, and the last copy lets go of the callable without the interpreter when it must.
class Progress {
public:
    Progress() = default;
    explicit Progress(pybind11::object callable);

    // The function object handed to the library; `bind` records the locks of the calling thread,
    // so that a report from another thread can tell which calls would wait for that call.
    std::function<void(int)> bind() const;

private:
    std::shared_ptr<PythonReference> callable_;
};

}  // namespace pyqx

namespace pybind11::detail {

// Accepts what pybind11's std::function conversion accepts and shows the same signature.
template <>
struct type_caster<pyqx::Progress> {
    PYBIND11_TYPE_CASTER(pyqx::Progress,
                         const_name("collections.abc.Callable[[") + concat(inv_descr(make_caster<int>::name)) +
                             const_name("], ") + make_caster<void_type>::name + const_name("]"));

    bool load(handle source, bool convert) {
        if (source.is_none()) return convert;
        if (!PyCallable_Check(source.ptr())) return false;
        value = pyqx::Progress(reinterpret_borrow<object>(source));
        return true;
    }
};

}  // namespace pybind11::detail
