"""Reads two cameras at once with asyncio, while the event loop keeps doing other work.

    python examples/async_two_cameras.py [--cameras 0 2] [--seconds 2]

Each camera streams in its own task; a third task ticks every 100 ms to show that waiting for
frames never blocks the loop. Prints each camera's frame count and rate at the end.
"""

import argparse
import asyncio
import time

import quorvex


async def count_frames(index: int, seconds: float) -> tuple[str, quorvex.Format, int]:
    with quorvex.open(index) as camera, camera.stream(timeout=2.0) as stream:
        frames = 0
        until = time.monotonic() + seconds
        async for frame in stream:
            frames += 1
            if frame.timestamp >= until:
                break
        return camera.info.name, stream.format, frames


async def ticker(ticks: list[float]) -> None:
    while True:
        await asyncio.sleep(0.1)
        ticks.append(time.monotonic())


async def run(indexes: list[int], seconds: float) -> None:
    ticks: list[float] = []
    tick_task = asyncio.create_task(ticker(ticks))
    began = time.monotonic()
    results = await asyncio.gather(*(count_frames(index, seconds) for index in indexes))
    elapsed = time.monotonic() - began
    tick_task.cancel()
    for index, (name, fmt, frames) in zip(indexes, results):
        print(f"camera {index} ({name}), {fmt}: {frames} frames, {frames / elapsed:.1f} per second")
    print(f"the event loop ticked {len(ticks)} times in {elapsed:.1f} s")


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--cameras", type=int, nargs="+", default=[0, 2])
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    try:
        asyncio.run(run(args.cameras, args.seconds))
    except (quorvex.QuorvexError, LookupError) as failure:
        raise SystemExit(str(failure)) from None


if __name__ == "__main__":
    main()
