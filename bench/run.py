#!/usr/bin/env python3
"""Throughput and memory of brmark against cat and the usual one-liners.

Generates five corpora deterministically in a temporary folder, runs every
contender on each of them several times, interleaved, with a fresh output
file each time, and prints the median wall time, MB/s, the ratio to cat and
the peak resident memory. brmark's output is checked byte for byte against
a reference transform written here from the rules alone.

    python3 bench/run.py                     # full size, 5 runs each
    python3 bench/run.py --scale 0.01 --runs 1   # a quick smoke run
"""
import argparse
import math
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1 << 20

# (name, description, size in MiB, generator, target ratio to cat)
PRINTABLE = bytes(range(0x20, 0x7F))


def printable_lines(rng, size, line_end):
    pool = [bytes(rng.choices(PRINTABLE, k=rng.randint(0, 160))) + line_end for _ in range(20000)]
    return fill(rng, pool, size)


def shift_jis_lines(rng, size):
    leads = list(range(0x88, 0xA0)) + list(range(0xE0, 0xEB))
    trails = list(range(0x40, 0x7F)) + list(range(0x80, 0xFD))
    pool = []
    for _ in range(20000):
        chars = [bytes((rng.choice(leads), rng.choice(trails))) for _ in range(rng.randint(0, 80))]
        pool.append(b"".join(chars) + b"\r\n")
    return fill(rng, pool, size)


def fill(rng, pool, size):
    parts, total = [], 0
    while total < size:
        chunk = rng.choices(pool, k=4096)
        parts.extend(chunk)
        total += sum(map(len, chunk))
    return b"".join(parts)[:size]


def one_long_line(rng, size):
    # Every byte but CR, LF and SUB, which are mapped onto others.
    chunks = [rng.randbytes(min(MIB, size - at)) for at in range(0, size, MIB)]
    return b"".join(chunks).translate(bytes.maketrans(b"\r\n\x1a", b"abc"))


def empty_and_short_lines(rng, size):
    return fill(rng, [b"\n", b"x\n"], size)


CORPORA = [
    ("crlf", "CR LF text, lines 0-160 bytes", 256, lambda r, n: printable_lines(r, n, b"\r\n"), 1.5),
    ("lf", "LF-only text, same lines", 256, lambda r, n: printable_lines(r, n, b"\n"), 1.5),
    ("sjis", "Shift-JIS double-byte text, CR LF", 128, shift_jis_lines, 1.5),
    ("oneline", "one line without a line end", 256, one_long_line, 1.3),
    ("short", "empty and 1-byte lines, LF", 64, empty_and_short_lines, 6.0),
]

MEMORY_TARGET_KB = 2048
TIME_LIMIT = 60


def reference(data):
    """The marked copy, from the rules alone."""
    end = data.find(b"\x1a")
    if end >= 0:
        data = data[:end]
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"<br>\r\n")


def contenders(brmark):
    return [
        ("brmark", None),
        ("cat", ["cat"]),
        ("dd 64 KiB", ["dd", "bs=64K", "status=none"]),
        ("sed", ["sed", "-e", r"s/\r$//", "-e", r"s/$/<br>\r/"]),
        ("awk", ["awk", r'{ sub(/\r$/, ""); printf "%s<br>\r\n", $0 }']),
        ("perl", ["perl", "-pe", r"s/\r?\n/<br>\r\n/"]),
    ]


def timed(command, folder, **streams):
    """Runs command under /usr/bin/time; returns (seconds, peak resident KB).

    The peak comes from /usr/bin/time, a small process: a child forked from
    this one would inherit this process's high-water mark. A contender still
    running after TIME_LIMIT seconds is stopped and counted as infinitely slow."""
    peak_file = os.path.join(folder, "peak")
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file] + command,
                               cwd=folder, start_new_session=True, **streams)
    # A blocking wait: Popen.wait with a timeout polls, in steps of up to 50 ms.
    stopper = threading.Timer(TIME_LIMIT, os.killpg, (process.pid, signal.SIGKILL))
    stopper.start()
    _, status = os.waitpid(process.pid, 0)
    seconds = time.perf_counter() - start
    stopper.cancel()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode == -signal.SIGKILL:
        return math.inf, 0
    if process.returncode != 0:
        sys.exit(f"{command[0]} failed with status {process.returncode}")
    with open(peak_file) as f:
        return seconds, int(f.read().split()[-1])


