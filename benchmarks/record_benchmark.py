"""Recording throughput against the disk's own write speed, raw and compressed, side by side in one run.

    python benchmarks/record_benchmark.py [--frames 150] [--rounds 3] [--folder DIR] [--no-h264]

In turns, on the same folder (default: a scratch folder in the working directory's file system),
with an emulated 1920x1080 YUY2 camera:

- disk: os.write() of as many bytes as a recording of the frames, in 8 MiB blocks, then fsync
  (what `dd conv=fsync` does);
- raw: quorvex.record() captures the frames from the unpaced camera into a recording through
  its writer thread, and the file is flushed the same way;
- writer: the recording format's writer alone (RecordingWriter, one captured frame written
  again and again, CRC-32 of every record included), without capture competing for the CPU;
- h264: VideoRecorder (H.264 through PyAV, in its writer thread) fed from the camera unpaced
  (as fast as it reads: what the encoder keeps up with) and paced at 30 and 60 fps (whether it
  keeps up with a live camera), each for `--frames` frames (fewer when paced: two seconds).

Each line prints MB/s of frames (10^6 bytes of 1080p YUY2 per second, flush included: for h264
the frames it encoded, beside what reached the file) and frames per second, with the frames
written and dropped; the ratios to the disk's speed say how much of it recording reaches while
capturing, what the file format itself costs, and where the encoder stands. Medians over
the rounds; drops summed. A run with drops measured a full queue: the writer fell behind.
"""

import argparse
import os
import pathlib
import statistics
import tempfile
import time
import warnings
from dataclasses import dataclass

import qx_emulator

import quorvex
from quorvex.recording_file import RecordingWriter

WIDTH, HEIGHT = 1920, 1080
FRAME_BYTES = WIDTH * HEIGHT * 2
BLOCK = 8 << 20


def configuration(pacing: bool) -> str:
    return f"""
pacing: {str(pacing).lower()}
cameras:
  - {{name: Benchmark Camera, path: /dev/video0, interface: usb, product: zena, hardware_id: BENCH,
     formats: [{{format: YUY2, sizes: ["{WIDTH}x{HEIGHT}"], fps: [30, 60]}}]}}
"""


@dataclass
class Run:
    seconds: float
    size: int
    written: int
    dropped: int

    @property
    def mb_per_second(self) -> float:
        return self.size / self.seconds / 1e6

    @property
    def fps(self) -> float:
        return self.written / self.seconds


