// Product information images: QxFlashProductInfo on open camera 0 of the built-in
// configuration (a version 3 boot-data header, whose checksums must follow the new name).
#include <cstddef>
#include <cstring>
#include <memory>

#include "fuzz_common.h"

namespace {

unsigned byte_sum(const QxHeaderV3& header, std::size_t count) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return sum & 0xFFFF;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::shared_ptr<QxCamera> camera = qx_fuzz::open_builtin_camera0();
    qx_fuzz::write_input(data, size);
    if (QxFlashProductInfo(camera, qx_fuzz::input_path()) == 0) {
        std::unique_ptr<QxHeaderV3> header;
        QX_FUZZ_CHECK(QxGetBootdataHeaderV3(camera, header) == 0, "no boot-data header after flashing");
        constexpr std::size_t kNameOffset = 40;
        QX_FUZZ_CHECK(std::strncmp(header->productName, reinterpret_cast<const char*>(data) + kNameOffset,
                                   sizeof header->productName) == 0,
                      "the header does not hold the flashed product name");
        QX_FUZZ_CHECK(header->fixChecksum == byte_sum(*header, offsetof(QxHeaderV3, fixChecksum)),
                      "fixChecksum does not follow the flashed name");
        QX_FUZZ_CHECK(header->totalChecksum ==
                          ((byte_sum(*header, offsetof(QxHeaderV3, totalChecksum)) + header->contentChecksum) & 0xFFFF),
                      "totalChecksum does not follow the flashed name");
    }
    qx_fuzz::forget_journal();
    return 0;
}
