"""Media routes: links between the system's media entities (not tied to one camera)."""

import os

from ._library import qx
from .errors import call, error


class Routes:
    """A route set loaded from a YAML file; activate() applies it."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        handle = qx.QxLoadRouteYaml(self.path)
        if handle is None:
            # The library logs why; it returns no status.
            raise error("QxLoadRouteYaml", -1, f"{self.path} was refused (the library's log says why)")
        self._handle: qx.QxRoute = handle

    def activate(self) -> None:
        call(qx.QxActivateYamlRoutes, self._handle, detail=self.path)


def load_routes(path: str | os.PathLike[str]) -> Routes:
    return Routes(path)


def reset_routes() -> None:
    """Removes every active link."""
    call(qx.QxResetActiveRoutes)
