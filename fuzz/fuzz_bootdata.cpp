// Boot-data header files: QxGetBootdataHeaderV2FromFile and QxGetBootdataHeaderV3FromFile on
// the same input.
#include <cstring>
#include <memory>

#include "fuzz_common.h"

namespace {

template <class Header>
void check(int status, const std::unique_ptr<Header>& header, const std::uint8_t* data, std::size_t size,
           unsigned version) {
    const bool fits = size >= sizeof(Header) && data[0] == version;
    QX_FUZZ_CHECK((status == 0) == fits, "a header file was taken or refused against its version byte and size");
    if (status == 0) {
        QX_FUZZ_CHECK(header != nullptr && std::memcmp(header.get(), data, sizeof(Header)) == 0,
                      "the header read differs from the file's first bytes");
    } else {
        QX_FUZZ_CHECK(header == nullptr, "a refused header file filled the record");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = (qx_fuzz::quiet_library(), true);
    (void)ready;
    qx_fuzz::write_input(data, size);
    std::unique_ptr<QxHeaderV2> v2;
    check(QxGetBootdataHeaderV2FromFile(qx_fuzz::input_path(), v2), v2, data, size, 2);
    std::unique_ptr<QxHeaderV3> v3;
    check(QxGetBootdataHeaderV3FromFile(qx_fuzz::input_path(), v3), v3, data, size, 3);
    qx_fuzz::forget_journal();
    return 0;
}
