// Route files: QxLoadRouteYaml, then QxActivateYamlRoutes on the route set, twice, from no
// active links.
#include <map>
#include <string>
#include <utility>

#include <QuorvexEmulator/Control.h>

#include "fuzz_common.h"

namespace {

void check_single_feeds() {
    std::map<std::pair<std::string, int>, int> feeds;
    for (const auto& link : qx_emulator::active_routes()) {
        const int count = ++feeds[std::make_pair(link.sinkEntity, link.sinkPad)];
        QX_FUZZ_CHECK(count == 1, "a sink pad is fed by two active links");
    }
}

bool same(const std::vector<qx_emulator::MediaLink>& a, const std::vector<qx_emulator::MediaLink>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].sourceEntity != b[i].sourceEntity || a[i].sourcePad != b[i].sourcePad ||
            a[i].sinkEntity != b[i].sinkEntity || a[i].sinkPad != b[i].sinkPad)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (qx_fuzz::quiet_library(), true);
    (void)ready;
    QxResetActiveRoutes();
    qx_fuzz::write_input(data, size);
    const std::shared_ptr<QxRoute> routes = QxLoadRouteYaml(qx_fuzz::input_path());
    if (routes) {
        const int first = QxActivateYamlRoutes(routes);
        check_single_feeds();
        const auto active = qx_emulator::active_routes();
        if (first == 0) {
            QX_FUZZ_CHECK(QxActivateYamlRoutes(routes) == 0 && same(active, qx_emulator::active_routes()),
                          "activating an active route set again changed something");
        } else {
            QX_FUZZ_CHECK(active.empty(), "a refused activation changed the active links");
        }
    }
    qx_fuzz::forget_journal();
    return 0;
}
