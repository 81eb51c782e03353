"""Progress reporting for long library calls: a callable taking the percentage done, or a
tqdm-style bar (anything with update() and n), advanced to the percentage."""

from collections.abc import Callable
from typing import Protocol, runtime_checkable


@runtime_checkable
class ProgressBar(Protocol):
    """What quorvex needs of a progress bar such as tqdm's."""

    n: float

    def update(self, n: float = 1) -> object: ...


Progress = Callable[[int], object] | ProgressBar


def percent_callback(progress: Progress | None) -> Callable[[int], object] | None:
    """A callable of the percentage done for the library, from either kind of progress."""
    if progress is None:
        return None
    if isinstance(progress, ProgressBar) and not callable(progress):
        bar = progress
        if getattr(bar, "total", 100) is None:
            setattr(bar, "total", 100)

        def advance(percent: int) -> None:
            bar.update(percent - bar.n)

        return advance
    if callable(progress):
        return progress
    raise TypeError(f"progress must be a callable of the percentage done or a progress bar, not {progress!r}")
