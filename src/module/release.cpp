#include "module/release.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// The build's default mode, for a distributor whose library is known to be thread-safe.
#ifndef QX_RELEASE_GIL_DEFAULT
#define QX_RELEASE_GIL_DEFAULT "0"
#endif

namespace pyqx {
namespace py = pybind11;
namespace {

ReleaseMode mode = ReleaseMode::held;
unsigned long main_thread_ident = 0;

// A long wait on the main thread runs on a helper thread when it is longer than this; a shorter
// one ends soon enough for Ctrl-C to be noticed after it.
constexpr unsigned interruptible_above_ms = 100;
constexpr auto signal_check_interval = std::chrono::milliseconds(50);

std::optional<ReleaseMode> parse_mode(const std::string& text) {
    if (text.empty() || text == "0") return ReleaseMode::held;
    if (text == "1" || text == "library") return ReleaseMode::library;
    if (text == "camera") return ReleaseMode::camera;
    return std::nullopt;
}

const char* mode_name(ReleaseMode value) {
    switch (value) {
        case ReleaseMode::held: return "held";
        case ReleaseMode::library: return "library";
        case ReleaseMode::camera: return "camera";
    }
    return "?";
}

// ---- Interpreter exit ----
// From the moment the atexit hook runs, no thread but the one that runs it may take the
// interpreter lock anew: in 3.13 a daemon thread that takes it during finalization is ended with
// pthread_exit, whose unwinding through C++ frames aborts the process. Threads count themselves
// in `in_python` from before they take the lock until they are back on their way out of C++
// frames of ours (a progress report included: its callable may let go of the lock and take it
// again), and the hook waits for them, so none is caught by finalization under those frames.

std::atomic<bool> closing{false};
std::atomic<int> in_python{0};
std::thread::id finalizer;  // written before `closing` is set, read after it is seen
thread_local int python_depth = 0;

constexpr auto exit_wait_limit = std::chrono::seconds(5);

// True when this thread may take the interpreter lock now; it must call leave_python() once it
// is out of the C++ frames that would be unsafe to unwind.
bool enter_python() {
    if (!Py_IsInitialized()) return false;
    in_python.fetch_add(1);
    // A thread already counted (a progress callable calling back into the module) goes on: the
    // hook is waiting for it to finish.
    if (closing.load() && python_depth == 0 && std::this_thread::get_id() != finalizer) {
        in_python.fetch_sub(1);
        return false;
    }
    ++python_depth;
    return true;
}

void leave_python() {
    --python_depth;
    in_python.fetch_sub(1);
}

[[noreturn]] void park_forever() {
    // The interpreter is exiting: this thread may neither take the interpreter lock nor unwind.
    // The process ends around it.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void on_interpreter_exit() {
    finalizer = std::this_thread::get_id();
    closing.store(true);
    py::gil_scoped_release release;
    const auto deadline = std::chrono::steady_clock::now() + exit_wait_limit;
    while (in_python.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// ---- The module's locks ----

struct DeviceLock {
    std::mutex mutex;
    int users = 0;
};

// What this thread holds while it is inside a library call (release mode only): re-entry from
// a progress callback on the same thread is checked against it instead of waiting on itself.
struct Holding {
    int depth = 0;
    bool exclusive = false;
    const void* device = nullptr;
    DeviceLock* lock = nullptr;
};

thread_local Holding this_thread;
// Set while a progress report runs on a thread that holds nothing itself: the holding of the
// call that is reporting, which waits for the report to finish.
thread_local const Holding* reporting_for = nullptr;

// One entry per device in use; an entry goes with its last user, so the table stays as small as
// the number of cameras being called at once.
struct Locks {
    std::shared_mutex every_call;
    std::mutex device_table_mutex;
    std::unordered_map<const void*, std::unique_ptr<DeviceLock>> device_table;
};

// Never destroyed: a daemon thread may come back from the library and unlock after the process
// has begun to exit. A forked child gets fresh ones, since only the forking thread lives on in it
// and any lock another thread held would stay held there for ever.
Locks* locks = new Locks;

DeviceLock* join_device(const void* device) {
    std::lock_guard<std::mutex> guard(locks->device_table_mutex);
    auto& entry = locks->device_table[device];
    if (!entry) entry = std::make_unique<DeviceLock>();
    ++entry->users;
    return entry.get();
}

void leave_device(const void* device) {
    std::lock_guard<std::mutex> guard(locks->device_table_mutex);
    const auto found = locks->device_table.find(device);
    if (--found->second->users == 0) locks->device_table.erase(found);
}

bool needs_exclusive(const void* device) { return mode == ReleaseMode::library || device == nullptr; }

// Whether a call for `device` would wait for the call that holds `held`.
bool waits_for(const Holding& held, const void* device) {
    return held.depth > 0 && (held.exclusive || needs_exclusive(device) || held.device == device);
}

// The helper thread of call_interruptibly: resident, since starting a thread per frame would
// cost more than the frame. Its state is never freed (nothing to tear down under it at exit),
// and a forked child, which has no such thread, starts one of its own.
struct Helper {
    std::atomic<detail::Handover*> job{nullptr};  // posted by the main thread, cleared when done
    std::atomic<std::uint32_t> asleep{0};         // a futex word: 1 while the helper sleeps
    // The processors the two sides last ran on: spinning for a thread on one's own processor
    // only keeps it from running, so then each side sleeps at once.
    std::atomic<int> helper_cpu{-1};
    std::atomic<int> waiter_cpu{-1};
};

Helper* helper = nullptr;  // started on first use; a forked child starts its own

// After fork() only the forking thread exists in the child: locks other threads held, and the
// helper thread, are left behind with them.
void forget_other_threads() {
    locks = new Locks;
    helper = nullptr;
    this_thread = Holding{};
}

[[noreturn]] void refuse_reentry(const char* where) {
    throw std::runtime_error(std::string("pyQuorvexSDK (QX_RELEASE_GIL=") + mode_name(mode) + "): " + where +
                             " a progress callback may call the library only for the camera being upgraded;"
                             " this call would wait for the upgrade that is reporting");
}

}  // namespace

ReleaseMode release_mode() { return mode; }

bool finalizing_here() { return closing.load() && std::this_thread::get_id() == finalizer; }

void init_release_mode(py::module_& m) {
    const char* variable = std::getenv("QX_RELEASE_GIL");
    const std::string text = variable != nullptr ? variable : QX_RELEASE_GIL_DEFAULT;
    const auto parsed = parse_mode(text);
    if (!parsed) {
        throw py::import_error("pyQuorvexSDK: QX_RELEASE_GIL='" + text +
                               "' names no mode; accepted values: unset, '' or '0' (the interpreter lock is held"
                               " during library calls), '1' or 'library' (released, every library call"
                               " serialised), 'camera' (released, calls on one camera serialised)");
    }
    mode = *parsed;
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, forget_other_threads) == 0;
    if (!fork_handler) throw py::import_error("pyQuorvexSDK: cannot register its fork handler");
    main_thread_ident = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    py::module_::import("atexit").attr("register")(py::cpp_function(&on_interpreter_exit));
    py::module_::import("logging")
        .attr("getLogger")(m.attr("__name__"))
        .attr("debug")("release mode %s (QX_RELEASE_GIL=%r, build default %r)", mode_name(mode),
                       variable != nullptr ? py::object(py::str(variable)) : py::object(py::none()),
                       QX_RELEASE_GIL_DEFAULT);
}

namespace detail {

InterpreterRelease::InterpreterRelease() : saved_(PyEval_SaveThread()) {}

InterpreterRelease::~InterpreterRelease() {
    if (!enter_python()) park_forever();
    PyEval_RestoreThread(saved_);
    leave_python();  // from here on only pybind11's return path, which finalization may end
}

LibraryLocks::LibraryLocks(const void* device) : device_(device) {
    if (mode == ReleaseMode::held) return;
    if (this_thread.depth > 0) {
        // Re-entry from a progress callback on the calling thread: it holds the locks already.
        if (!this_thread.exclusive && (needs_exclusive(device) || this_thread.device != device)) {
            refuse_reentry("on the upgrading thread,");
        }
    } else {
        if (reporting_for != nullptr && waits_for(*reporting_for, device)) {
            refuse_reentry("on a thread of the library's own,");
        }
        if (needs_exclusive(device)) {
            locks->every_call.lock();
        } else {
            locks->every_call.lock_shared();
            DeviceLock* lock = nullptr;
            try {
                lock = join_device(device);
            } catch (...) {
                locks->every_call.unlock_shared();
                throw;
            }
            lock->mutex.lock();
            this_thread.lock = lock;
        }
        this_thread.exclusive = needs_exclusive(device);
        this_thread.device = device;
        locked_ = true;
    }
    ++this_thread.depth;
    counted_ = true;
}

LibraryLocks::~LibraryLocks() {
    if (counted_) --this_thread.depth;
    if (!locked_) return;
    if (this_thread.lock != nullptr) {
        this_thread.lock->mutex.unlock();
        this_thread.lock = nullptr;
        leave_device(device_);
        locks->every_call.unlock_shared();
    } else {
        locks->every_call.unlock();
    }
    this_thread.exclusive = false;
    this_thread.device = nullptr;
}

}  // namespace detail

PythonReference::~PythonReference() {
    if (object_ == nullptr || !enter_python()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(object_);
    PyGILState_Release(state);
    leave_python();
}

bool wants_interruptible_wait(unsigned timeout_ms) {
    return mode != ReleaseMode::held && timeout_ms > interruptible_above_ms && this_thread.depth == 0 &&
           reporting_for == nullptr && PyThread_get_thread_ident() == main_thread_ident && !finalizing_here();
}

// ---- The hand-over to the helper thread ----
// A frame that is ready takes tens of microseconds to copy, less than a thread takes to be woken
// from sleep, so both sides first spin for a bounded time: the waiter for the outcome, the helper
// for the next job (the main thread comes back with one after a few microseconds of Python).
// Only then do they sleep on a futex. A side that last saw the other on its own processor sleeps
// at once, since spinning would only keep the other from running. The spinning yields the
// processor to any other runnable thread, and its bound keeps the cost of a paced stream to a
// fraction of a percent of a core.

namespace {

enum : std::uint32_t { pending, waited_for, done, abandoned };

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// A 640x480 frame is copied in some 30-40 us; a larger one is worth a sleep.
constexpr auto waiter_spin = std::chrono::microseconds(100);
// The main thread's Python between two reads takes some microseconds.
constexpr auto helper_spin = std::chrono::microseconds(50);
// Pauses between two looks at the clock (and offers of the processor to other threads).
constexpr unsigned rounds_per_yield = 32;

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected, const timespec* timeout) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Polls `ready` for up to `limit`; true once it holds.
template <typename Ready>
bool spin_until(Ready&& ready, std::chrono::microseconds limit) {
    if (limit.count() <= 0) return ready();
    const auto end = std::chrono::steady_clock::now() + limit;
    for (unsigned round = 1;; ++round) {
        if (ready()) return true;
        relax();
        if (round % rounds_per_yield == 0) {
            if (std::chrono::steady_clock::now() >= end) return ready();
            sched_yield();  // a thread waiting for this processor goes first
        }
    }
}

}  // namespace

namespace detail {

void release_owner(Handover& job) {
    if (job.owners_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete &job;
}

// On the thread that runs the job: the call under the module's locks, which are let go before
// the waiter hears of it, so that its next call on the camera finds them free.
void run_handover(Handover& job) {
    try {
        LibraryLocks locks(job.device_);
        job.invoke();
    } catch (...) {
        job.error_ = std::current_exception();
    }
}

// The job's outcome is known: tells the waiter, or lets go of what the call owns if it left.
void finish_handover(Handover& job) {
    const std::uint32_t before = job.state_.exchange(done, std::memory_order_acq_rel);
    if (before == abandoned) {
        job.let_go_of_call();
    } else if (before == waited_for) {
        futex_wake(job.state_);
    }
    release_owner(job);
}

}  // namespace detail

namespace {

void serve(Helper* self) {
    for (;;) {
        detail::Handover* job = nullptr;
        const auto posted = [&] { return (job = self->job.load(std::memory_order_acquire)) != nullptr; };
        const bool apart = self->waiter_cpu.load(std::memory_order_relaxed) != sched_getcpu();
        while (!spin_until(posted, apart ? helper_spin : std::chrono::microseconds(0))) {
            // The main thread reads `asleep` after posting, this thread reads the post after
            // setting it: one of them sees the other (both sequentially consistent).
            self->asleep.store(1);
            if (self->job.load() == nullptr) futex_wait(self->asleep, 1, nullptr);
            self->asleep.store(0, std::memory_order_relaxed);
        }
        self->helper_cpu.store(sched_getcpu(), std::memory_order_relaxed);
        detail::run_handover(*job);
        self->job.store(nullptr, std::memory_order_release);  // before the waiter can post again
        detail::finish_handover(*job);
    }
}

// Only the main thread hands out jobs, one at a time; the helper is busy on arrival only when
// the main thread left a call on Ctrl-C that the library has not returned from yet, and a thread
// of its own then takes the new job.
void post(detail::Handover& job) {
    if (helper == nullptr) {
        auto* fresh = new Helper;
        std::thread(serve, fresh).detach();
        helper = fresh;
    }
    detail::Handover* idle = nullptr;
    helper->waiter_cpu.store(sched_getcpu(), std::memory_order_relaxed);
    if (helper->job.compare_exchange_strong(idle, &job)) {
        if (helper->asleep.exchange(0) == 1) futex_wake(helper->asleep);
        return;
    }
    std::thread([&job] {
        detail::run_handover(job);
        detail::finish_handover(job);
    }).detach();
}

// Waits up to `slice` for the job with the interpreter lock released; true once it is done.
bool await_outcome(std::atomic<std::uint32_t>& state, std::chrono::microseconds spin,
                   std::chrono::milliseconds slice) {
    detail::InterpreterRelease release;
    if (spin_until([&] { return state.load(std::memory_order_acquire) == done; }, spin)) return true;
    const auto end = std::chrono::steady_clock::now() + slice;
    for (;;) {
        std::uint32_t seen = pending;
        if (!state.compare_exchange_strong(seen, waited_for, std::memory_order_acquire) && seen == done) {
            return true;
        }
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
        futex_wait(state, waited_for, &timeout);
    }
}

}  // namespace

namespace detail {

void hand_over(Handover& job) {
    try {
        post(job);
    } catch (...) {
        job.let_go_of_call();
        delete &job;
        throw;
    }
    // `post` made a helper if there was none.
    const bool apart = helper->helper_cpu.load(std::memory_order_relaxed) != sched_getcpu();
    bool first = apart;
    while (!await_outcome(job.state_, first ? waiter_spin : std::chrono::microseconds(0), signal_check_interval)) {
        first = false;
        if (PyErr_CheckSignals() != 0) {
            std::uint32_t seen = job.state_.load();
            while (seen != done && !job.state_.compare_exchange_weak(seen, abandoned)) {
            }
            if (seen == done) job.let_go_of_call();  // it returned meanwhile: nobody else will
            release_owner(job);
            throw py::error_already_set();
        }
    }
    if (job.error_) {
        const std::exception_ptr error = job.error_;
        settle(job);
        std::rethrow_exception(error);
    }
}

void settle(Handover& job) {
    job.let_go_of_call();
    release_owner(job);
}

}  // namespace detail

// ---- Progress ----

namespace {

void report(const PythonReference& callable, const Holding* owner, int value) {
    if (!enter_python()) return;  // the interpreter is exiting: the report is dropped
    const PyGILState_STATE state = PyGILState_Ensure();
    struct Restore {
        PyGILState_STATE state;
        const Holding* previous;
        ~Restore() {
            reporting_for = previous;
            PyGILState_Release(state);
            leave_python();
        }
    } restore{state, reporting_for};
    if (this_thread.depth == 0) reporting_for = owner;
    // What the callable returns is ignored; what it raises goes back through the library.
    callable.get()(value);
}

}  // namespace

Progress::Progress(py::object callable) : callable_(std::make_shared<PythonReference>(callable)) {}

std::function<void(int)> Progress::bind() const {
    if (!callable_) return {};
    const Holding* owner = this_thread.depth > 0 ? &this_thread : nullptr;
    return [callable = callable_, owner](int value) { report(*callable, owner, value); };
}

}  // namespace pyqx
