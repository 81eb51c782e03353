"""Sweeps an image control across its range while streaming, and shows its effect on the frames.

    python examples/sweep_control.py [--camera 0] [--control brightness] [--steps 5]
                                     [--output out/sweep.png]

Sets the control to evenly spaced values from its minimum to its maximum, reads a frame after
each change, prints the mean level of the white bar, and saves the frames side by side.
"""

import argparse
import pathlib

from PIL import Image

import quorvex

TILE = (256, 192)


def sweep_values(control: quorvex.Control, steps: int) -> list[int]:
    """`steps` values from min to max, on the control's step grid."""
    span = control.max - control.min
    values = []
    for position in range(steps):
        offset = span * position // max(steps - 1, 1)
        values.append(control.min + offset - offset % control.step)
    return values


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--camera", type=int, default=0)
    parser.add_argument("--control", default="brightness")
    parser.add_argument("--steps", type=int, default=5)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out/sweep.png"))
    args = parser.parse_args()
    try:
        with quorvex.open(args.camera) as camera:
            control = camera.controls[args.control]
            print(f"{control.name}: {control.min} to {control.max} in steps of {control.step}, "
                  f"default {control.default}")
            sheet = Image.new("RGB", (TILE[0] * args.steps, TILE[1]))
            with camera.stream("RGB", timeout=2.0) as stream:
                for position, value in enumerate(sweep_values(control, args.steps)):
                    control.value = value
                    stream.read()  # a change applies from the frame after the call
                    frame = stream.read()
                    rgb = frame.to_rgb()
                    white = rgb[frame.height // 8, 3 * frame.width // 8 + frame.width // 16]
                    print(f"  {control.name} = {value:>6}: white bar at {int(white.mean())}")
                    sheet.paste(Image.fromarray(rgb).resize(TILE), (position * TILE[0], 0))
            control.reset()
        args.output.parent.mkdir(parents=True, exist_ok=True)
        sheet.save(args.output)
        print(f"saved {args.output}")
    except (quorvex.QuorvexError, KeyError, LookupError) as failure:
        raise SystemExit(str(failure).strip("'\"")) from None


if __name__ == "__main__":
    main()
