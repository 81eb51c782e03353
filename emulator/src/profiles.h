// OSP profiles saved to the emulated cameras (flag ENABLED_AND_SAVE). They outlive reset(), as a
// camera's flash outlives the library that wrote it; profiles.cpp holds the profile functions.
#pragma once

#include <mutex>

namespace qx_emulator {

// Guards the saved profiles; taken after a camera's port lock, if at all.
std::mutex& saved_profiles_mutex();

// Forgets every saved profile: configure() installs new hardware.
void forget_saved_profiles();

}  // namespace qx_emulator
