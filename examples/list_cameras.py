"""Lists the attached cameras with their device information."""

import pyQuorvexSDK as qx


def describe(index: int) -> str:
    camera = qx.QxInitialCameraDevice(index)
    if camera is None:
        return f"  [{index}] no camera"
    status = qx.QxOpen(camera)
    if status != 0:
        return f"  [{index}] cannot open the camera (status {status})"
    try:
        lines = [f"  [{index}] {qx.QxGetDeviceName(camera)[1]}"]
        lines.append(f"      path:          {qx.QxGetDevicePath(camera)[1]}")
        lines.append(f"      interface:     {qx.QxGetDeviceInterfaceType(camera)[1].name}")
        lines.append(f"      product type:  {qx.QxGetDeviceProductType(camera)[1].name}")
        lines.append(f"      hardware ID:   {qx.QxGetHardwareID(camera)[1]}")
        lines.append(f"      USB speed:     {qx.QxGetUSBDeviceSpeed(camera)[1].name}")
        lines.append(f"      Quorvex:       {'yes' if qx.QxIsQuorvexCamera(camera) == 1 else 'no'}")
        return "\n".join(lines)
    finally:
        qx.QxClose(camera)


def main() -> None:
    qx.HelloQuorvexSDK()
    status, devices = qx.QxDiscoverCameraDevices()
    if status != 0:
        raise SystemExit(f"camera discovery failed with status {status}")
    print(f"{len(devices)} camera(s) found")
    for index in range(len(devices)):
        print(describe(index))


if __name__ == "__main__":
    main()
