// OSP profile files: QxLoadProfileConfig on open camera 0 of the built-in configuration with the
// flag ENABLED. A profile the library takes must load back unchanged from its canonical text,
// and is then activated.
#include <string>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::shared_ptr<QxCamera> camera = [] {
        auto opened = qx_fuzz::open_builtin_camera0();
        QX_FUZZ_CHECK(QxSetOSPProfileFlag(opened, QX_OSP_PROFILE_FLAG::ENABLED) == 0, "camera 0 takes no profiles");
        return opened;
    }();
    static const std::string canonicalPath = qx_fuzz::scratch_folder() + "/canonical";
    // Activation depends on the ISP values before it; start every input from the defaults.
    QxSetISPImageProcessingDefault(camera);
    std::string before;
    QX_FUZZ_CHECK(QxGetOSPProfileConfig(camera, before) == 0, "no profile text");
    qx_fuzz::write_input(data, size);
    if (QxLoadProfileConfig(camera, qx_fuzz::input_path()) != 0) {
        std::string after;
        QX_FUZZ_CHECK(QxGetOSPProfileConfig(camera, after) == 0 && after == before, "a refused profile changed it");
    } else {
        std::string canonical;
        QX_FUZZ_CHECK(QxGetOSPProfileConfig(camera, canonical) == 0, "no profile text after loading");
        qx_fuzz::write_file(canonicalPath, canonical);
        QX_FUZZ_CHECK(QxLoadProfileConfig(camera, canonicalPath) == 0, "the canonical text does not load");
        std::string again;
        QX_FUZZ_CHECK(QxGetOSPProfileConfig(camera, again) == 0 && again == canonical,
                      "the canonical text does not load back unchanged");
        QX_FUZZ_CHECK(QxActivateProfileStreaming(camera) == 0, "the profile's format cannot be selected");
        QxActivateProfileImageProcessing(camera);
    }
    qx_fuzz::forget_journal();
    return 0;
}
