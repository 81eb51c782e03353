"""How many frames per second `quorvex bridge` delivers to one client, for 1920x1080 YUY2 and MJPG
on emulated camera 0.

    python benchmarks/bridge_benchmark.py [--seconds 5]

For each format in turn, runs a quorvex.bridge.Bridge on a free port of 127.0.0.1 and, from
another process (so that the client does not compete with the bridge for one interpreter),
subscribes to the camera's image topic and counts the messages of `--seconds`. Printed side by
side: the camera's rate, the rate the bridge read, the rate the client received, and client /
camera, the share of the camera's frames that reach the client. YUY2 frames are converted and
encoded to JPEG; MJPG frames pass through. Goal: client / camera at least 0.95 for every format.
"""

import argparse
import json
import multiprocessing
import struct
import time

from websockets.sync.client import connect

from quorvex.bridge import Bridge

FORMATS = ["YUY2:1920x1080@30", "MJPG:1920x1080@30", "YUY2:1920x1080@60", "MJPG:1920x1080@60"]
TOPIC = "/camera0/image/compressed"
GOAL = 0.95


def watch(url: str, seconds: float, rate: "multiprocessing.Array[float]") -> None:  # type: ignore[type-arg]
    """Subscribes to the image topic and measures, for `seconds` after the first message, the rate
    of messages between the first and the last one counted: rate[0]."""
    with connect(url, subprotocols=["foxglove.sdk.v1", "foxglove.websocket.v1"], max_size=None) as socket:
        socket.recv(10)  # serverInfo
        channels = {channel["topic"]: channel["id"] for channel in json.loads(socket.recv(10))["channels"]}
        socket.send(json.dumps({"op": "subscribe", "subscriptions": [{"id": 1, "channelId": channels[TOPIC]}]}))
        while not isinstance(socket.recv(10), bytes):
            pass  # the first picture is here: warm-up over
        first = time.monotonic()
        end, last, count = first + seconds, first, 0
        while (left := end - time.monotonic()) > 0:
            try:
                message = socket.recv(left)
            except TimeoutError:
                break
            if isinstance(message, bytes) and struct.unpack_from("<B", message)[0] == 1:
                last, count = time.monotonic(), count + 1
        rate[0] = count / (last - first) if count else 0.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="seconds each format is watched (default 5)")
    args = parser.parse_args()
    print(f"{'format':<20} {'camera':>7} {'bridge':>7} {'client':>7} {'client/camera':>14}")
    missed = []
    for chosen in FORMATS:
        with Bridge([0], port=0, format=chosen) as bridge:
            feed = bridge.feeds[0]
            rate = multiprocessing.Array("d", 1)
            client = multiprocessing.Process(target=watch, args=(bridge.url, args.seconds, rate))
            client.start()
            while feed.frames_sent < 5 and client.is_alive():
                time.sleep(0.01)  # past the frames the camera kept before the first read
            read_before, began = feed.frames_read, time.monotonic()
            client.join()
            elapsed = time.monotonic() - began
            read = (feed.frames_read - read_before) / elapsed
        camera = feed.stream.format.fps
        delivered = rate[0]
        print(f"{chosen:<20} {camera:>7} {read:>7.1f} {delivered:>7.1f} {delivered / camera:>14.2f}", flush=True)
        if delivered / camera < GOAL:
            missed.append(chosen)
    print(f"goal: client / camera >= {GOAL} for every format: "
          + (f"MISSED ({', '.join(missed)})" if missed else "met"))


if __name__ == "__main__":
    main()
