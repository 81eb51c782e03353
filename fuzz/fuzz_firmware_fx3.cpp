// Firmware images for the USB controller: QxUpgradeFX3FW on camera 0 of the built-in
// configuration, put into USB program mode before every input.
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "fuzz_firmware.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::shared_ptr<QxCamera> camera = qx_fuzz::open_builtin_camera0();
    qx_fuzz::write_input(data, size);
    QX_FUZZ_CHECK(QxGotoUSBProgramMode(camera) == 0, "camera 0 cannot enter USB program mode");
    qx_fuzz::Progress progress;
    const int status = QxUpgradeFX3FW(QX_FX3_FW_TARGET::FW_TARGET_RAM, qx_fuzz::input_path(), progress.function());
    progress.check(status == 0);
    if (status == 0) {
        std::string version;
        QX_FUZZ_CHECK(QxGetUSBFirmwareVersion(camera, version) == 0 && version == qx_fuzz::image_version(data, size),
                      "the USB firmware version is not the upgraded image's");
    }
    qx_fuzz::forget_journal();
    return 0;
}
