"""Two identical cameras stream with reconnect=True while one is unplugged and plugged in again.

    python examples/reconnect_two_cameras.py [--seconds 3]

The emulated library is given two cameras of the same model (same name and hardware ID, told
apart by their unique IDs); each is read on a thread of its own, and a third thread unplugs the
second camera for a moment. Prints, per camera, the frames read before the unplugging and after
the plugging in, how often its stream reconnected, and the frames it missed: Stream.dropped, and
the gaps in the frames' sequence numbers, which agree.
"""

import argparse
import threading
import time

import qx_emulator

import quorvex

MODEL = """
  - name: Rig Camera
    path: {path}
    interface: usb
    product: zeni
    hardware_id: "RIG-0001"
    formats:
      - {{format: YUY2, sizes: ["320x240"], fps: [30]}}
"""
PATHS = ("/dev/video20", "/dev/video21")


class Reader(threading.Thread):
    """Reads one camera until `until`, counting its frames before the unplugging and after the
    plugging in."""

    def __init__(self, path: str, unique_id: str, until: float, unplugged: threading.Event,
                 plugged: threading.Event) -> None:
        super().__init__(name=f"read {path}")
        self.path, self.unique_id, self.until = path, unique_id, until
        self.unplugged, self.plugged = unplugged, plugged
        self.before = self.after = self.reconnects = self.dropped = self.gaps = 0
        self.failure: Exception | None = None

    def run(self) -> None:
        try:
            with quorvex.open(unique_id=self.unique_id) as camera, camera.stream(timeout=2.0, reconnect=True) as stream:
                last = None
                # On to the end, and to a frame after the plugging in however late that came.
                while time.monotonic() < self.until or not self.after:
                    frame = stream.read()
                    if not self.unplugged.is_set():
                        self.before += 1
                    elif self.plugged.is_set():
                        self.after += 1
                    if last is not None and frame.sequence is not None:
                        self.gaps += frame.sequence - last - 1
                    last = frame.sequence
                self.reconnects, self.dropped = stream.reconnects, stream.dropped
        except Exception as failure:  # reported by the main thread
            self.failure = failure


def unplug_for_a_moment(path: str, at: float, unplugged: threading.Event, plugged: threading.Event) -> None:
    time.sleep(max(0.0, at - time.monotonic()))
    unplugged.set()
    qx_emulator.unplug(path)
    time.sleep(0.5)
    qx_emulator.plug(path)
    plugged.set()


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to read (default 3)")
    args = parser.parse_args()
    if not args.seconds >= 1.5:
        raise SystemExit("--seconds must be at least 1.5")
    quorvex.set_log_level("error")  # the library's warnings about the camera gone are expected here
    qx_emulator.configure("cameras:" + "".join(MODEL.format(path=path) for path in PATHS))
    # The hardware ID is the model's, so it names both cameras; the unique ID tells them apart.
    try:
        quorvex.open(hardware_id="RIG-0001")
    except LookupError as ambiguous:
        print(ambiguous)
    unique_ids = {info.path: info.unique_id for info in quorvex.cameras()}
    began = time.monotonic()
    unplugged, plugged = threading.Event(), threading.Event()
    readers = [Reader(path, unique_ids[path] or "", began + args.seconds, unplugged, plugged) for path in PATHS]
    for reader in readers:
        reader.start()
    unplugger = threading.Thread(target=unplug_for_a_moment,
                                 args=(PATHS[1], began + args.seconds / 3, unplugged, plugged))
    unplugger.start()
    for thread in (*readers, unplugger):
        thread.join()
    for reader in readers:
        if reader.failure is not None:
            raise SystemExit(f"{reader.path}: {reader.failure}")
        print(f"{reader.path} ({reader.unique_id}): {reader.before} frames before the unplugging, {reader.after} after the plugging in, "
              f"reconnects {reader.reconnects}, dropped {reader.dropped}, missing from the sequence {reader.gaps}")


if __name__ == "__main__":
    main()
