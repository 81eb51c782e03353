// fork() while other threads are inside the library: the child has only the forking thread,
// so a lock another thread held at that moment would stay held in the child forever. Every
// lock of the library is therefore taken before fork() and released on both sides after it;
// the child finds them free and the state they guard consistent.
//
// The order below is the library's lock order: a thread holding one of these locks takes only
// locks further down the list. Nothing is held across a wait (frame pacing, upgrade
// programming, progress functions), so fork() waits at most for the slowest short piece of
// work, such as rendering a format's first frames.
#include <pthread.h>

#include <mutex>

#include "camera_model.h"
#include "frames.h"
#include "log.h"
#include "profiles.h"
#include "routes.h"
#include "script.h"

namespace qx_emulator {
namespace {

void before_fork() {
    model_mutex().lock();
    lock_all_ports();
    frame_cache_mutex().lock();
    saved_profiles_mutex().lock();
    routes_mutex().lock();
    scripting_mutex().lock();
    log_mutex().lock();
}

// In the parent and in the child: the forking thread took every lock, so it may release them.
void after_fork() {
    log_mutex().unlock();
    scripting_mutex().unlock();
    routes_mutex().unlock();
    saved_profiles_mutex().unlock();
    frame_cache_mutex().unlock();
    unlock_all_ports();
    model_mutex().unlock();
}

// Fails only without memory at load time; the library then works, without this protection.
[[maybe_unused]] const int registered = pthread_atfork(before_fork, after_fork, after_fork);

}  // namespace
}  // namespace qx_emulator
