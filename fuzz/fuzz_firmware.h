// What both firmware targets check: the progress an upgrade reports, and the version it installs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace qx_fuzz {

// Records the progress values an upgrade reports.
class Progress {
public:
    std::function<void(int)> function() {
        return [this](int percent) { seen_.push_back(percent); };
    }

    // A finished upgrade reports 0, 1, ..., 100 in order; a refused one reports nothing.
    void check(bool upgraded) const {
        if (!upgraded) {
            QX_FUZZ_CHECK(seen_.empty(), "a refused upgrade reported progress");
            return;
        }
        QX_FUZZ_CHECK(seen_.size() == 101, "an upgrade did not report 101 progress values");
        for (std::size_t i = 0; i < seen_.size(); ++i)
            QX_FUZZ_CHECK(seen_[i] == static_cast<int>(i), "progress values out of order");
    }

private:
    std::vector<int> seen_;
};

// The version text of an image the library took: its 16-byte field up to the first NUL.
inline std::string image_version(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kOffset = 12, kSize = 16;
    QX_FUZZ_CHECK(size >= kOffset + kSize, "an image shorter than its header was taken");
    std::string field(reinterpret_cast<const char*>(data) + kOffset, kSize);
    return field.substr(0, field.find('\0'));
}

}  // namespace qx_fuzz
