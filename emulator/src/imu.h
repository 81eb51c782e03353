// The IMU on a camera's board. Its state lives in the camera's Device (so handles of one path
// share it) and is guarded by the port lock like the rest of the device.
#pragma once

#include <chrono>
#include <cstdint>

#include <QuorvexSDK/QxEnums.h>

namespace qx_emulator {

struct ImuState {
    QX_IMU_MODE mode = QX_IMU_MODE::DISABLE;
    // When the IMU last started: enabled while disabled, or rebooted. Sensor time, the
    // temperature's warm-up and the ISPU's motion count from here.
    std::chrono::steady_clock::time_point start;
    std::uint64_t draws = 0;  // noise values drawn since start: the position in the noise sequence
};

}  // namespace qx_emulator
