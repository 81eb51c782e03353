"""Exceptions for the library's failing statuses, one small hierarchy users catch."""

import builtins
from collections.abc import Callable

from ._library import qx

# The names of the library's int statuses, for messages; the emulated library documents them
# (emulator/README.md, "Status codes"), and a test keeps this table equal to its constants.
STATUS_NAMES: dict[int, str] = {
    -1: "QXE_FAILED",
    -2: "QXE_INVALID_HANDLE",
    -3: "QXE_NOT_OPEN",
    -4: "QXE_ALREADY_OPEN",
    -5: "QXE_BUSY",
    -6: "QXE_INVALID_ARGUMENT",
    -7: "QXE_NOT_SUPPORTED",
    -8: "QXE_IO_ERROR",
    -9: "QXE_NO_DEVICE",
    -10: "QXE_NOT_STREAMING",
    -11: "QXE_NO_ACK",
    -12: "QXE_NO_REGISTER",
    -13: "QXE_READ_ONLY",
    -14: "QXE_NO_FX3_DEVICE",
    -15: "QXE_IMAGE_TRUNCATED",
    -16: "QXE_BAD_IMAGE",
    -17: "QXE_BAD_CHECKSUM",
    -18: "QXE_WRONG_TARGET",
    -19: "QXE_WRONG_PRODUCT",
    -20: "QXE_NO_BOOTDATA",
    -21: "QXE_ROUTE_CONFLICT",
    -22: "QXE_IMU_DISABLED",
    -23: "QXE_WRONG_IMU_MODE",
    -24: "QXE_PROFILE_DISABLED",
}


# The status of a camera that is gone (unplugged): DisconnectedError, and what stopping or closing
# such a camera answers.
NO_DEVICE = -9


class QuorvexError(Exception):
    """A library call failed: `status` (its number), `status_name` (or None) and `function`."""

    def __init__(self, function: str, status: int, status_name: str | None, detail: str = "") -> None:
        self.function = function
        self.status = status
        self.status_name = status_name
        named = f"{status_name} ({status})" if status_name else str(status)
        message = f"{function} failed with status {named}"
        super().__init__(f"{message}: {detail}" if detail else message)


class TimeoutError(QuorvexError, builtins.TimeoutError):
    """No frame came within the timeout."""


class BusyError(QuorvexError):
    """The camera is in use: streaming, open through another handle, in program mode or upgrading."""


class NotOpenError(QuorvexError):
    """The camera must be open for this call."""


class NotSupportedError(QuorvexError):
    """The camera has no such feature."""


class DisconnectedError(QuorvexError):
    """The camera is gone: unplugged, or replaced by the library. Close it; open it again once
    it is back (or stream with reconnect=True)."""


_CLASSES: dict[str, type[QuorvexError]] = {
    "QXE_BUSY": BusyError,
    "QX_CAM_OCCUPIED": BusyError,
    "QXE_NOT_OPEN": NotOpenError,
    "QXE_NOT_SUPPORTED": NotSupportedError,
    "QXE_NO_DEVICE": DisconnectedError,
    "QX_TIMEOUT": TimeoutError,
}


def error(function: str, status: int | qx.QX_CAPTURE_RESULT | qx.QX_UPGRADE_RESULT, detail: str = "") -> QuorvexError:
    """The exception for a failing status: an int, or a member of the two result enumerations."""
    if isinstance(status, int):
        number, name = status, STATUS_NAMES.get(status)
    else:
        number, name = int(status), status.name
    cls = _CLASSES.get(name or "", QuorvexError)
    return cls(function, number, name, detail)


def check(function: str, status: int, detail: str = "") -> None:
    """Raises the status's exception unless it is 0."""
    if status != 0:
        raise error(function, status, detail)


def checked[T](function: str, result: tuple[int, T], detail: str = "") -> T:
    """The value of a (status, value) result; the status's exception unless it is 0."""
    status, value = result
    check(function, status, detail)
    return value


def call(function: Callable[..., int], *args: object, detail: str = "") -> None:
    """Calls a library function that returns a status; raises the status's exception unless it is 0."""
    check(function.__name__, function(*args), detail)


def value[T](function: Callable[..., tuple[int, T]], *args: object, detail: str = "") -> T:
    """Calls a library function that returns (status, value): the value, or the status's exception."""
    return checked(function.__name__, function(*args), detail)


def values[*Ts](function: Callable[..., tuple[int, *Ts]], *args: object, detail: str = "") -> tuple[*Ts]:
    """Calls a library function that returns (status, value, ...): the values, or the status's exception."""
    status, *rest = function(*args)
    check(function.__name__, status, detail)
    return tuple(rest)  # type: ignore[return-value]  # the values after the status, in order
