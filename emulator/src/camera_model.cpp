#include "camera_model.h"

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "controls.h"
#include "device.h"
#include "log.h"

QxCamera::Impl::Impl(int index, qx_emulator::CameraConfig config, bool paced)
    : index(index), config(std::move(config)), paced(paced), controls(qx_emulator::default_controls(this->config)) {}

QxCamera::QxCamera(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
QxCamera::~QxCamera() = default;

namespace qx_emulator {
namespace {

struct Model {
    bool loaded = false;
    // One handle per configuration entry, in configuration order: the present camera's, or the
    // last one of an unplugged camera (detached), which plugging it in again starts from.
    std::vector<std::shared_ptr<QxCamera>> configured;
    std::set<std::string> unplugged;                 // device paths
    std::vector<std::shared_ptr<QxCamera>> cameras;  // the present ones, in configuration order
    std::string problem;  // why the configuration was refused; empty while it is good
};

// Never destroyed, as every object a library call may use: a thread still inside the library
// when the process exits must not find it gone (see log.cpp).
Model& model() {
    static Model* instance = new Model;
    return *instance;
}

// Every port alive, so that fork() can hold them all; also those of detached cameras, which old
// handles still use.
struct PortRegistry {
    std::mutex mutex;
    std::set<Port*> ports;
};

// Never destroyed: ports die with the cameras, some of them in other static destructors or in
// handles the program frees after those ran.
PortRegistry& port_registry() {
    static PortRegistry* instance = new PortRegistry;
    return *instance;
}

// With model_mutex() held and no port's lock.
void detach(QxCamera::Impl& c, bool unplugged = false) {
    std::lock_guard<std::mutex> lock(c.port->mutex);
    c.detached = true;
    c.unplugged = unplugged;
    c.stream.reset();  // frees its frames
    c.port->openHandle = nullptr;
}

// With model_mutex() held.
void detach_all(Model& m) {
    for (const auto& camera : m.configured) detach(camera->impl());
    m.configured.clear();
    m.unplugged.clear();
    m.cameras.clear();
}

// With model_mutex() held.
void list_present(Model& m) {
    m.cameras.clear();
    for (const auto& camera : m.configured) {
        if (!m.unplugged.count(camera->impl().config.path)) m.cameras.push_back(camera);
    }
}

// With model_mutex() held: the configuration indexes of the cameras at `path`.
std::vector<std::size_t> configured_at(const Model& m, const std::string& path) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < m.configured.size(); ++i) {
        if (m.configured[i]->impl().config.path == path) found.push_back(i);
    }
    if (found.empty()) throw std::invalid_argument("no camera is configured with path '" + path + "'");
    return found;
}

// With model_mutex() held.
void replace(Model& m, const std::optional<Configuration>& configuration, const std::string& problem) {
    detach_all(m);
    m.loaded = true;
    m.problem = configuration ? std::string() : problem.empty() ? "the camera configuration was refused" : problem;
    if (!configuration) return;
    // Built aside and installed whole: a configuration that runs out of memory halfway leaves no
    // cameras, as a refused one does, rather than some of them.
    std::vector<std::shared_ptr<QxCamera>> installed;
    installed.reserve(configuration->cameras.size());
    // Cameras share state only with cameras of the same path, and every camera sharing a state
    // holds the same object: one camera of each kind per path is enough to search, which keeps
    // loading linear in the number of cameras.
    std::unordered_map<std::string, std::vector<const QxCamera::Impl*>> kindsByPath;
    std::map<std::string, std::shared_ptr<Port>> ports;
    for (const CameraConfig& config : configuration->cameras) {
        const int index = static_cast<int>(installed.size());
        auto camera = std::make_unique<QxCamera::Impl>(index, config, configuration->pacing);
        auto& kinds = kindsByPath[config.path];
        bool newKind = true;
        for (const QxCamera::Impl* earlier : kinds) {
            if (same_controls(earlier->config, config)) {
                camera->controls = earlier->controls;
                newKind = false;
            }
            if (same_device(earlier->config, config)) camera->device = earlier->device;
        }
        if (!camera->device) camera->device = make_device(config, configuration->upgradeTimeMs);
        if (newKind) kinds.push_back(camera.get());
        std::shared_ptr<Port>& port = ports[config.path];
        if (!port) port = std::make_shared<Port>();
        camera->port = port;
        installed.push_back(std::make_shared<QxCamera>(std::move(camera)));
    }
    m.configured = std::move(installed);
    m.cameras = m.configured;
}

// With `lock` on model_mutex() held; the configuration file is read without it.
Model& loaded_model(std::unique_lock<std::mutex>& lock) {
    Model& m = model();
    while (!m.loaded) {
        lock.unlock();
        std::string problem;
        const auto configuration = environment_configuration(&problem);
        lock.lock();
        if (!m.loaded) replace(m, configuration, problem);
    }
    return m;
}

}  // namespace

