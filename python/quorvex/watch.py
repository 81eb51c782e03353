"""Cameras coming and going: quorvex.watch() polls discovery and yields what changed."""

import asyncio
import dataclasses
import math
import threading
import time
from collections import deque
from collections.abc import AsyncIterator, Iterator
from dataclasses import dataclass

from ._library import qx
from .camera import CameraInfo, _describe, _discover


@dataclass(frozen=True)
class CameraAdded:
    """A camera that appeared (plugged in)."""

    camera: CameraInfo


@dataclass(frozen=True)
class CameraRemoved:
    """A camera that went away (unplugged); `camera` is as it was last seen."""

    camera: CameraInfo


CameraEvent = CameraAdded | CameraRemoved


def _key(info: CameraInfo) -> tuple[str | None, ...]:
    # What tells a camera apart for good: a replugged camera is the same one.
    if info.unique_id is not None:
        return ("id", info.unique_id)
    return ("path", info.path, info.name)


class Watch(Iterator[CameraEvent], AsyncIterator[CameraEvent]):
    """Polls discovery every `interval` seconds and yields a CameraAdded or CameraRemoved per
    change; the cameras present when it was made are not reported. Iterate it with `for` or
    `async for` (the async form polls on a worker thread)."""

    def __init__(self, interval: float = 1.0) -> None:
        if isinstance(interval, bool) or not isinstance(interval, (int, float)) or not 0 < interval < math.inf:
            raise ValueError(f"interval must be a positive number of seconds, not {interval!r}")
        self.interval = float(interval)
        self._lock = threading.Lock()  # one poll at a time
        # What each handle told when first seen. The library hands out the same handle object for
        # a device for as long as it is there (kept here, so that the object stays the same), so
        # a camera is opened only once, when it appears; one open in another process, which
        # answers nothing, keeps what it told then.
        self._seen: list[tuple[qx.QxCamera, CameraInfo]] = []
        self._present = self._look()
        self._pending: deque[CameraEvent] = deque()
        self._next_poll = time.monotonic() + self.interval

    def poll(self) -> list[CameraEvent]:
        """Looks now: the changes since the last look (also taken by neither iteration)."""
        with self._lock:
            now = self._look()
            before, self._present = self._present, now
        removed = [CameraRemoved(info) for key, info in before.items() if key not in now]
        added = [CameraAdded(info) for key, info in now.items() if key not in before]
        return removed + added

    def _look(self) -> dict[tuple[str | None, ...], CameraInfo]:
        # A failing discovery raises: taken for "no cameras", it would report every camera removed.
        names = _discover()
        seen: list[tuple[qx.QxCamera, CameraInfo]] = []
        for index, name in enumerate(names):
            handle = qx.QxInitialCameraDevice(index)
            if handle is None:
                continue
            known = next((info for old, info in self._seen if old is handle), None)
            info = _describe(index, handle, name) if known is None else dataclasses.replace(known, index=index)
            seen.append((handle, info))
        self._seen = seen
        present: dict[tuple[str | None, ...], CameraInfo] = {}
        for _, info in seen:
            present.setdefault(_key(info), info)
        return present

    def _wait(self) -> float:
        """Seconds until the next poll is due, and the due time moved on by one interval."""
        now = time.monotonic()
        delay = max(0.0, self._next_poll - now)
        self._next_poll = max(self._next_poll, now) + self.interval
        return delay

    def __iter__(self) -> "Watch":
        return self

    def __next__(self) -> CameraEvent:
        while not self._pending:
            time.sleep(self._wait())
            self._pending.extend(self.poll())
        return self._pending.popleft()

    def __aiter__(self) -> "Watch":
        return self

    async def __anext__(self) -> CameraEvent:
        while not self._pending:
            await asyncio.sleep(self._wait())
            self._pending.extend(await asyncio.to_thread(self.poll))
        return self._pending.popleft()

    def __repr__(self) -> str:
        return f"<quorvex.Watch every {self.interval} s, {len(self._present)} cameras>"


def watch(interval: float = 1.0) -> Watch:
    """Cameras plugged in and unplugged from now on, as CameraAdded and CameraRemoved events,
    discovery polled every `interval` seconds (a positive number):

        for event in quorvex.watch():
            print(event)

    `async for` works too, polling off the event loop. Making it reads the cameras present once
    (opening each for a moment, as cameras() does); later polls open only cameras not seen before."""
    return Watch(interval)
