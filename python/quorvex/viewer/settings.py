"""A camera's settings as a file, and its OSP profile, for the viewer.

A settings file is JSON: the camera it was saved from ("camera", its information as a
recording's header holds it), the format it streamed ("format", taken where the camera offers
it) and "controls", every
control by name with its value, or true where the camera chose it (automatic), as the
package notes the controls a reconnecting stream restores.
"""

from __future__ import annotations

import dataclasses
import os
import re
import tempfile
import time

from quorvex import Control, Format, QuorvexError
from quorvex._library import qx
from quorvex.controls import _isp_name

from .live import LiveCamera

WRITER = "quorvex viewer"
PROFILE_FLAGS = ("disabled", "enabled", "enabled_and_save")
_PROFILE_LINE = re.compile(r"^\s*([^:#]+?)\s*:\s*([^#]*?)\s*(?:#.*)?$")


class Refused(Exception):
    """The camera refused part of a change; what it took was undone where it could be."""


def saved(camera: LiveCamera) -> dict[str, object]:
    """The camera's settings now, as a settings file holds them."""
    controls: dict[str, int | bool] = {}
    with camera.lock:
        for name, control in camera.camera.controls.items():
            try:
                # An ISP control's mode is a control of its own, saved with the rest.
                controls[name] = True if control.auto else control.value
            except QuorvexError:
                continue  # one the camera will not read now is left out, as Controls.snapshot does
        fmt = camera.format
    return {"writer": WRITER, "saved": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            "camera": dataclasses.asdict(camera.info), "format": str(fmt) if fmt else None, "controls": controls}


@dataclasses.dataclass
class Plan:
    """What a settings file sets on a camera: (control, value or True), and the names it skips."""

    settings: list[tuple[Control, int | bool]]
    skipped: list[str]
    source: str
    format: Format | None = None


def plan(camera: LiveCamera, body: dict[str, object]) -> Plan:
    """Checks a whole settings file against the camera's controls before any is set; ValueError
    naming every problem."""
    controls = body.get("controls")
    if not isinstance(controls, dict) or not controls:
        raise ValueError('a settings file holds "controls": {"NAME": value, or true for automatic, ...}')
    source = body.get("camera")
    source = source if isinstance(source, dict) else {}
    # Another model's ranges differ (a webcam's brightness 0..255 against -64..64): what does
    # not fit this camera is skipped. From the same model, it is a fault of the file.
    model = (source.get("product"), source.get("hardware_id"))
    other_model = bool(source) and model != (camera.info.product, camera.info.hardware_id)
    problems: list[str] = []
    settings: list[tuple[Control, int | bool]] = []
    skipped: list[str] = []
    have = camera.camera.controls
    for name, setting in controls.items():
        if name not in have:
            skipped.append(f"{name} (this camera has no such control)")
            continue
        control = have[name]
        misfit = None
        if setting is True:
            if name not in camera.automatic_modes:
                misfit = f"{name} has no automatic mode"
        elif isinstance(setting, bool) or not isinstance(setting, int):
            problems.append(f"{name} takes a whole number or true (automatic), not {setting!r}")
        else:
            try:
                control.validate(setting)
            except ValueError as error:
                misfit = str(error)
        if misfit is None:
            settings.append((control, setting))
        elif other_model:
            skipped.append(f"{name} ({misfit} on this camera)")
        else:
            problems.append(misfit)
    fmt = None
    wanted = body.get("format")
    if wanted is not None and not isinstance(wanted, str):
        problems.append(f'"format" is text such as "YUY2:640x480@60", not {wanted!r}')
    elif wanted is not None:
        fmt = next((offered for offered in camera.formats if str(offered) == wanted), None)
        if fmt is None:
            skipped.append(f"format {wanted} (this camera does not offer it)")
    if problems:
        raise ValueError("the settings were not applied: " + "; ".join(problems))
    named = " ".join(str(part) for part in (source.get("name"), model[0] and f"({model[0]})") if part)
    return Plan(settings, skipped, named, fmt)


def _set(camera: LiveCamera, control: Control, setting: int | bool) -> None:
    if setting is True:
        camera.set_automatic(control, True)
    else:
        assert not isinstance(setting, bool)
        control.value = setting


def _apply_all(camera: LiveCamera, settings: list[tuple[Control, int | bool]]
               ) -> list[tuple[Control, int | bool, QuorvexError]]:
    """Sets them all, in rounds: a value the camera refuses only beside another (an ISP minimum
    above the maximum in force) is tried again once the others are set. Returns the refused."""
    pending = settings
    while True:
        refused = []
        for control, setting in pending:
            try:
                _set(camera, control, setting)
            except QuorvexError as error:
                refused.append((control, setting, error))
        if not refused or len(refused) == len(pending):
            return refused
        pending = [(control, setting) for control, setting, _ in refused]


