// Media routes of the emulated system: route sets loaded from YAML files and the links that
// QxActivateYamlRoutes made active. routes.cpp holds the media entities and the functions.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include <QuorvexEmulator/Control.h>
#include <QuorvexSDK/QxHandles.h>

namespace qx_emulator {

// One entry of a route file: `enabled` links are activated, the others deactivated.
struct RouteLink {
    MediaLink link;
    bool enabled = true;
};

// Forgets every active link, as a freshly loaded library has none.
void clear_active_routes();

// Guards the active links.
std::mutex& routes_mutex();

}  // namespace qx_emulator

// A loaded route set. It never changes after loading, so holders need no lock to read it.
struct QxRoute::Impl {
    std::uint64_t id = 0;  // how the journal names the set: unique within the process
    std::vector<qx_emulator::RouteLink> links;
};
