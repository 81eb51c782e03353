// Sensor configuration binaries: QxDecodeSensorConfig to a JSON file in the scratch folder.
#include <string>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (qx_fuzz::quiet_library(), true);
    (void)ready;
    static const std::string jsonPath = qx_fuzz::scratch_folder() + "/decoded.json";
    qx_fuzz::write_input(data, size);
    ::unlink(jsonPath.c_str());
    if (QxDecodeSensorConfig(qx_fuzz::input_path(), jsonPath) == 0) {
        // The register count sits at offset 8, little-endian.
        const std::size_t count = data[8] | data[9] << 8 | data[10] << 16 | static_cast<std::size_t>(data[11]) << 24;
        const auto json = nlohmann::json::parse(qx_fuzz::read_file(jsonPath), nullptr, false);
        QX_FUZZ_CHECK(!json.is_discarded(), "the decoded file is not JSON");
        QX_FUZZ_CHECK(json.contains("registers") && json["registers"].size() == count,
                      "the JSON does not list every register of the file");
    } else {
        QX_FUZZ_CHECK(::access(jsonPath.c_str(), F_OK) != 0, "a refused file left a JSON file behind");
    }
    qx_fuzz::forget_journal();
    return 0;
}
