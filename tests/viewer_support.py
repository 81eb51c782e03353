"""Helpers of the viewer's tests: a real server in a thread, waiting, capture threads."""

import contextlib
import socket
import threading
import time

from quorvex.viewer.server import ViewerServer


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def running_server(app, **options):
    """The application served by uvicorn on 127.0.0.1 in a thread; yields the base URL."""
    server = ViewerServer(app, host="127.0.0.1", port=free_port(), **options)
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    deadline = time.monotonic() + 20
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            raise RuntimeError("the viewer did not start")
        time.sleep(0.05)
    try:
        yield f"http://127.0.0.1:{server.config.port}"
    finally:
        server.should_exit = True
        thread.join(20)
        assert not thread.is_alive(), "the viewer did not stop"


def capture_threads():
    return [t for t in threading.enumerate() if t.name.startswith("quorvex-viewer-camera") and t.is_alive()]


def wait_until(predicate, timeout=5.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def late_imu_sample(monkeypatch, index=0):
    """Makes the next IMU sample of camera `index` one whose thread reaches the camera only once
    an upgrade has begun programming it (and holds it), as a sample begun just before the
    upgrade can; returns an event set when that sample has begun and waits."""
    from quorvex.viewer.live import LiveCamera

    original = LiveCamera.imu_sample
    waiting = threading.Event()

    def imu_sample(self):
        if self.index == index and not waiting.is_set():
            waiting.set()
            wait_until(lambda: self.upgrade.percent > 0, timeout=60)
        return original(self)

    monkeypatch.setattr(LiveCamera, "imu_sample", imu_sample)
    return waiting