def run_once(folder, name, command, brmark):
    """Runs one contender on one input; returns (seconds, peak KB, output path)."""
    if command is None:
        before = set(os.listdir(folder)) - {"peak"}
        with tempfile.TemporaryFile() as typed:
            typed.write(name.encode() + b"\n")
            typed.seek(0)
            seconds, peak = timed([brmark], folder, stdin=typed, stdout=subprocess.DEVNULL)
        created = sorted(set(os.listdir(folder)) - before - {"peak"})
        if len(created) != 1 or seconds == math.inf:
            sys.exit(f"brmark created {created} for {name}")
        return seconds, peak, os.path.join(folder, created[0])
    output = os.path.join(folder, "out")
    with open(os.path.join(folder, name), "rb") as source, open(output, "wb") as sink:
        seconds, peak = timed(command, folder, stdin=source, stdout=sink)
    return seconds, peak, output


def measure(folder, name, brmark, runs):
    results = {label: ([], []) for label, _ in contenders(brmark)}
    checked = False
    for _ in range(runs):
        for label, command in contenders(brmark):
            if math.inf in results[label][0]:
                results[label][0].append(math.inf)  # too slow once: not run again
                continue
            os.sync()  # the previous run's writeback is not charged to this one
            seconds, peak_kb, output = run_once(folder, name, command, brmark)
            results[label][0].append(seconds)
            results[label][1].append(peak_kb)
            if label == "brmark" and not checked:
                with open(os.path.join(folder, name), "rb") as f:
                    expected = reference(f.read())
                with open(output, "rb") as f:
                    if f.read() != expected:
                        sys.exit(f"brmark's output differs from the reference on {name}")
                checked = True
            if os.path.exists(output):
                os.remove(output)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--brmark", default=os.path.join(os.path.dirname(__file__), "..",
                                                         "build", "brmark"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the full sizes")
    parser.add_argument("--only", help="comma-separated corpus names")
    arguments = parser.parse_args()
    brmark = os.path.abspath(arguments.brmark)
    if not os.access(brmark, os.X_OK):
        sys.exit(f"no brmark at {brmark}: build it first (see README)")

    folder = tempfile.mkdtemp(prefix="brmark-bench-")
    full_size = arguments.scale >= 1.0
    all_met = True
    try:
        print(f"{'corpus':8} {'contender':10} {'median s':>9} {'MB/s':>8} {'x cat':>7} {'peak KB':>8}")
        for name, description, mib, generate, target in CORPORA:
            if arguments.only and name not in arguments.only.split(","):
                continue
            size = max(1, int(mib * MIB * arguments.scale))
            with open(os.path.join(folder, name), "wb") as f:
                f.write(generate(random.Random(name), size))
            results = measure(folder, name, brmark, arguments.runs)
            cat = statistics.median(results["cat"][0])
            for label, (seconds, peaks) in results.items():
                median = statistics.median(seconds)
                print(f"{name:8} {label:10} {median:9.3f} {size / median / 1e6:8.0f} "
                      f"{median / cat:7.2f} {max(peaks):8d}")
            brmark_ratio = statistics.median(results["brmark"][0]) / cat
            brmark_peak = max(results["brmark"][1])
            others = min(statistics.median(results[k][0]) for k in ("sed", "awk", "perl"))
            met = (brmark_ratio <= target and brmark_peak <= MEMORY_TARGET_KB
                   and statistics.median(results["brmark"][0]) < others)
            all_met = all_met and met
            verdict = ("met" if met else "NOT met") if full_size else "not judged below full size"
            print(f"{name:8} {description}, {size / MIB:.3g} MiB: output checked; "
                  f"target {target}x cat, {MEMORY_TARGET_KB} KB, faster than the one-liners: "
                  f"{verdict}\n")
            os.remove(os.path.join(folder, name))
    finally:
        shutil.rmtree(folder)
    if full_size:
        print("all targets met" if all_met else "some targets not met")
    else:
        print("outputs checked; targets are judged at full size only")


if __name__ == "__main__":
    main()
