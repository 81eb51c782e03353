"""How many frames per second the viewer shows, for 1920x1080 YUY2 and MJPG on emulated camera 0.

    python benchmarks/viewer_benchmark.py [--seconds 5] [--clients 1]

Serves the viewer with uvicorn on a free port of 127.0.0.1 and, for each format in turn,
reads its multipart MJPEG stream from another process, as a browser does, for `--seconds`, counting the pictures that
arrive. Printed side by side: the camera's own rate, the rate the viewer's capture loop
reports, the rate a client receives, and client / camera, the share of the camera's frames
that reach the page. YUY2 frames are converted and encoded to JPEG; MJPG frames pass through.
Goal: client / camera at least 0.95 for every format.
"""

import argparse
import contextlib
import http.client
import json
import pathlib
import sys
import multiprocessing
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from viewer_support import running_server  # noqa: E402

from quorvex.viewer.server import create_app  # noqa: E402

FORMATS = [("YUY2", 1920, 1080, 60), ("YUY2", 1920, 1080, 30), ("MJPG", 1920, 1080, 60), ("MJPG", 1920, 1080, 30)]
BOUNDARY = b"--quorvexframe"
GOAL = 0.95


def request(base: str, method: str, path: str, body: dict | None = None) -> dict:
    host, port = base.removeprefix("http://").split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    with contextlib.closing(connection):
        connection.request(method, path, body=json.dumps(body) if body else None,
                           headers={"Content-Type": "application/json"})
        response = connection.getresponse()
        payload = json.loads(response.read())
        if response.status != 200:
            raise SystemExit(f"{method} {path}: {response.status} {payload}")
        return payload


def watch(base: str, seconds: float, counts: "multiprocessing.Array[int]", slot: int) -> None:  # type: ignore[type-arg]
    """Reads the stream like an <img> and counts the pictures of `seconds`. Runs in a process of
    its own, so that the client's reading does not compete with the server for one interpreter."""
    host, port = base.removeprefix("http://").split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    connection.request("GET", "/api/cameras/0/stream.mjpg")
    response = connection.getresponse()
    tail = b""
    response.read(1)  # the first picture is on its way: warm-up over
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        chunk = tail + response.read1(1 << 16)
        counts[slot] += chunk.count(BOUNDARY)
        tail = chunk[-len(BOUNDARY):]
    connection.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--clients", type=int, default=1)
    args = parser.parse_args()

    processes = multiprocessing.get_context("spawn")
    with running_server(create_app([0])) as base:
        print(f"{'format':<22}{'camera fps':>11}{'capture fps':>13}{'client fps':>12}{'client/camera':>15}")
        missed = []
        for pixel_format, width, height, fps in FORMATS:
            request(base, "POST", "/api/cameras/0/format",
                    {"pixel_format": pixel_format, "width": width, "height": height, "fps": fps})
            counts = processes.Array("l", args.clients)
            watchers = [processes.Process(target=watch, args=(base, args.seconds, counts, slot))
                        for slot in range(args.clients)]
            for watcher in watchers:
                watcher.start()
            time.sleep(args.seconds * 0.8)
            capture_fps = request(base, "GET", "/api/cameras/0")["stats"]["fps"]
            for watcher in watchers:
                watcher.join()
            client_fps = min(counts) / args.seconds
            label = f"{pixel_format} {width}x{height}@{fps}"
            print(f"{label:<22}{fps:>11}{capture_fps:>13.1f}{client_fps:>12.1f}{client_fps / fps:>14.2f}x")
            if client_fps / fps < GOAL:
                missed.append(label)
    print(f"goal: client / camera >= {GOAL} for every format: "
          + (f"MISSED ({', '.join(missed)})" if missed else "met"))


if __name__ == "__main__":
    main()
