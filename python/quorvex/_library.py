"""The one place quorvex imports pyQuorvexSDK, after asking it to release the interpreter lock.

The module reads QX_RELEASE_GIL once, when it is first imported. "camera" lets a thread that
waits for a frame (or any other library call) leave the interpreter to other threads and to
an event loop, while the calls on one camera still run one at a time. A program that imported
pyQuorvexSDK before quorvex already fixed the mode: quorvex cannot change it then, and warns
when that mode holds the lock.
"""

import os
import sys
import warnings

MODE_VARIABLE = "QX_RELEASE_GIL"
_HOLDING = {"", "0"}


class LockModeWarning(RuntimeWarning):
    """pyQuorvexSDK was imported before quorvex in a mode that holds the interpreter lock."""


def _choose_mode() -> str:
    """The mode the module runs in, as far as this process can tell."""
    imported_before = "pyQuorvexSDK" in sys.modules
    if imported_before:
        mode = os.environ.get(MODE_VARIABLE, "")
        if mode in _HOLDING:
            warnings.warn(
                "pyQuorvexSDK was imported before quorvex without QX_RELEASE_GIL=camera: waiting reads "
                "hold the interpreter lock, so other threads and asyncio event loops stop while a "
                "camera waits. Import quorvex first, or set QX_RELEASE_GIL=camera before starting Python.",
                LockModeWarning,
                stacklevel=4,
            )
        return mode or "0"
    return os.environ.setdefault(MODE_VARIABLE, "camera")


release_mode = _choose_mode()

import pyQuorvexSDK as qx  # noqa: E402  (the mode must be chosen before the first import)

LOG_LEVELS = ("trace", "debug", "info", "warn", "error", "critical", "off")


def set_log_level(level: str) -> None:
    """The least severe of the library's log lines (on standard error) that are written, for the
    whole process: one of LOG_LEVELS, "warn" by default; "off" writes none."""
    if level not in LOG_LEVELS:
        raise ValueError(f"the log level is one of {', '.join(LOG_LEVELS)}, not {level!r}")
    qx.QxSetLogLevel(getattr(qx, f"QX_LOG_LEVEL_{level.upper()}"))


__all__ = ["LOG_LEVELS", "LockModeWarning", "MODE_VARIABLE", "qx", "release_mode", "set_log_level"]
