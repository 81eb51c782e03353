"""Recording throughput against the disk's own write speed, measured side by side in one run.

    python benchmarks/record_benchmark.py [--frames 150] [--rounds 3] [--folder DIR]

In turns, on the same folder (default: a scratch folder in the working directory's file system):

- disk: `dd` writes as many bytes as a recording of the frames, in blocks of one frame, and
  flushes them (conv=fdatasync);
- record: quorvex.record() captures the frames from an unpaced emulated 1920x1080 YUY2 camera
  into a recording through its writer thread, and the file is flushed the same way;
- writer: the recording format's writer alone (RecordingWriter, one captured frame written
  again and again, CRC-32 of every record included), without capture competing for the CPU.

Each prints MB/s (10^6 bytes per second, flush included); the ratio record / disk says how
much of the disk's speed recording reaches while capturing, writer / disk what the file
format itself costs. Medians over the rounds. Frames
the writer had to drop are counted and printed: a run with drops measured a full queue.
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import tempfile
import time

import qx_emulator

import quorvex
from quorvex.recording_file import RecordingWriter

WIDTH, HEIGHT = 1920, 1080
FRAME_BYTES = WIDTH * HEIGHT * 2

CONFIGURATION = f"""
pacing: false
cameras:
  - {{name: Benchmark Camera, path: /dev/video0, interface: usb, product: zena, hardware_id: BENCH,
     formats: [{{format: YUY2, sizes: ["{WIDTH}x{HEIGHT}"], fps: [30]}}]}}
"""


def flush(path: pathlib.Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fdatasync(fd)
    finally:
        os.close(fd)


def disk_speed(folder: pathlib.Path, frames: int) -> float:
    target = folder / "dd.bin"
    started = time.perf_counter()
    subprocess.run(
        ["dd", "if=/dev/zero", f"of={target}", f"bs={FRAME_BYTES}", f"count={frames}", "conv=fdatasync"],
        check=True, capture_output=True,
    )
    seconds = time.perf_counter() - started
    size = target.stat().st_size
    target.unlink()
    return size / seconds / 1e6


def record_speed(folder: pathlib.Path, frames: int) -> tuple[float, int]:
    target = folder / "bench.qxrec"
    with quorvex.open(0) as camera, camera.stream(f"YUY2:{WIDTH}x{HEIGHT}@30") as stream:
        stream.read()  # the first frame renders the pattern: not part of recording
        started = time.perf_counter()
        result = quorvex.record(stream, target, frames=frames)
        flush(target)
        seconds = time.perf_counter() - started
    size = target.stat().st_size
    target.unlink()
    return size / seconds / 1e6, result.dropped


def writer_speed(folder: pathlib.Path, frames: int, frame: object) -> float:
    target = folder / "writer.qxrec"
    started = time.perf_counter()
    writer = RecordingWriter(target)
    for sequence in range(frames):
        writer.write_frame("YUY2", WIDTH, HEIGHT, 30, sequence, sequence / 30, frame)
    writer.close()
    flush(target)
    seconds = time.perf_counter() - started
    size = target.stat().st_size
    target.unlink()
    return size / seconds / 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=150, help="frames per recording (default 150, 622 MB)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", type=pathlib.Path, default=pathlib.Path.cwd())
    args = parser.parse_args()
    if shutil.which("dd") is None:
        raise SystemExit("record_benchmark needs dd (coreutils)")
    assert qx_emulator.configure(CONFIGURATION)

    with quorvex.open(0) as camera, camera.stream(f"YUY2:{WIDTH}x{HEIGHT}@30") as stream:
        frame = stream.read().data
    disk, recorded, ratios, dropped = [], [], [], 0
    alone, alone_ratios = [], []
    with tempfile.TemporaryDirectory(dir=args.folder, prefix="record-bench-") as scratch:
        folder = pathlib.Path(scratch)
        for _ in range(args.rounds):
            d = disk_speed(folder, args.frames)
            r, lost = record_speed(folder, args.frames)
            w = writer_speed(folder, args.frames, frame)
            disk.append(d)
            recorded.append(r)
            ratios.append(r / d)
            alone.append(w)
            alone_ratios.append(w / d)
            dropped += lost
    mb = args.frames * FRAME_BYTES / 1e6
    print(f"{args.frames} frames of YUY2 {WIDTH}x{HEIGHT} ({mb:.0f} MB) per round, {args.rounds} rounds, in {args.folder}")
    print(f"disk (dd, fdatasync):       {statistics.median(disk):8.1f} MB/s")
    print(f"record (capture + writer):  {statistics.median(recorded):8.1f} MB/s")
    print(f"writer alone (no capture):  {statistics.median(alone):8.1f} MB/s")
    print(f"ratio record / disk:        {statistics.median(ratios):8.2f}")
    print(f"ratio writer / disk:        {statistics.median(alone_ratios):8.2f}")
    print(f"frames dropped:             {dropped}")


if __name__ == "__main__":
    main()
