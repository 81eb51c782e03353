"""Lists every UVC and ISP image-processing control of a camera with its range and value.

    python examples/list_controls.py [--camera 0]

For each control prints its range (min, max, step, default), the value in use and its flag,
or why it is not available. The UVC flag is 1 for automatic and 2 for manual; the ISP flag
is 1 while the value is the default and 0 once it was changed.
"""

import argparse
from collections.abc import Callable

import pyQuorvexSDK as qx

from open_camera import add_camera_option, opened_camera

HEADING = f"  {'control':<26}{'min':>9}{'max':>9}{'step':>6}{'default':>9}{'value':>9}  flag"
UVC_FLAGS = {1: "automatic", 2: "manual"}
ISP_FLAGS = {0: "changed", 1: "default"}


# One signature for the UVC and the ISP functions, whose property enumerations differ.
type RangeGetter[P] = Callable[[qx.QxCamera, P], tuple[int, int, int, int, int]]
type ValueGetter[P] = Callable[[qx.QxCamera, P], tuple[int, int, int]]


def properties[P: (qx.QX_UVC_IMAGE_PROPERTIES, qx.QX_ISP_IMAGE_PROPERTIES)](enumeration: type[P]) -> list[P]:
    """The members of a property enumeration in value order, without its PROP_MAX end marker."""
    members = enumeration.__members__.values()
    return sorted((m for m in members if not m.name.endswith("PROP_MAX")), key=int)


def describe[P: (qx.QX_UVC_IMAGE_PROPERTIES, qx.QX_ISP_IMAGE_PROPERTIES)](
    camera: qx.QxCamera, prop: P, get_range: RangeGetter[P], get_value: ValueGetter[P], flags: dict[int, str]
) -> tuple[str, bool]:
    """One line for one control, and whether the camera has it."""
    name = prop.name.removeprefix("UVC_").removeprefix("ISP_").removeprefix("IMAGE_")
    status, minimum, maximum, step, default = get_range(camera, prop)
    if status != 0:
        return f"  {name:<26}not supported (status {status})", False
    limits = f"  {name:<26}{minimum:>9}{maximum:>9}{step:>6}{default:>9}"
    status, value, flag = get_value(camera, prop)
    if status != 0:
        return f"{limits}  cannot read the value (status {status})", True
    return f"{limits}{value:>9}  {flag} {flags.get(flag, '?')}", True


def section[P: (qx.QX_UVC_IMAGE_PROPERTIES, qx.QX_ISP_IMAGE_PROPERTIES)](
    camera: qx.QxCamera, title: str, enumeration: type[P],
    get_range: RangeGetter[P], get_value: ValueGetter[P], flags: dict[int, str],
) -> list[str]:
    """The report of one family of controls; a single line when the camera has none of them."""
    described = [describe(camera, prop, get_range, get_value, flags) for prop in properties(enumeration)]
    if not any(supported for _, supported in described):
        return [f"{title}: none, the camera supports none of them"]
    return [f"{title}:", HEADING] + [line for line, _ in described]


def list_controls(camera: qx.QxCamera) -> list[str]:
    """The lines of the report: the UVC controls, then the ISP controls."""
    uvc = section(camera, "UVC controls", qx.QX_UVC_IMAGE_PROPERTIES,
                  qx.QxGetUVCImageProcessingRange, qx.QxGetUVCImageProcessing, UVC_FLAGS)
    isp = section(camera, "ISP controls", qx.QX_ISP_IMAGE_PROPERTIES,
                  qx.QxGetISPImageProcessingRange, qx.QxGetISPImageProcessing, ISP_FLAGS)
    return uvc + isp


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_camera_option(parser)
    args = parser.parse_args()

    # The library warns about each control a camera lacks; this listing reports them itself.
    qx.QxSetLogLevel(qx.QX_LOG_LEVEL_ERROR)
    with opened_camera(args.camera) as (camera, _):
        for line in list_controls(camera):
            print(line)


if __name__ == "__main__":
    main()
