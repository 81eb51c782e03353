"""Writes the library's public interface as one header, the way a vendor installation ships it:
QuorvexSDK.h with the project's own headers that it includes (directly or through one another)
inlined in place, each once. Standard headers stay includes.

    python scripts/flatten_sdk_header.py include/QuorvexSDK/QuorvexSDK.h OUTPUT

OUTPUT must not exist yet. The vendor check builds the module against the result, so that a
source including one of the project's split headers fails there as it would against a vendor's
installation."""

import argparse
import pathlib
import re
import sys

QUOTED_INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"\s*$')
LOCAL_ANGLED_INCLUDE = re.compile(r"^\s*#\s*include\s+<QuorvexSDK/([^>]+)>\s*$")
PRAGMA_ONCE = re.compile(r"^\s*#\s*pragma\s+once\s*$")


class FlattenError(Exception):
    pass


def flatten(header: pathlib.Path) -> str:
    folder = header.parent
    seen: set[pathlib.Path] = set()

    def inline(path: pathlib.Path) -> list[str]:
        seen.add(path)
        lines = []
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
            if PRAGMA_ONCE.match(line):
                continue
            match = QUOTED_INCLUDE.match(line) or LOCAL_ANGLED_INCLUDE.match(line)
            if match is None:
                lines.append(line)
                continue
            included = (folder / match[1]).resolve()
            if not included.is_file() or included.parent != folder.resolve():
                raise FlattenError(f"{path.name}, line {number}: {match[1]} is not a header beside it")
            if included in seen:
                continue
            lines += [f"// ---- {match[1]} (inlined)", *inline(included)]
        return lines

    body = inline(header.resolve())
    return "\n".join(["// Generated from the project's split headers: edit those, not this file.",
                      "#pragma once", *body, ""])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("header", type=pathlib.Path, help="the top header, include/QuorvexSDK/QuorvexSDK.h")
    parser.add_argument("output", type=pathlib.Path, help="the single header to write (must not exist)")
    args = parser.parse_args()
    try:
        if not args.header.is_file():
            raise FlattenError(f"no header {args.header}")
        text = flatten(args.header)
        args.output.parent.mkdir(parents=True, exist_ok=True)
        with open(args.output, "x", encoding="utf-8") as file:
            file.write(text)
    except FileExistsError:
        print(f"flatten_sdk_header: {args.output} exists; not replacing it", file=sys.stderr)
        return 1
    except (FlattenError, OSError, UnicodeDecodeError) as error:
        print(f"flatten_sdk_header: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
