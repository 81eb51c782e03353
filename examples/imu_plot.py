"""Samples a camera's IMU for a few seconds and plots the samples to a PNG picture.

    python examples/imu_plot.py [--camera 0] [--seconds 3] [--rate 50] [--output out/imu.png]

Starts the IMU in ISPU mode, reads the accelerometer, the gyroscope, the ISPU's orientation
(yaw, pitch, roll) and the IMU's temperature `--rate` times a second, stops the IMU, prints a
summary and draws the four series over the IMU's sensor time with matplotlib.
"""

import argparse
import pathlib
import time

import matplotlib

matplotlib.use("Agg")  # draws into files only: no screen needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

import pyQuorvexSDK as qx  # noqa: E402

from open_camera import add_camera_option, check, opened_camera  # noqa: E402

FIGURE_INCHES = (10, 9)
DPI = 100

type Sample = tuple[float, npt.NDArray[np.float32], npt.NDArray[np.float32], tuple[float, float, float], float]
type Series = npt.NDArray[np.float64]


def sample(camera: qx.QxCamera) -> Sample:
    """One reading of every IMU series: time, acceleration, rotation rate, angles, temperature."""
    status, seconds = qx.QxGetIMUSensorTime(camera)
    check(status, "QxGetIMUSensorTime")
    status, acceleration = qx.QxGetIMUAccData(camera, qx.NORMAL)
    check(status, "QxGetIMUAccData")
    status, rotation = qx.QxGetIMUGyrData(camera, qx.NORMAL)
    check(status, "QxGetIMUGyrData")
    status, ispu = qx.QxGetISPUData(camera)
    check(status, "QxGetISPUData")
    status, temperature = qx.QxGetIMUTemperature(camera)
    check(status, "QxGetIMUTemperature")
    return seconds, acceleration[:3], rotation[:3], (ispu.yaw, ispu.pitch, ispu.roll), temperature


def record(camera: qx.QxCamera, seconds: float, rate: float) -> tuple[Series, Series, Series, Series, Series]:
    """Samples for `seconds` at `rate` per second; the IMU runs only meanwhile."""
    check(qx.QxEnableIMUMode(camera, qx.ISPU), "QxEnableIMUMode(ISPU)")
    samples = []
    try:
        start = time.monotonic()
        for n in range(max(1, round(seconds * rate))):
            time.sleep(max(0.0, start + n / rate - time.monotonic()))
            samples.append(sample(camera))
    finally:
        qx.QxEnableIMUMode(camera, qx.DISABLE)
    times, acceleration, rotation, angles, temperature = (np.array(column, dtype=float) for column in zip(*samples))
    return times, acceleration, rotation, angles, temperature


def plot(times: Series, acceleration: Series, rotation: Series, angles: Series, temperature: Series,
         title: str, path: pathlib.Path) -> None:
    figure, axes = plt.subplots(4, 1, sharex=True, figsize=FIGURE_INCHES, dpi=DPI, layout="constrained")
    for label, values in zip("xyz", acceleration.T):
        axes[0].plot(times, values, label=label)
    axes[0].set_ylabel("acceleration (m/s²)")
    for label, values in zip("xyz", rotation.T):
        axes[1].plot(times, values, label=label)
    axes[1].set_ylabel("rotation rate (°/s)")
    for label, values in zip(("yaw", "pitch", "roll"), angles.T):
        axes[2].plot(times, values, label=label)
    axes[2].set_ylabel("ISPU angle (°)")
    axes[3].plot(times, temperature, color="tab:red")
    axes[3].set_ylabel("temperature (°C)")
    axes[3].set_xlabel("IMU sensor time (s)")
    for axis in axes[:3]:
        axis.legend(loc="upper left", bbox_to_anchor=(1.01, 1))
    for axis in axes:
        axis.grid(True, alpha=0.3)
    figure.suptitle(title)
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_camera_option(parser)
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to sample (default 3)")
    parser.add_argument("--rate", type=float, default=50.0, help="samples per second (default 50)")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out/imu.png"),
                        help="picture to write (default out/imu.png)")
    args = parser.parse_args()
    if args.seconds <= 0 or args.rate <= 0:
        parser.error("--seconds and --rate must be above 0")

    with opened_camera(args.camera) as (camera, name):
        print(f"Sampling the IMU in ISPU mode for {args.seconds:g} s at {args.rate:g} per second")
        times, acceleration, rotation, angles, temperature = record(camera, args.seconds, args.rate)

    x, y, z = acceleration.mean(axis=0)
    print(f"{len(times)} samples over {times[-1] - times[0]:.2f} s of IMU time")
    print(f"mean acceleration (m/s²): x {x:.3f}, y {y:.3f}, z {z:.3f}")
    x, y, z = rotation.mean(axis=0)
    print(f"mean rotation rate (°/s): x {x:.3f}, y {y:.3f}, z {z:.3f}")
    for label, first, last in zip(("yaw", "pitch", "roll"), angles[0], angles[-1]):
        print(f"ISPU {label}: {first:.2f}° -> {last:.2f}°")
    print(f"temperature: {temperature[0]:.2f} -> {temperature[-1]:.2f} °C")
    plot(times, acceleration, rotation, angles, temperature, name, args.output)
    print(f"saved {args.output}")


if __name__ == "__main__":
    main()