Port::Port() {
    PortRegistry& r = port_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.ports.insert(this);
}

Port::~Port() {
    PortRegistry& r = port_registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.ports.erase(this);
}

std::mutex& model_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

void lock_all_ports() {
    PortRegistry& r = port_registry();
    r.mutex.lock();
    for (Port* port : r.ports) port->mutex.lock();
}

void unlock_all_ports() {
    PortRegistry& r = port_registry();
    for (Port* port : r.ports) port->mutex.unlock();
    r.mutex.unlock();
}

std::unique_lock<std::mutex> lock_camera(const std::shared_ptr<QxCamera>& camera) {
    if (!camera) return {};
    return std::unique_lock<std::mutex>(camera->impl().port->mutex);
}

std::vector<std::shared_ptr<QxCamera>> cameras() {
    std::unique_lock<std::mutex> lock(model_mutex());
    return loaded_model(lock).cameras;
}

std::shared_ptr<QxCamera> camera_at(int index) {
    std::unique_lock<std::mutex> lock(model_mutex());
    const auto& all = loaded_model(lock).cameras;
    if (index < 0 || index >= static_cast<int>(all.size())) return nullptr;
    return all[static_cast<std::size_t>(index)];
}

std::string configuration_problem() {
    std::unique_lock<std::mutex> lock(model_mutex());
    return loaded_model(lock).problem;
}

void install_cameras(const std::optional<Configuration>& configuration, const std::string& problem) {
    std::lock_guard<std::mutex> lock(model_mutex());
    replace(model(), configuration, problem);
}

void forget_cameras() {
    std::lock_guard<std::mutex> lock(model_mutex());
    detach_all(model());
    model().loaded = false;
}

void unplug_cameras(const std::string& path) {
    std::unique_lock<std::mutex> lock(model_mutex());
    Model& m = loaded_model(lock);
    const auto indexes = configured_at(m, path);
    if (!m.unplugged.insert(path).second) return;
    for (const std::size_t i : indexes) {
        QxCamera::Impl& c = m.configured[i]->impl();
        detach(c, true);
        logger().info("camera {} '{}' at {} unplugged", c.index, c.config.name, path);
    }
    list_present(m);
}

void plug_cameras(const std::string& path) {
    std::unique_lock<std::mutex> lock(model_mutex());
    Model& m = loaded_model(lock);
    const auto indexes = configured_at(m, path);
    if (!m.unplugged.count(path)) return;
    // Built aside, as replace() does: running out of memory leaves the cameras unplugged.
    std::vector<std::shared_ptr<QxCamera>> plugged;
    std::vector<const QxCamera::Impl*> kinds;
    std::map<const Device*, std::shared_ptr<Device>> devices;  // old device -> its power-cycled copy
    const auto port = std::make_shared<Port>();
    for (const std::size_t i : indexes) {
        const QxCamera::Impl& old = m.configured[i]->impl();
        auto camera = std::make_unique<QxCamera::Impl>(old.index, old.config, old.paced);
        bool newKind = true;
        for (const QxCamera::Impl* earlier : kinds) {
            if (same_controls(earlier->config, camera->config)) {
                camera->controls = earlier->controls;
                newKind = false;
            }
        }
        std::shared_ptr<Device>& device = devices[old.device.get()];
        if (!device) {
            // An upgrade through an old handle may still be ending under the old port's lock.
            std::lock_guard<std::mutex> portLock(old.port->mutex);
            device = power_cycled(*old.device);
        }
        camera->device = device;
        camera->port = port;
        if (newKind) kinds.push_back(camera.get());
        plugged.push_back(std::make_shared<QxCamera>(std::move(camera)));
    }
    for (std::size_t k = 0; k < indexes.size(); ++k) {
        m.configured[indexes[k]] = plugged[k];
        const QxCamera::Impl& c = plugged[k]->impl();
        logger().info("camera {} '{}' at {} plugged in", c.index, c.config.name, path);
    }
    m.unplugged.erase(path);
    list_present(m);
}

const char* gone_reason(const QxCamera::Impl& camera) {
    return camera.unplugged ? "unplugged" : "the configuration was replaced";
}

bool device_open_elsewhere(const QxCamera::Impl& camera) {
    const QxCamera::Impl* open = camera.port->openHandle;
    return open != nullptr && open != &camera;
}

int camera_status(const char* function, const std::shared_ptr<QxCamera>& camera, Need need) {
    if (!camera) {
        logger().warn("{}: empty camera handle", function);
        return QXE_INVALID_HANDLE;
    }
    const QxCamera::Impl& c = camera->impl();
    if (c.detached) {
        logger().warn("{}: camera {} is gone ({})", function, c.index, gone_reason(c));
        return QXE_NO_DEVICE;
    }
    if (need == Need::open && !c.open) {
        logger().warn("{}: camera {} is not open", function, c.index);
        return QXE_NOT_OPEN;
    }
    return QXE_OK;
}

}  // namespace qx_emulator
