"""Recording throughput against the disk's own write speed, raw and compressed, side by side in one run.

    python benchmarks/record_benchmark.py [--frames 150] [--paced-frames 300] [--rounds 3] [--folder DIR] [--no-h264]

In turns (each round starting with the next one), on the same folder (default: a scratch folder in the working directory's file system),
with an emulated 1920x1080 YUY2 camera:

- disk: os.write() of a captured frame's bytes once per frame, each padded to the size of its
  record, then fsync: the same bytes the writer writes. As `dd conv=fsync` does ("plain", for
  comparison), and with the kernel asked to write the pages out as they come, as the writer
  does ("early writeback"): the disk's speed, which the ratios are taken to. Early writeback and
  the writer alone run in pairs, three a round, the pair's order turning; the writer's goal is
  the median of the pairs' ratios, so that the disk's drift within a run cancels;
- raw: quorvex.record() captures the frames from the unpaced camera into a recording through
  its writer thread, and the file is flushed the same way;
- writer: the recording format's writer alone (RecordingWriter, one captured frame written
  again and again, CRC-32 of every record included), without capture competing for the CPU;
- raw paced 60 fps: quorvex.record() of `--paced-frames` frames from the camera delivering 60
  fps as a real one does (dropping what is not read in time): whether recording keeps up;
- h264: VideoRecorder (H.264 through PyAV, in its writer thread) fed from the camera unpaced
  (as fast as it reads: what the encoder keeps up with) and paced at 30 and 60 fps (whether it
  keeps up with a live camera: no drops), each for `--frames` frames (fewer when paced: two
  seconds); fps counts the frames encoded until the file is closed, the encoder's flush
  included, beside the rate the camera delivered at.

Each line prints MB/s of frames (10^6 bytes of 1080p YUY2 per second, flush included: for h264
the frames it encoded, beside what reached the file) and frames per second, with the frames
written and dropped; the ratios to the disk's speed say how much of it recording reaches while
capturing, what the file format itself costs, and where the encoder stands. Medians over
the rounds; drops summed. A run with drops measured a full queue: the writer fell behind.
The goals, each "met" or "MISSED", come last.
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
from quorvex.recording_file import _CRC, _FRAME_HEADER, _RECORD_HEADER, RecordingWriter, _Writeback

WIDTH, HEIGHT = 1920, 1080
FRAME_BYTES = WIDTH * HEIGHT * 2
# What a frame's record adds to its bytes: record header, frame header, CRC-32.
RECORD_EXTRA = _RECORD_HEADER.size + _FRAME_HEADER.size + _CRC.size
WRITER_GOAL = 0.9  # the writer alone, at least this share of the disk's speed
PAIRS = 3  # early-writeback disk and writer runs per round


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
    camera_fps: float = 0.0  # frames read per second of capture (h264)

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


def finish(target: pathlib.Path, started: float, written: int, dropped: int, camera_fps: float = 0.0) -> Run:
    flush(target)
    seconds = time.perf_counter() - started
    size = target.stat().st_size
    target.unlink()
    return Run(seconds, size, written, dropped, camera_fps)


def disk_speed(folder: pathlib.Path, frames: int, frame: bytes, early: bool) -> Run:
    """os.write() of the frame's bytes padded to its record's size, once per frame (what a
    recording writes, without computing its records), then fsync; `early`: the pages are sent
    to the disk as they are written, as RecordingWriter does."""
    target = folder / "disk.bin"
    padding = bytes(RECORD_EXTRA)
    started = time.perf_counter()
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    writeback = _Writeback(fd) if early else None
    try:
        for _ in range(frames):
            size = os.writev(fd, [frame, padding])
            if size < len(frame) + len(padding):
                raise SystemExit("record_benchmark: a short write; is the disk full?")
            if writeback is not None:
                writeback.wrote(size)
        os.fsync(fd)
    finally:
        os.close(fd)
    seconds = time.perf_counter() - started
    target.unlink()
    return Run(seconds, frames * len(frame), frames, 0)


def raw_speed(folder: pathlib.Path, frames: int, fps: int = 30) -> Run:
    target = folder / "raw.qxrec"
    with quorvex.open(0) as camera, camera.stream(f"YUY2:{WIDTH}x{HEIGHT}@{fps}") as stream:
        stream.read()  # the first frame renders the pattern: not part of recording
        started = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # drops are counted below
            result = quorvex.record(stream, target, frames=frames)
        run = finish(target, started, result.written, result.dropped)
        run.size = result.written * FRAME_BYTES  # frames, as the disk's figure counts them
        return run


def writer_speed(folder: pathlib.Path, frames: int, frame: object) -> Run:
    target = folder / "writer.qxrec"
    started = time.perf_counter()
    writer = RecordingWriter(target)
    for sequence in range(frames):
        writer.write_frame("YUY2", WIDTH, HEIGHT, 30, sequence, sequence / 30, frame)
    writer.close()
    run = finish(target, started, frames, 0)
    run.size = frames * FRAME_BYTES
    return run


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
                captured = time.perf_counter() - started
        return finish(target, started, recorder.written, recorder.dropped, frames / captured)


def median(runs: list[Run], value: str) -> float:
    return statistics.median(getattr(run, value) for run in runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=150, help="frames per recording (default 150, 622 MB)")
    parser.add_argument("--paced-frames", type=int, default=300,
                        help="frames of the recording paced at 60 fps (default 300: five seconds)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--folder", type=pathlib.Path, default=pathlib.Path.cwd())
    parser.add_argument("--no-h264", action="store_true", help="leave compressed recording out (no PyAV needed)")
    args = parser.parse_args()
    if args.frames < 1 or args.paced_frames < 1 or args.rounds < 1:
        raise SystemExit("record_benchmark: --frames, --paced-frames and --rounds must be 1 or more")
    h264 = not args.no_h264
    if h264:
        try:
            from quorvex.recording_video import h264_encoder

            encoder = h264_encoder()
        except ImportError as missing:
            raise SystemExit(f"record_benchmark: {missing} (or pass --no-h264)") from None
    names = ("disk", "disk early", "raw", "writer", "raw@60", "h264", "h264@30", "h264@60")
    runs: dict[str, list[Run]] = {name: [] for name in names}
    paced_frames = {30: min(args.frames, 60), 60: min(args.frames, 120)}  # two seconds each
    assert qx_emulator.configure(configuration(pacing=False))
    with quorvex.open(0) as camera, camera.stream(f"YUY2:{WIDTH}x{HEIGHT}@30") as stream:
        frame = stream.read().data
    with tempfile.TemporaryDirectory(dir=args.folder, prefix="record-bench-") as scratch:
        folder = pathlib.Path(scratch)
        frame_bytes = frame.tobytes()
        disk_speed(folder, args.frames, frame_bytes, False)  # the first write to a quiet disk is slow: not measured
        pair = [("disk early", lambda: disk_speed(folder, args.frames, frame_bytes, True)),
                ("writer", lambda: writer_speed(folder, args.frames, frame))]
        ratios: list[float] = []

        def pairs() -> None:
            for number in range(PAIRS):
                done = {name: measure() for name, measure in (pair if number % 2 else pair[::-1])}
                for name, run in done.items():
                    runs[name].append(run)
                ratios.append(done["writer"].mb_per_second / done["disk early"].mb_per_second)

        measures = [lambda: runs["disk"].append(disk_speed(folder, args.frames, frame_bytes, False)),
                    lambda: runs["raw"].append(raw_speed(folder, args.frames)), pairs]
        for round_number in range(args.rounds):
            assert qx_emulator.configure(configuration(pacing=False))
            # Each in turn goes first: on a shared or virtual disk the order alone moves the figures.
            turn = round_number % len(measures)
            for measure in measures[turn:] + measures[:turn]:
                measure()
            if h264:
                runs["h264"].append(h264_speed(folder, args.frames, 30))
            assert qx_emulator.configure(configuration(pacing=True))
            runs["raw@60"].append(raw_speed(folder, args.paced_frames, 60))
            if h264:
                for fps in (30, 60):
                    runs[f"h264@{fps}"].append(h264_speed(folder, paced_frames[fps], fps))
    plain, early = median(runs["disk"], "mb_per_second"), median(runs["disk early"], "mb_per_second")
    disk = early
    mb = args.frames * FRAME_BYTES / 1e6
    print(f"{args.frames} frames of YUY2 {WIDTH}x{HEIGHT} ({mb:.0f} MB) per round, {args.rounds} rounds,"
          f" in {args.folder}")
    print(f"disk, plain (os.write, fsync):  {plain:8.1f} MB/s")
    print(f"disk, early writeback:          {early:8.1f} MB/s  (the disk's speed)")
    for name, label in (("raw", "raw record (capture + writer)"), ("writer", "writer alone (no capture)"),
                        ("raw@60", "raw record paced 60 fps")):
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
                  f" {fps * FRAME_BYTES / 1e6 / disk:5.2f}  frames {frames}, dropped {dropped};"
                  f" camera {median(runs[name], 'camera_fps'):.1f} fps, file {median(runs[name], 'size') / 1e6:.2f} MB")
        print(f"(h264 through {encoder}; fps: frames encoded per second until the file was closed, the"
              " encoder's flush included)")
    writer_ratio = statistics.median(ratios)
    paced = sum(run.dropped for run in runs["raw@60"])
    print(f"goal: writer alone at least {WRITER_GOAL:.2f} of the disk's speed: {writer_ratio:.2f} (median of"
          f" {len(ratios)} pairs)"
          f"  {'met' if writer_ratio >= WRITER_GOAL else 'MISSED'}")
    print(f"goal: recording 1080p YUY2 paced at 60 fps drops no frame: {paced} of"
          f" {args.paced_frames * args.rounds} dropped  {'met' if paced == 0 else 'MISSED'}")


if __name__ == "__main__":
    main()