def apply(camera: LiveCamera, chosen: Plan) -> dict[str, object]:
    """Sets the planned values; when the camera refuses some, puts back those it had and raises
    Refused. Answers with the controls as they are then and what was skipped."""
    with camera.lock:
        before: list[tuple[Control, int | bool]] = [(control, True if control.auto else control.value)
                                                    for control, _ in chosen.settings]
        modes = {mode.name: mode for control, setting in chosen.settings if setting is True
                 for mode in [camera.mode_control(control)] if mode is not None}
        before += [(mode, mode.value) for mode in modes.values()]
        refused = _apply_all(camera, chosen.settings)
        if refused:
            _apply_all(camera, before)
            camera.read_controls()
            named = "; ".join(f"{control.name} {'automatic' if setting is True else setting}: {error}"
                              for control, setting, error in refused)
            raise Refused(f"the camera refused {named}; the values it had are back")
        controls = camera.read_controls()
    if chosen.format is not None and chosen.format != camera.format:
        camera.choose(chosen.format)
    return {"controls": controls, "applied": len(chosen.settings), "skipped": chosen.skipped, "source": chosen.source,
            "format": str(chosen.format) if chosen.format else None}


# The OSP profile


def profile(camera: LiveCamera) -> dict[str, object]:
    """The profile's flag and text; NotSupportedError on a camera without profiles."""
    with camera.lock:
        found = camera.camera.profile
        return {"flag": found.flag, "config": found.config}


def set_profile_flag(camera: LiveCamera, flag: str) -> dict[str, object]:
    if flag not in PROFILE_FLAGS:
        raise ValueError(f"a profile's flag is one of {', '.join(PROFILE_FLAGS)}, not {flag!r}")
    with camera.lock:
        camera.camera.profile.flag = flag  # type: ignore[assignment]  # checked above
    return profile(camera)


def _profile_format(camera: LiveCamera, text: str) -> Format:
    """The format a profile's text names, checked against the camera; each ISP value checked
    against its control, so that a bad file is refused with what is wrong in it (the library
    only tells that it is invalid)."""
    fmt: Format | None = None
    controls = camera.camera.controls
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        match = _PROFILE_LINE.match(line)
        if match is None or not match.group(2):
            raise ValueError(f"line {number} of the profile is not KEY: VALUE")
        key, value = match.groups()
        if key == "format":
            fields = re.fullmatch(r"(\w+)\s+(\d+)x(\d+)@(\d+)", value)
            if fields is None:
                raise ValueError(f"line {number}: the format is FOURCC WIDTHxHEIGHT@FPS, not {value!r}")
            try:
                fmt = camera.find_format(fields[1], int(fields[2]), int(fields[3]), int(fields[4]))
            except LookupError as error:
                raise ValueError(f"line {number}: {error}") from None
            continue
        member = qx.QX_ISP_IMAGE_PROPERTIES.__members__.get(key)
        if member is None or member == qx.ISP_IMAGE_PROP_MAX:
            raise ValueError(f"line {number}: {key!r} is neither format nor an ISP property")
        if not re.fullmatch(r"[+-]?\d+", value):
            raise ValueError(f"line {number}: {key} takes a whole number, not {value!r}")
        name = _isp_name(member)
        if name in controls:
            try:
                controls[name].validate(int(value))
            except ValueError as error:
                raise ValueError(f"line {number}: {error}") from None
    if fmt is None:
        raise ValueError("the profile names no format (a line such as \"format: YUY2 1280x720@30\")")
    return fmt


def load_profile(camera: LiveCamera, data: bytes) -> dict[str, object]:
    """Makes `data` the camera's profile, through a private temporary file removed afterwards."""
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise ValueError("a profile is plain ASCII text") from None
    _profile_format(camera, text)
    with tempfile.TemporaryDirectory(prefix="quorvex-viewer-") as folder:
        path = os.path.join(folder, "profile.yaml")
        with open(path, "wb") as file:
            file.write(data)
        with camera.lock:
            try:
                camera.camera.profile.load(path)
            except QuorvexError as error:  # the status only: the message names the temporary file
                if error.status_name == "QXE_PROFILE_DISABLED":
                    raise
                raise Refused(f"{error.function} refused the profile: {error.status_name or error.status}") from None
    return profile(camera)


def activate_profile(camera: LiveCamera, what: str) -> dict[str, object]:
    """Activates the profile's streaming format (the picture goes on in it) or its ISP values."""
    found = camera.camera.profile
    if what == "image_processing":
        with camera.lock:
            found.activate_image_processing()
        return {**profile(camera), "controls": camera.read_controls()}
    if what != "streaming":
        raise LookupError(f"a profile activates 'streaming' or 'image_processing', not {what!r}")
    fmt = _profile_format(camera, profile(camera)["config"])  # type: ignore[arg-type]
    camera.capture.pause()  # the camera refuses this while streaming
    try:
        with camera.lock:
            found.activate_streaming()
        camera.format = fmt
    finally:
        camera.capture.resume()
    return {**profile(camera), "format": str(fmt)}
