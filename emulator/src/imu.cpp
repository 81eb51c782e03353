// The IMU of a camera: its modes, accelerometer and gyroscope samples, the ISPU's orientation,
// temperature and sensor time. What each function does, its statuses and limits are in
// emulator/README.md ("IMU"); every function is journalled and can be scripted ("Test control").
#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

#include <QuorvexSDK/QuorvexSDK.h>

#include "camera_model.h"
#include "device.h"
#include "guard.h"
#include "log.h"
#include "script.h"

using namespace qx_emulator;

namespace {

using M = QX_IMU_MODE;
using S = QX_IMU_SELF_TEST_MODE;

constexpr double kGravity = 9.80665;  // m/s²
constexpr double kAccNoise = 0.02;    // m/s²
constexpr double kGyrNoise = 0.05;    // °/s
constexpr double kAccSelfTestShift = 0.5 * kGravity;
constexpr double kGyrSelfTestShift = 250.0;

constexpr double kTimeStep = 25e-6;  // s, the resolution of the IMU's timestamp counter
constexpr double kTemperatureStep = 1.0 / 256;
constexpr double kStartTemperature = 32.0;
constexpr double kSettledTemperature = 36.0;
constexpr double kWarmUpSeconds = 120.0;

constexpr double kPi = 3.14159265358979323846;
constexpr double kStartYaw = 30.0;
constexpr double kYawRate = 6.0;  // °/s
constexpr double kPitchAmplitude = 15.0;
constexpr double kPitchPeriod = 40.0;  // s
constexpr double kRollAmplitude = -10.0;
constexpr double kRollPeriod = 25.0;  // s

enum class Sensor { accelerometer, gyroscope };

const char* mode_name(M mode) {
    switch (mode) {
    case M::DISABLE: return "DISABLE";
    case M::ISPU: return "ISPU";
    case M::SELF_TEST: return "SELF_TEST";
    }
    return "?";
}

bool is_mode(M mode) {
    return mode == M::DISABLE || mode == M::ISPU || mode == M::SELF_TEST;
}

// With the camera's port locked: whether the camera's IMU can be used now.
int imu_status(const char* function, const QxCamera::Impl& c) {
    if (!c.config.imu) {
        logger().warn("{}: camera {} has no IMU", function, c.index);
        return QXE_NOT_SUPPORTED;
    }
    return device_status(function, c);
}

int running_status(const char* function, const QxCamera::Impl& c) {
    if (c.device->imu.mode == M::DISABLE) {
        logger().warn("{}: camera {}: the IMU is disabled", function, c.index);
        return QXE_IMU_DISABLED;
    }
    return QXE_OK;
}

double seconds_running(const ImuState& imu) {
    return std::chrono::duration<double>(Clock::now() - imu.start).count();
}

void start(ImuState& imu, M mode) {
    imu.mode = mode;
    imu.start = Clock::now();
    imu.draws = 0;
}

// Uniform in [-amplitude, amplitude]: splitmix64 of the draw's position, so the sequence
// restarts with the IMU and tests see the same noise on every run.
double noise(ImuState& imu, double amplitude) {
    std::uint64_t z = (imu.draws++ + 1) * 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    const double unit = static_cast<double>(z >> 11) / static_cast<double>(1ULL << 53);  // [0, 1)
    return amplitude * (2.0 * unit - 1.0);
}

int read_samples(const char* function, const std::shared_ptr<QxCamera>& camera, std::vector<float>& data,
                 QX_IMU_SELF_TEST_MODE selfTest, Sensor sensor) {
    Call call(function, {{"camera", as_value(camera)}, {"selfTest", as_value(selfTest)}});
    if (auto* s = call.scripted()) {
        s->write("data", data);
        return s->result<int>();
    }
    return with_camera(function, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        if (const int status = imu_status(function, c); status != QXE_OK) return status;
        if (selfTest != S::NORMAL && selfTest != S::POSITIVE && selfTest != S::NEGATIVE) {
            logger().warn("{}: camera {}: self-test mode {} is not allowed", function, c.index,
                          static_cast<int>(selfTest));
            return QXE_INVALID_ARGUMENT;
        }
        if (const int status = running_status(function, c); status != QXE_OK) return status;
        ImuState& imu = c.device->imu;
        if (selfTest != S::NORMAL && imu.mode != M::SELF_TEST) {
            logger().warn("{}: camera {}: a self-test sample needs SELF_TEST mode, the IMU runs in {}", function,
                          c.index, mode_name(imu.mode));
            return QXE_WRONG_IMU_MODE;
        }
        const bool acc = sensor == Sensor::accelerometer;
        const double shift = selfTest == S::NORMAL     ? 0.0
                             : selfTest == S::POSITIVE ? (acc ? kAccSelfTestShift : kGyrSelfTestShift)
                                                       : -(acc ? kAccSelfTestShift : kGyrSelfTestShift);
        const double still[3] = {0.0, 0.0, acc ? kGravity : 0.0};
        for (const double value : still) {
            data.push_back(static_cast<float>(value + shift + noise(imu, acc ? kAccNoise : kGyrNoise)));
        }
        return QXE_OK;
    });
}

int switch_mode(const char* function, const std::shared_ptr<QxCamera>& camera, QX_IMU_MODE mode, bool reboot) {
    Call call(function, {{"camera", as_value(camera)}, {"mode", as_value(mode)}});
    if (auto* s = call.scripted()) return s->result<int>();
    return with_camera(function, camera, Need::open, [&](QxCamera::Impl& c) -> int {
        if (const int status = imu_status(function, c); status != QXE_OK) return status;
        if (!is_mode(mode)) {
            logger().warn("{}: camera {}: {} is not an IMU mode", function, c.index, static_cast<int>(mode));
            return QXE_INVALID_ARGUMENT;
        }
        ImuState& imu = c.device->imu;
        if (reboot || imu.mode == M::DISABLE) start(imu, mode);
        else imu.mode = mode;
        logger().info("{}: camera {}: the IMU {} {}", function, c.index, reboot ? "restarts in" : "runs in",
                      mode_name(mode));
        return QXE_OK;
    });
}

