"""Times loading camera configurations of growing size and the journal's memory under large calls.

    python benchmarks/config_load_benchmark.py [--cameras 10000]

Loading: configurations of N, 2N and 4N cameras (each on a path of its own, so each gets a device),
read from a file on first discovery as a program would; the ratio of each time to N's shows how
loading grows (linear: 2 and 4; quadratic: 4 and 16).

Journal: the process's resident memory grows by no more than the journal's byte budget however
many large calls it journals, measured side by side with journalling off.

Goals: loading grows linearly (2N and 4N cameras at most 2.5 and 5 times N's time), and the
journal adds no more than its byte budget (the emulator's `journal_bytes` limit), and a tenth
more for the allocator's bookkeeping, to resident memory.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

LOAD = """
import sys, time
import pyQuorvexSDK as qx
start = time.perf_counter()
assert len(qx.QxDiscoverCameraDevices()[1]) == int(sys.argv[1])
print(time.perf_counter() - start)
"""

JOURNAL = """
import os, sys
import pyQuorvexSDK as qx, qx_emulator
def resident_mb():
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
qx_emulator.set_journalling(sys.argv[1] == "on")
qx_emulator.script("QxGenericI2CWrite", result=0, times=0)
before = resident_mb()
for _ in range(20000):
    qx.QxGenericI2CWrite(None, 0, 0x50, 0, 60000, 0)
print(resident_mb() - before)
"""


def run(code, *arguments, env=None):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, arguments)],
                          capture_output=True, text=True, env={**os.environ, **(env or {})}, check=True)
    return float(done.stdout.split()[-1])


def load_seconds(folder, cameras):
    path = pathlib.Path(folder) / f"cameras-{cameras}.yaml"
    path.write_text("cameras:\n" + "".join(
        f"  - {{name: Camera {i}, path: /dev/video{i}, interface: usb, product: zena, hardware_id: \"H{i}\"}}\n"
        for i in range(cameras)))
    return run(LOAD, cameras, env={"QX_EMULATOR_CONFIG": str(path)})


def journal_budget_mb():
    import qx_emulator

    return qx_emulator.limits()["journal_bytes"] / 2**20


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cameras", type=int, default=10000)
    n = parser.parse_args().cameras
    with tempfile.TemporaryDirectory() as folder:
        times = {count: load_seconds(folder, count) for count in (n, 2 * n, 4 * n)}
    for count, seconds in times.items():
        print(f"load {count:6d} cameras: {seconds:6.2f} s  ratio to {n}: {seconds / times[n]:5.2f}"
              f"  ({seconds / count * 1e6:6.1f} us per camera)")
    on, off = run(JOURNAL, "on"), run(JOURNAL, "off")
    print(f"journal of 20000 generic I2C writes of 60000 bytes: +{on:.1f} MB resident journalling, "
          f"+{off:.1f} MB not journalling, difference {on - off:.1f} MB")
    linear = times[2 * n] <= 2.5 * times[n] and times[4 * n] <= 5 * times[n]
    print(f"goal: linear loading (ratios <= 2.5 and 5): {'met' if linear else 'MISSED'}")
    budget = journal_budget_mb()
    print(f"goal: journal within its budget ({budget:.0f} MB + 10%): "
          f"{'met' if on - off <= budget * 1.1 else 'MISSED'}")


if __name__ == "__main__":
    main()