def flush(path: pathlib.Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def finish(target: pathlib.Path, started: float, written: int, dropped: int) -> Run:
    flush(target)
    seconds = time.perf_counter() - started
    size = target.stat().st_size
    target.unlink()
    return Run(seconds, size, written, dropped)


def disk_speed(folder: pathlib.Path, frames: int) -> Run:
    target = folder / "disk.bin"
    block = os.urandom(1 << 20) * (BLOCK >> 20)  # not zeros: some file systems store those sparsely
    total = frames * FRAME_BYTES
    started = time.perf_counter()
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        left = total
        while left > 0:
            left -= os.write(fd, block[: min(left, BLOCK)])
        os.fsync(fd)
    finally:
        os.close(fd)
    seconds = time.perf_counter() - started
    target.unlink()
    return Run(seconds, total, frames, 0)


def raw_speed(folder: pathlib.Path, frames: int) -> Run:
    target = folder / "raw.qxrec"
    with quorvex.open(0) as camera, camera.stream(f"YUY2:{WIDTH}x{HEIGHT}@30") as stream:
        stream.read()  # the first frame renders the pattern: not part of recording
        started = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # drops are counted below
            result = quorvex.record(stream, target, frames=frames)
        return finish(target, started, result.written, result.dropped)


def writer_speed(folder: pathlib.Path, frames: int, frame: object) -> Run:
    target = folder / "writer.qxrec"
    started = time.perf_counter()
    writer = RecordingWriter(target)
    for sequence in range(frames):
        writer.write_frame("YUY2", WIDTH, HEIGHT, 30, sequence, sequence / 30, frame)
    writer.close()
    return finish(target, started, frames, 0)


def h264_speed(folder: pathlib.Path, frames: int, fps: int) -> Run:
    from quorvex.recording_video import VideoRecorder

    target = folder / "h264.mp4"
    with quorvex.open(0) as camera, camera.stream(f"YUY2:{WIDTH}x{HEIGHT}@{fps}") as stream:
        stream.read()
        started = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            with VideoRecorder(target, stream.format) as recorder:
                for _ in range(frames):
                    recorder.add(stream.read())
        return finish(target, started, recorder.written, recorder.dropped)


def median(runs: list[Run], value: str) -> float:
    return statistics.median(getattr(run, value) for run in runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=150, help="frames per recording (default 150, 622 MB)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", type=pathlib.Path, default=pathlib.Path.cwd())
    parser.add_argument("--no-h264", action="store_true", help="leave compressed recording out (no PyAV needed)")
    args = parser.parse_args()
    if args.frames < 1 or args.rounds < 1:
        raise SystemExit("record_benchmark: --frames and --rounds must be 1 or more")
    h264 = not args.no_h264
    if h264:
        try:
            from quorvex.recording_video import h264_encoder

            encoder = h264_encoder()
        except ImportError as missing:
            raise SystemExit(f"record_benchmark: {missing} (or pass --no-h264)") from None
    runs: dict[str, list[Run]] = {name: [] for name in ("disk", "raw", "writer", "h264", "h264@30", "h264@60")}
    paced_frames = {30: min(args.frames, 60), 60: min(args.frames, 120)}  # two seconds each
    with tempfile.TemporaryDirectory(dir=args.folder, prefix="record-bench-") as scratch:
        folder = pathlib.Path(scratch)
        for _ in range(args.rounds):
            assert qx_emulator.configure(configuration(pacing=False))
            with quorvex.open(0) as camera, camera.stream(f"YUY2:{WIDTH}x{HEIGHT}@30") as stream:
                frame = stream.read().data
            runs["disk"].append(disk_speed(folder, args.frames))
            runs["raw"].append(raw_speed(folder, args.frames))
            runs["writer"].append(writer_speed(folder, args.frames, frame))
            if h264:
                runs["h264"].append(h264_speed(folder, args.frames, 30))
                assert qx_emulator.configure(configuration(pacing=True))
                for fps in (30, 60):
                    runs[f"h264@{fps}"].append(h264_speed(folder, paced_frames[fps], fps))
    disk = median(runs["disk"], "mb_per_second")
    mb = args.frames * FRAME_BYTES / 1e6
    print(f"{args.frames} frames of YUY2 {WIDTH}x{HEIGHT} ({mb:.0f} MB) per round, {args.rounds} rounds,"
          f" in {args.folder}")
    print(f"disk (os.write, fsync):         {disk:8.1f} MB/s")
    for name, label in (("raw", "raw record (capture + writer)"), ("writer", "writer alone (no capture)")):
        rate = median(runs[name], "mb_per_second")
        frames = sum(run.written for run in runs[name])
        dropped = sum(run.dropped for run in runs[name])
        print(f"{label + ':':31} {rate:8.1f} MB/s  {median(runs[name], 'fps'):6.1f} fps"
              f"  ratio to disk {rate / disk:5.2f}  frames {frames}, dropped {dropped}")
    if h264:
        for name, label in (("h264", "h264 unpaced"), ("h264@30", "h264 paced 30 fps"), ("h264@60", "h264 paced 60 fps")):
            frames = sum(run.written for run in runs[name])
            dropped = sum(run.dropped for run in runs[name])
            fps = median(runs[name], "fps")
            print(f"{label + ':':31} {fps * FRAME_BYTES / 1e6:8.1f} MB/s  {fps:6.1f} fps  ratio to disk"
                  f" {fps * FRAME_BYTES / 1e6 / disk:5.2f}  frames {frames}, dropped {dropped}"
                  f"  ({median(runs[name], 'mb_per_second'):.2f} MB/s to the file, {encoder})")


if __name__ == "__main__":
    main()