// Angles in degrees; the quaternion of R = Rz(yaw) Ry(pitch) Rx(roll).
QxImuIspu orientation(double yaw, double pitch, double roll) {
    const double rad = kPi / 180.0 / 2.0;
    const double cy = std::cos(yaw * rad), sy = std::sin(yaw * rad);
    const double cp = std::cos(pitch * rad), sp = std::sin(pitch * rad);
    const double cr = std::cos(roll * rad), sr = std::sin(roll * rad);
    double w = cr * cp * cy + sr * sp * sy;
    double x = sr * cp * cy - cr * sp * sy;
    double y = cr * sp * cy + sr * cp * sy;
    double z = cr * cp * sy - sr * sp * cy;
    if (w < 0) {
        // -q is the same rotation; one sign keeps the readings continuous.
        w = -w, x = -x, y = -y, z = -z;
    }
    return {static_cast<float>(x),   static_cast<float>(y),     static_cast<float>(z),   static_cast<float>(w),
            static_cast<float>(yaw), static_cast<float>(pitch), static_cast<float>(roll)};
}

QxImuIspu ispu_pose(double t) {
    double yaw = std::fmod(kStartYaw + kYawRate * t + 180.0, 360.0);
    if (yaw < 0) yaw += 360.0;
    const double pitch = kPitchAmplitude * std::cos(2 * kPi * t / kPitchPeriod);
    const double roll = kRollAmplitude * std::cos(2 * kPi * t / kRollPeriod);
    return orientation(yaw - 180.0, pitch, roll);
}

template <class T, class Read>
int read_imu_value(const char* function, const std::shared_ptr<QxCamera>& camera, const char* outName, T& out,
                   Read read) {
    return read_value(function, camera, outName, out, [&](const QxCamera::Impl& c) -> int {
        if (const int status = imu_status(function, c); status != QXE_OK) return status;
        return read(c);
    });
}

}  // namespace

int QxGetSensorWorkMode(std::shared_ptr<QxCamera> camera, QX_SENSOR_MODE& mode) try {
    return read_imu_value(__func__, camera, "mode", mode, [&](const QxCamera::Impl& c) -> int {
        mode = c.device->imu.mode == M::DISABLE ? QX_SENSOR_MODE::STANDBY : QX_SENSOR_MODE::WORK;
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxEnableIMUMode(std::shared_ptr<QxCamera> camera, QX_IMU_MODE mode) try {
    return switch_mode(__func__, camera, mode, false);
} catch (...) {
    return contained<int>(__func__);
}

int QxRebootIMUMode(std::shared_ptr<QxCamera> camera, QX_IMU_MODE mode) try {
    return switch_mode(__func__, camera, mode, true);
} catch (...) {
    return contained<int>(__func__);
}

int QxGetIMUAccData(std::shared_ptr<QxCamera> camera, std::vector<float>& data, QX_IMU_SELF_TEST_MODE selfTest) try {
    return read_samples(__func__, camera, data, selfTest, Sensor::accelerometer);
} catch (...) {
    return contained<int>(__func__);
}

int QxGetIMUGyrData(std::shared_ptr<QxCamera> camera, std::vector<float>& data, QX_IMU_SELF_TEST_MODE selfTest) try {
    return read_samples(__func__, camera, data, selfTest, Sensor::gyroscope);
} catch (...) {
    return contained<int>(__func__);
}

int QxGetISPUData(std::shared_ptr<QxCamera> camera, QxImuIspu& ispu) try {
    return read_imu_value(__func__, camera, "ispu", ispu, [&](const QxCamera::Impl& c) -> int {
        if (const int status = running_status("QxGetISPUData", c); status != QXE_OK) return status;
        const ImuState& imu = c.device->imu;
        if (imu.mode != M::ISPU) {
            logger().warn("QxGetISPUData: camera {}: the ISPU reports in ISPU mode only, the IMU runs in {}",
                          c.index, mode_name(imu.mode));
            return QXE_WRONG_IMU_MODE;
        }
        ispu = ispu_pose(seconds_running(imu));
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetIMUTemperature(std::shared_ptr<QxCamera> camera, float& temperature) try {
    return read_imu_value(__func__, camera, "temperature", temperature, [&](const QxCamera::Impl& c) -> int {
        if (const int status = running_status("QxGetIMUTemperature", c); status != QXE_OK) return status;
        const double t = seconds_running(c.device->imu);
        const double celsius =
            kSettledTemperature - (kSettledTemperature - kStartTemperature) * std::exp(-t / kWarmUpSeconds);
        temperature = static_cast<float>(std::round(celsius / kTemperatureStep) * kTemperatureStep);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}

int QxGetIMUSensorTime(std::shared_ptr<QxCamera> camera, float& sensorTime) try {
    return read_imu_value(__func__, camera, "sensorTime", sensorTime, [&](const QxCamera::Impl& c) -> int {
        if (const int status = running_status("QxGetIMUSensorTime", c); status != QXE_OK) return status;
        sensorTime = static_cast<float>(std::floor(seconds_running(c.device->imu) / kTimeStep) * kTimeStep);
        return QXE_OK;
    });
} catch (...) {
    return contained<int>(__func__);
}
