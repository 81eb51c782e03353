"""Progress of long work (upgrades, recording, exports): a callable taking the amount done
(a percentage, or frames), or a tqdm-style bar (anything with update() and n) advanced to it."""

import sys
from collections.abc import Callable
from typing import Any, Protocol, runtime_checkable


@runtime_checkable
class ProgressBar(Protocol):
    """What quorvex needs of a progress bar such as tqdm's."""

    n: float

    def update(self, n: float = 1) -> object: ...


Progress = Callable[[int], object] | ProgressBar


def as_callback(progress: Progress | None, total: int | None = None) -> Callable[[int], object] | None:
    """A callable of the amount done, from either kind of progress; a bar without a total gets
    `total`."""
    if progress is None:
        return None
    if isinstance(progress, ProgressBar) and not callable(progress):
        bar = progress
        if total is not None and getattr(bar, "total", total) is None:
            setattr(bar, "total", total)

        def advance(done: int) -> None:
            bar.update(done - bar.n)

        return advance
    if callable(progress):
        return progress
    raise TypeError(f"progress must be a callable of the amount done or a progress bar, not {progress!r}")


class TerminalBar:
    """The command line's progress: tqdm on standard error when it is installed, else a line
    there redrawn in place. Call it with the amount done; close() ends the line."""

    def __init__(self, what: str, total: int | None, unit: str) -> None:
        self._what, self._total = what, total
        self._tqdm: Any = None
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self._tqdm = tqdm(desc=what, total=total, unit=unit, file=sys.stderr)

    def __call__(self, done: int) -> None:
        if self._tqdm is not None:
            self._tqdm.update(done - self._tqdm.n)
        elif done % 10 == 0 or done == self._total:
            total = f"/{self._total}" if self._total else ""
            print(f"\r{self._what}: {done}{total} frames", end="", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self._tqdm is not None:
            self._tqdm.close()
        else:
            print(file=sys.stderr)
