"""Image-processing controls by readable name: the camera's UVC and ISP properties."""

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Literal

from ._library import qx
from ._feature import Feature
from .errors import QuorvexError

if TYPE_CHECKING:
    from .camera import Camera

ControlKind = Literal["uvc", "isp"]

# Flags of the UVC functions: the camera chooses the value, or keeps the one set.
_AUTOMATIC = 1
_MANUAL = 2

# Readable names where the library's run words together; ISP controls carry an "isp_" prefix,
# since the two families share names (brightness, contrast, ...) but not ranges.
_RENAMED = {"COLORENABLE": "color_enable", "WHITEBALANCE": "white_balance"}


def _uvc_name(member: qx.QX_UVC_IMAGE_PROPERTIES) -> str:
    short = member.name.removeprefix("UVC_IMAGE_")
    return _RENAMED.get(short, short.lower())


def _isp_name(member: qx.QX_ISP_IMAGE_PROPERTIES) -> str:
    short = member.name.removeprefix("ISP_IMAGE_").removeprefix("ISP_")
    return "isp_" + short.lower().replace("whitebalance", "white_balance")


class Control(Feature):
    """One control: `value` reads and writes the camera; `min`, `max`, `step` and `default` are
    its range. Values outside the range or off its step grid raise ValueError before the
    library is called."""

    def __init__(
        self,
        camera: "Camera",
        name: str,
        kind: ControlKind,
        prop: qx.QX_UVC_IMAGE_PROPERTIES | qx.QX_ISP_IMAGE_PROPERTIES,
        limits: tuple[int, int, int, int],
    ) -> None:
        super().__init__(camera)
        self.name = name
        self.kind: ControlKind = kind
        self._property = prop
        self.min, self.max, self.step, self.default = limits

    def _read(self) -> tuple[int, int]:
        if isinstance(self._property, qx.QX_UVC_IMAGE_PROPERTIES):
            return self._values(qx.QxGetUVCImageProcessing, self._property, detail=self.name)
        return self._values(qx.QxGetISPImageProcessing, self._property, detail=self.name)

    @property
    def value(self) -> int:
        return self._read()[0]

    @value.setter
    def value(self, value: int) -> None:
        self.validate(value)
        if isinstance(self._property, qx.QX_UVC_IMAGE_PROPERTIES):
            self._call(qx.QxSetUVCImageProcessing, self._property, value, _MANUAL, detail=self.name)
        else:
            self._call(qx.QxSetISPImageProcessing, self._property, value, detail=self.name)
        self._camera._remember(self.name, value)

    @property
    def auto(self) -> bool:
        """UVC controls: whether the camera chooses the value. Setting a value makes it manual."""
        if self.kind != "uvc":
            return False
        return self._read()[1] == _AUTOMATIC

    @auto.setter
    def auto(self, automatic: bool) -> None:
        if not isinstance(self._property, qx.QX_UVC_IMAGE_PROPERTIES):
            raise ValueError(f"{self.name} is an ISP control, which has no automatic mode")
        if automatic:
            self._call(qx.QxSetUVCImageProcessing, self._property, self.default, _AUTOMATIC, detail=f"{self.name} automatic")
            self._camera._remember(self.name, True)
        else:
            self.value = self.value

    def validate(self, value: int) -> None:
        """ValueError unless the camera takes `value`: a whole number in range, on the step grid."""
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{self.name} takes a whole number, not {value!r}")
        if not self.min <= value <= self.max:
            raise ValueError(f"{self.name} must lie in [{self.min}, {self.max}], not {value}")
        if self.step > 0 and (value - self.min) % self.step != 0:
            raise ValueError(f"{self.name} moves in steps of {self.step} from {self.min}; {value} is between steps")

    def reset(self) -> None:
        """Back to the default value (and for UVC, to manual)."""
        self.value = self.default

    def __repr__(self) -> str:
        return (
            f"<quorvex.Control {self.name} ({self.kind}) range {self.min}..{self.max} step {self.step}, "
            f"default {self.default}>"
        )


class Controls(Feature, Mapping[str, Control]):
    """The camera's controls by name, only those the camera has (read when first used)."""

    def __init__(self, camera: "Camera") -> None:
        super().__init__(camera)
        self._controls: dict[str, Control] | None = None

    def _all(self) -> dict[str, Control]:
        if self._controls is None:
            self._controls = self._discover()
        return self._controls

    def _discover(self) -> dict[str, Control]:
        handle = self._camera.handle
        found: dict[str, Control] = {}
        for uvc in qx.QX_UVC_IMAGE_PROPERTIES.__members__.values():
            if uvc != qx.UVC_IMAGE_PROP_MAX:
                self._add(found, "uvc", uvc, _uvc_name(uvc), qx.QxGetUVCImageProcessingRange(handle, uvc))
        for isp in qx.QX_ISP_IMAGE_PROPERTIES.__members__.values():
            if isp == qx.ISP_IMAGE_PROP_MAX:
                continue
            limits = qx.QxGetISPImageProcessingRange(handle, isp)
            # A camera without an ISP refuses every ISP control (the binding reports any refusal of
            # this getter as -1): when the first is refused, asking for the rest would only fill
            # the library's log with the same warning.
            if limits[0] != 0 and not any(control.kind == "isp" for control in found.values()):
                break
            self._add(found, "isp", isp, _isp_name(isp), limits)
        return found

    def _add(
        self,
        found: dict[str, Control],
        kind: ControlKind,
        prop: qx.QX_UVC_IMAGE_PROPERTIES | qx.QX_ISP_IMAGE_PROPERTIES,
        name: str,
        limits: tuple[int, int, int, int, int],
    ) -> None:
        """Adds the control when the camera has it: its range call succeeds."""
        status, low, high, step, default = limits
        if status == 0:
            found[name] = Control(self._camera, name, kind, prop, (low, high, step, default))

    def __getitem__(self, name: str) -> Control:
        try:
            return self._all()[name]
        except KeyError:
            raise KeyError(f"the camera has no control {name!r}; it has: {', '.join(self._all())}") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._all())

    def __len__(self) -> int:
        return len(self._all())

    def snapshot(self) -> dict[str, int]:
        """Every control's value now, by name; a control the camera lists but will not read now
        is left out."""
        values: dict[str, int] = {}
        for name, control in self.items():
            try:
                values[name] = control.value
            except QuorvexError:
                continue
        return values

    def reset_isp(self) -> None:
        """Every ISP control back to its default, in one library call."""
        self._call(qx.QxSetISPImageProcessingDefault)
