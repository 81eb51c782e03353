// The media entities, route sets loaded from YAML files and the links they make active. What each
// function does, its statuses and limits are in emulator/README.md ("Media routes"); every
// function is journalled and can be scripted ("Test control").
#include "routes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <yaml-cpp/yaml.h>

#include <QuorvexSDK/QuorvexSDK.h>

#include "files.h"
#include "guard.h"
#include "limits.h"
#include "log.h"
#include "script.h"
#include "yaml_input.h"

QxRoute::QxRoute(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
QxRoute::~QxRoute() = default;

namespace qx_emulator {
namespace {

enum class PadKind { sink, source };

struct PadInfo {
    const char* entity;
    int pad;
    PadKind kind;
};

constexpr PadInfo kPads[] = {
    {"ar0521 10-0036", 0, PadKind::source},
    {"csi2-rx", 0, PadKind::sink},
    {"csi2-rx", 1, PadKind::source},
    {"ap1302", 0, PadKind::sink},
    {"ap1302", 2, PadKind::source},
    {"video0", 0, PadKind::sink},
    {"video2", 0, PadKind::sink},
};

const char* kind_name(PadKind kind) {
    return kind == PadKind::sink ? "sink" : "source";
}

const PadInfo* find_pad(const std::string& entity, int pad) {
    for (const PadInfo& p : kPads) {
        if (entity == p.entity && pad == p.pad) return &p;
    }
    return nullptr;
}

// "0 (sink), 1 (source)", or empty for an unknown entity.
std::string pads_of(const std::string& entity) {
    std::string pads;
    for (const PadInfo& p : kPads) {
        if (entity != p.entity) continue;
        if (!pads.empty()) pads += ", ";
        pads += std::to_string(p.pad) + " (" + kind_name(p.kind) + ")";
    }
    return pads;
}

std::string describe(const MediaLink& l) {
    return "'" + l.sourceEntity + "':" + std::to_string(l.sourcePad) + " -> '" + l.sinkEntity +
           "':" + std::to_string(l.sinkPad);
}

struct LinkOrder {
    bool operator()(const MediaLink& a, const MediaLink& b) const {
        return std::tie(a.sourceEntity, a.sourcePad, a.sinkEntity, a.sinkPad) <
               std::tie(b.sourceEntity, b.sourcePad, b.sinkEntity, b.sinkPad);
    }
};

using LinkSet = std::set<MediaLink, LinkOrder>;

struct ActiveRoutes {
    std::mutex mutex;
    LinkSet links;
};

ActiveRoutes& active() {
    static ActiveRoutes* instance = new ActiveRoutes;  // never destroyed, as model()
    return *instance;
}

std::uint64_t next_route_id() {
    static std::atomic<std::uint64_t> next{1};
    return next++;
}

Value route_value(const std::shared_ptr<QxRoute>& routes) {
    if (!routes) return std::monostate{};
    return static_cast<std::int64_t>(routes->impl().id);
}

struct RouteError {
    int line;  // 1-based; 0 when unknown
    std::string problem;
};

int line_of(const YAML::Mark& mark) {
    return mark.line >= 0 ? mark.line + 1 : 0;
}

[[noreturn]] void fail(const YAML::Node& at, std::string problem) {
    throw RouteError{line_of(at.Mark()), std::move(problem)};
}

struct Field {
    YAML::Node key;
    YAML::Node value;
};

// The entries of the mapping `node`, which must have every key of `required` and no key
// outside `required` and `optional`.
std::map<std::string, Field> fields_of(const YAML::Node& node, const std::string& what,
                                       std::initializer_list<const char*> required,
                                       std::initializer_list<const char*> optional = {}) {
    std::map<std::string, Field> fields;
    for (const auto& entry : node) {
        const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : std::string();
        bool known = false;
        for (const auto& list : {required, optional}) {
            for (const char* name : list) known = known || key == name;
        }
        if (!known) fail(entry.first, what + ": unknown key '" + key + "'");
        if (!fields.emplace(key, Field{entry.first, entry.second}).second)
            fail(entry.first, what + ": duplicate key '" + key + "'");
    }
    for (const char* name : required) {
        if (!fields.count(name)) fail(node, what + ": missing key '" + name + "'");
    }
    return fields;
}

std::string scalar_of(const Field& f, const std::string& what) {
    if (f.value.IsNull()) fail(f.key, what + " has no value");
    if (!f.value.IsScalar()) fail(f.key, what + " must be a single value, not a list or mapping");
    return f.value.Scalar();
}

int pad_number(const Field& f, const std::string& what) {
    const std::string text = scalar_of(f, what);
    constexpr std::size_t kMaxDigits = 4;
    if (text.empty() || text.size() > kMaxDigits || text.find_first_not_of("0123456789") != std::string::npos)
        fail(f.value, what + " is '" + text + "', not a pad number");
    return std::stoi(text);
}

std::pair<std::string, int> parse_endpoint(const Field& f, const std::string& what, PadKind expected) {
    if (!f.value.IsMap()) fail(f.key, what + " must be a mapping like {entity: csi2-rx, pad: 0}");
    const auto fields = fields_of(f.value, what, {"entity", "pad"});
    const Field& entityField = fields.at("entity");
    const Field& padField = fields.at("pad");
    const std::string entity = scalar_of(entityField, what + " 'entity'");
    const int pad = pad_number(padField, what + " 'pad'");
    const std::string pads = pads_of(entity);
    if (pads.empty()) fail(entityField.value, what + ": unknown entity '" + entity + "'");
    const PadInfo* info = find_pad(entity, pad);
    if (info == nullptr)
        fail(padField.value, what + ": '" + entity + "' has no pad " + std::to_string(pad) + " (pads: " + pads + ")");
    if (info->kind != expected) {
        fail(padField.value, what + ": pad " + std::to_string(pad) + " of '" + entity + "' is a " +
                                 kind_name(info->kind) + " pad, not a " + kind_name(expected) + " pad");
    }
    return {entity, pad};
}

bool parse_enabled(const Field& f, const std::string& what) {
    const std::string text = scalar_of(f, what);
    if (text == "true") return true;
    if (text == "false") return false;
    fail(f.value, what + " is '" + text + "', expected true or false");
}

std::vector<RouteLink> parse_routes(const std::string& text) {
    const YAML::Node root = load_one_document(text);
    if (!root.IsMap()) fail(root, "expected a mapping with a 'routes' list");
    const auto top = fields_of(root, "top level", {"routes"});
    const Field& list = top.at("routes");
    if (!list.value.IsSequence()) fail(list.key, "'routes' must be a list");

    std::vector<RouteLink> links;
    LinkSet seen;
    int number = 0;
    for (const auto& item : list.value) {
        const std::string where = "route " + std::to_string(++number);
        if (!item.IsMap()) fail(item, where + ": expected a mapping with keys 'source', 'sink' and optionally 'enabled'");
        const auto fields = fields_of(item, where, {"source", "sink"}, {"enabled"});
        RouteLink route;
        std::tie(route.link.sourceEntity, route.link.sourcePad) =
            parse_endpoint(fields.at("source"), where + " 'source'", PadKind::source);
        std::tie(route.link.sinkEntity, route.link.sinkPad) =
            parse_endpoint(fields.at("sink"), where + " 'sink'", PadKind::sink);
        if (const auto enabled = fields.find("enabled"); enabled != fields.end())
            route.enabled = parse_enabled(enabled->second, where + " 'enabled'");
        if (route.link.sourceEntity == route.link.sinkEntity)
            fail(item, where + ": " + describe(route.link) + " links '" + route.link.sourceEntity + "' to itself");
        if (!seen.insert(route.link).second) fail(item, where + ": " + describe(route.link) + " is listed twice");
        links.push_back(std::move(route));
    }
    return links;
}

void report(const std::string& path, int line, const std::string& problem) {
    if (line > 0) logger().warn("QxLoadRouteYaml: bad route file {}, line {}: {}", path, line, problem);
    else logger().warn("QxLoadRouteYaml: bad route file {}: {}", path, problem);
}

}  // namespace

std::mutex& routes_mutex() {
    return active().mutex;
}

void clear_active_routes() {
    ActiveRoutes& a = active();
    std::lock_guard<std::mutex> lock(a.mutex);
    a.links.clear();
}

std::vector<MediaLink> active_routes() {
    ActiveRoutes& a = active();
    std::lock_guard<std::mutex> lock(a.mutex);
    return {a.links.begin(), a.links.end()};
}

}  // namespace qx_emulator

using namespace qx_emulator;

int QxResetActiveRoutes() try {
    Call call(__func__, {});
    if (auto* s = call.scripted()) return s->result<int>();
    clear_active_routes();
    logger().info("QxResetActiveRoutes: no active links");
    return QXE_OK;
} catch (...) {
    return contained<int>(__func__);
}

std::shared_ptr<QxRoute> QxLoadRouteYaml(const std::string& path) try {
    Call call(__func__, {{"path", as_value(path)}});
    if (auto* s = call.scripted()) return s->result<std::shared_ptr<QxRoute>>();

    std::string text;
    if (read_file_start(__func__, path, limits::kRouteFileBytes + 1, text) != QXE_OK) return nullptr;
    if (text.size() > limits::kRouteFileBytes) {
        report(path, 0, "the file is larger than " + std::to_string(limits::kRouteFileBytes) + " bytes");
        return nullptr;
    }
    try {
        auto impl = std::make_unique<QxRoute::Impl>();
        impl->links = parse_routes(text);
        impl->id = next_route_id();
        logger().info("QxLoadRouteYaml: route set {} from {}: {} link(s)", impl->id, path, impl->links.size());
        return std::make_shared<QxRoute>(std::move(impl));
    } catch (const RouteError& error) {
        report(path, error.line, error.problem);
    } catch (const YAML::Exception& error) {
        report(path, line_of(error.mark), error.msg);
    } catch (const std::exception& error) {
        report(path, 0, error.what());
    }
    return nullptr;
} catch (...) {
    return contained<std::shared_ptr<QxRoute>>(__func__);
}

int QxActivateYamlRoutes(std::shared_ptr<QxRoute> routes) try {
    Call call(__func__, {{"routes", route_value(routes)}});
    if (auto* s = call.scripted()) return s->result<int>();
    if (!routes) {
        logger().warn("QxActivateYamlRoutes: empty route handle");
        return QXE_INVALID_HANDLE;
    }
    const QxRoute::Impl& set = routes->impl();
    ActiveRoutes& a = active();
    std::lock_guard<std::mutex> lock(a.mutex);
    LinkSet next = a.links;
    for (const RouteLink& r : set.links) {
        if (!r.enabled) next.erase(r.link);
    }
    for (const RouteLink& r : set.links) {
        if (r.enabled) next.insert(r.link);
    }
    std::map<std::pair<std::string, int>, const MediaLink*> feeds;
    for (const MediaLink& link : next) {
        const auto [fed, added] = feeds.emplace(std::pair{link.sinkEntity, link.sinkPad}, &link);
        if (!added) {
            logger().warn("QxActivateYamlRoutes: route set {}: {} and {} would both feed sink pad {} of '{}'; "
                          "nothing changed",
                          set.id, describe(*fed->second), describe(link), link.sinkPad, link.sinkEntity);
            return QXE_ROUTE_CONFLICT;
        }
    }
    a.links = std::move(next);
    logger().info("QxActivateYamlRoutes: route set {} activated, {} link(s) active", set.id, a.links.size());
    return QXE_OK;
} catch (...) {
    return contained<int>(__func__);
}
