#include "module/release.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>

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
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> job;
    bool busy = false;
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
    if (!enter_python()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(object_);
    PyGILState_Release(state);
    leave_python();
}

bool wants_interruptible_wait(unsigned timeout_ms) {
    return mode != ReleaseMode::held && timeout_ms > interruptible_above_ms && this_thread.depth == 0 &&
           reporting_for == nullptr && PyThread_get_thread_ident() == main_thread_ident && !finalizing_here();
}

namespace {

void serve(Helper* self) {
    for (;;) {
        std::unique_lock<std::mutex> lock(self->mutex);
        self->wake.wait(lock, [&] { return self->job != nullptr; });
        auto job = std::move(self->job);
        self->job = nullptr;
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        self->busy = false;
    }
}

// Only the main thread hands out jobs, one at a time; the helper is busy on arrival only when
// the main thread left a call on Ctrl-C that the library has not returned from yet, and a thread
// of its own then takes the new job.
void run_on_helper(std::function<void()> job) {
    if (helper == nullptr) {
        auto* fresh = new Helper;
        std::thread(serve, fresh).detach();
        helper = fresh;
    }
    {
        std::lock_guard<std::mutex> guard(helper->mutex);
        if (!helper->busy) {
            helper->busy = true;
            helper->job = std::move(job);
            helper->wake.notify_one();
            return;
        }
    }
    std::thread(std::move(job)).detach();
}

}  // namespace

void call_interruptibly(const void* device, std::function<void()> call) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        std::exception_ptr error;
    };
    auto outcome = std::make_shared<Outcome>();
    run_on_helper([outcome, device, call = std::move(call)]() mutable {
        std::exception_ptr error;
        try {
            detail::LibraryLocks locks(device);
            call();
        } catch (...) {
            error = std::current_exception();
        }
        call = nullptr;  // what the call owns goes here, on this thread, before the waiter resumes
        std::lock_guard<std::mutex> guard(outcome->mutex);
        outcome->error = error;
        outcome->done = true;
        outcome->finished.notify_all();
    });
    for (;;) {
        bool done = false;
        {
            detail::InterpreterRelease release;
            std::unique_lock<std::mutex> lock(outcome->mutex);
            done = outcome->finished.wait_for(lock, signal_check_interval, [&] { return outcome->done; });
        }
        if (done) break;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    if (outcome->error) std::rethrow_exception(outcome->error);
}

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
