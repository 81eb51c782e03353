"""The base of a camera's feature objects (controls, firmware, IMU, ...): calls on its handle."""

from collections.abc import Callable
from typing import TYPE_CHECKING

from . import errors

if TYPE_CHECKING:
    from .camera import Camera


class Feature:
    """Calls library functions with the camera's handle first; a failing status raises the
    exception named after the function."""

    def __init__(self, camera: "Camera") -> None:
        self._camera = camera

    def _call(self, function: Callable[..., int], *args: object, detail: str = "") -> None:
        errors.call(function, self._camera.handle, *args, detail=detail)

    def _value[T](self, function: Callable[..., tuple[int, T]], *args: object, detail: str = "") -> T:
        return errors.value(function, self._camera.handle, *args, detail=detail)

    def _values[*Ts](self, function: Callable[..., tuple[int, *Ts]], *args: object, detail: str = "") -> tuple[*Ts]:
        return errors.values(function, self._camera.handle, *args, detail=detail)
