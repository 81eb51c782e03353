// Firmware images for the sensor: QxUpgradeSensorFW on open camera 0 of the built-in
// configuration.
#include <string>

#include "fuzz_common.h"
#include "fuzz_firmware.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::shared_ptr<QxCamera> camera = qx_fuzz::open_builtin_camera0();
    qx_fuzz::write_input(data, size);
    qx_fuzz::Progress progress;
    const QX_UPGRADE_RESULT result = QxUpgradeSensorFW(camera, qx_fuzz::input_path(), progress.function());
    progress.check(result == QX_UPGRADE_RESULT::QX_UPGRADE_SUCCESS);
    if (result == QX_UPGRADE_RESULT::QX_UPGRADE_SUCCESS) {
        std::string version;
        QX_FUZZ_CHECK(QxGetSensorFirmwareVersion(camera, version) == 0 && version == qx_fuzz::image_version(data, size),
                      "the sensor firmware version is not the upgraded image's");
    }
    qx_fuzz::forget_journal();
    return 0;
}
