#!/usr/bin/env python3
"""Throughput and memory of brmark against its floor, cat and the one-liners.

The floor (floor_copy, built beside brmark) makes brmark's own reads and
writes, the same byte counts in the same 128 KiB pieces, with no transform:
what any one-thread program that transforms its bytes must pay. cat is
shown too, though it copies inside the kernel.

Generates six corpora deterministically in a temporary folder, runs every
contender on each of them several times, interleaved, with a fresh output
file each time, and prints the median wall time, MB/s, the ratios to the
floor and to cat, and the peak resident memory. brmark's ratio to the floor
is the median of the ratios of the interleaved pairs (brmark's run i over the
floor's run i, made one after the other, in turn first), which holds still
while the machine's speed drifts; the one-liners run after all the pairs.
brmark's output is checked byte for byte against a reference transform
written here from the rules. The processor and the kernel the copy runs are
printed first.

brmark flushes its copy to storage before it names it, having asked the
system to start storing each MiB as it went. The targets are judged on the
"brmark flushed" row, brmark as it runs, paired with "floor flushed", the
floor that flushes its output (fdatasync) and folder once it has written
them all, on the same disk. "brmark" runs under Debian's eatmydata, which
makes those flushes and asks return at once, so that its row measures the
program's own work against the plain floor in the page cache.

    python3 bench/run.py                         # full size, 11 pairs
    python3 bench/run.py --scale 0.01 --runs 1   # a quick smoke run
    python3 bench/run.py --markdown RESULTS.md   # also write the table
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


# (name, description, size in MiB, generator, target ratio to the floor)
# Each corpus with the target for brmark as it runs against the flushed
# floor; the 4 KB file has none (it is compared with earlier runs).
CORPORA = [
    ("crlf", "CR LF text, lines 0-160 bytes", 256, lambda r, n: printable_lines(r, n, b"\r\n"), 0.75),
    ("lf", "LF-only text, same lines", 256, lambda r, n: printable_lines(r, n, b"\n"), 0.75),
    ("sjis", "Shift-JIS double-byte text, CR LF", 256, shift_jis_lines, 0.75),
    ("oneline", "one line without a line end", 128, one_long_line, 0.80),
    ("short", "empty and 1-byte lines, LF", 64, empty_and_short_lines, 0.80),
    ("small", "4 KB of CR LF text", 4 / 1024, lambda r, n: printable_lines(r, n, b"\r\n"), None),
]

MEMORY_TARGET_KB = 2048
TIME_LIMIT = 60


def reference(data):
    """The marked copy, from the rules alone."""
    end = data.find(b"\x1a")
    if end >= 0:
        data = data[:end]
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"<br>\r\n")


ONLY_CONTENDERS = None  # --contenders: run these besides brmark, the floor and cat


# Where Debian's eatmydata keeps the library that makes flushes no-ops.
EAT_MY_DATA = "/usr/lib/x86_64-linux-gnu/libeatmydata.so"


def contenders(brmark, floor, output_size):
    every = [
        ("brmark", None),
        ("floor", [floor, None, "floor-out", str(output_size)]),
        ("brmark flushed", None),
        ("floor flushed", [floor, None, "floor-out", str(output_size), "--flush"]),
        ("cat", ["cat"]),
        ("sed", ["sed", "-e", r"s/\r$//", "-e", r"s/$/<br>\r/"]),
        ("awk", ["awk", r'{ sub(/\r$/, ""); printf "%s<br>\r\n", $0 }']),
        ("perl", ["perl", "-pe", r"s/\r?\n/<br>\r\n/"]),
    ]
    if ONLY_CONTENDERS is None:
        return every
    return [c for c in every if c[0] in PAIRED or c[0] in ONLY_CONTENDERS]


def timed(command, folder, environment=None, **streams):
    """Runs command under /usr/bin/time; returns (seconds, peak resident KB,
    user seconds, system seconds).

    The peak comes from /usr/bin/time, a small process: a child forked from
    this one would inherit this process's high-water mark. A contender still
    running after TIME_LIMIT seconds is stopped and counted as infinitely slow."""
    peak_file = os.path.join(folder, "peak")
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file] + command,
                               cwd=folder, start_new_session=True, env=environment, **streams)
    # A blocking wait: Popen.wait with a timeout polls, in steps of up to 50 ms.
    stopper = threading.Timer(TIME_LIMIT, os.killpg, (process.pid, signal.SIGKILL))
    stopper.start()
    # wait4's times hold /usr/bin/time's and the contender's, in microseconds
    # (/usr/bin/time's own are in steps of 10 ms).
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    stopper.cancel()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode == -signal.SIGKILL:
        return math.inf, 0, math.inf, math.inf
    if process.returncode != 0:
        sys.exit(f"{command[0]} failed with status {process.returncode}")
    with open(peak_file) as f:
        return seconds, int(f.read().split()[-1]), usage.ru_utime, usage.ru_stime


def run_once(folder, name, label, command, brmark):
    """Runs one contender on one input; returns (times, output path), times as
    timed gives them."""
    if command is None:
        before = set(os.listdir(folder)) - {"peak"}
        environment = dict(os.environ)
        if label == "brmark":
            environment["LD_PRELOAD"] = EAT_MY_DATA
        with tempfile.TemporaryFile() as typed:
            typed.write(name.encode() + b"\n")
            typed.seek(0)
            times = timed([brmark], folder, environment, stdin=typed, stdout=subprocess.DEVNULL)
        created = sorted(set(os.listdir(folder)) - before - {"peak"})
        if len(created) != 1 or times[0] == math.inf:
            sys.exit(f"brmark created {created} for {name}")
        return times, os.path.join(folder, created[0])
    if len(command) > 1 and command[1] is None:  # the floor opens and creates its files itself
        command = [command[0], name] + command[2:]
        times = timed(command, folder, stdout=subprocess.DEVNULL)
        return times, os.path.join(folder, command[2])
    output = os.path.join(folder, "out")
    with open(os.path.join(folder, name), "rb") as source, open(output, "wb") as sink:
        times = timed(command, folder, stdin=source, stdout=sink)
    return times, output


PAIRED = ("brmark", "floor", "cat", "brmark flushed", "floor flushed")


def rounds(labels, runs):
    """The order of every run: brmark as it runs and the flushed floor in each
    of the first rounds, then brmark under eatmydata, the floor and cat,
    brmark and its floor swapping places each round, then the one-liners in
    rounds of their own. On the virtual machines this is run
    on, the first program to write after another has freed much memory (a
    one-liner's output, or a while idle) can pay several times the floor's
    system time while the host hands the pages back: that cost must fall on
    neither side of a pair more than the other."""
    brmark, floor, cat, brmark_flushed, floor_flushed = PAIRED
    pairs = [[brmark_flushed, floor_flushed, brmark, floor, cat] if i % 2 == 0
             else [floor_flushed, brmark_flushed, floor, brmark, cat] for i in range(runs)]
    others = [label for label in labels if label not in PAIRED]
    return pairs + [others] * runs


def measure(folder, name, brmark, floor, runs):
    with open(os.path.join(folder, name), "rb") as f:
        expected = reference(f.read())
    commands = dict(contenders(brmark, floor, len(expected)))
    # Per label: wall seconds, peak KB, user seconds and system seconds, a
    # list each.
    results = {label: ([], [], [], []) for label in commands}
    # One run of each of the programs the ratios compare, not counted: the
    # first writes after a while idle cost several times more on the
    # virtual machines this is run on, and would land on whichever came first.
    for label in PAIRED:
        os.sync()
        os.remove(run_once(folder, name, label, commands[label], brmark)[1])
    checked = False
    for order in rounds(commands, runs):
        for label in order:
            command = commands[label]
            if math.inf in results[label][0]:
                results[label][0].append(math.inf)  # too slow once: not run again
                continue
            os.sync()  # the previous run's writeback is not charged to this one
            times, output = run_once(folder, name, label, command, brmark)
            for kept, value in zip(results[label], times):
                kept.append(value)
            if label == "brmark" and not checked:
                with open(output, "rb") as f:
                    if f.read() != expected:
                        sys.exit(f"brmark's output differs from the reference on {name}")
                checked = True
            if label.startswith("floor") and os.path.getsize(output) != len(expected):
                sys.exit(f"the floor wrote {os.path.getsize(output)} bytes, not {len(expected)}")
            if os.path.exists(output):
                os.remove(output)
    return results


def pair_ratio(results, brmark="brmark", floor="floor"):
    """brmark over the floor: the median of the ratios of the runs made one
    after the other."""
    return statistics.median(b / f for b, f in zip(results[brmark][0], results[floor][0]))


def processor():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown processor"


def row_cells(name, label, kept, size, floor, cat, ratio=None):
    seconds, peaks, user, system = kept
    median = statistics.median(seconds)
    if median == math.inf:
        return [name, label, f"> {TIME_LIMIT} (stopped)", "-", "-", "-", "-", "-", "-"]
    ratio = median / floor if ratio is None else ratio
    return [name, label, f"{median:.4f}", f"{statistics.median(user):.4f}",
            f"{statistics.median(system):.4f}", f"{size / median / 1e6:.0f}", f"{ratio:.2f}",
            f"{median / cat:.2f}", str(max(peaks))]


HEADINGS = ["corpus", "contender", "median s", "user s", "sys s", "MB/s", "x floor", "x cat",
            "peak KB"]
ROW = "{:8} {:14} {:>9} {:>7} {:>7} {:>8} {:>8} {:>7} {:>8}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    build = os.path.join(os.path.dirname(__file__), "..", "build")
    parser.add_argument("--brmark", default=os.path.join(build, "brmark"))
    parser.add_argument("--floor", default=os.path.join(build, "bench", "floor_copy"))
    parser.add_argument("--kernel-name", default=os.path.join(build, "bench", "kernel_name"))
    parser.add_argument("--runs", type=int, default=11, help="interleaved runs (pairs) of each")
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the full sizes")
    parser.add_argument("--only", help="comma-separated corpus names")
    parser.add_argument("--markdown", help="also write the table to this file, in Markdown")
    parser.add_argument("--contenders", help="comma-separated one-liners to run (default: all); "
                        "targets are judged only when all run")
    arguments = parser.parse_args()
    global ONLY_CONTENDERS
    if arguments.contenders is not None:
        ONLY_CONTENDERS = [c for c in arguments.contenders.split(",") if c]
    brmark = os.path.abspath(arguments.brmark)
    floor = os.path.abspath(arguments.floor)
    for program in (brmark, floor):
        if not os.access(program, os.X_OK):
            sys.exit(f"no {program}: build it first (see README)")
    if not os.path.exists(EAT_MY_DATA):
        sys.exit(f"no {EAT_MY_DATA}: apt install eatmydata")

    kernel = subprocess.run([os.path.abspath(arguments.kernel_name)], capture_output=True,
                            text=True, check=True).stdout.strip()
    machine = f"{processor()}, {os.cpu_count()} cores, Linux {os.uname().release}, kernel {kernel}"
    print(machine)
    folder = tempfile.mkdtemp(prefix="brmark-bench-")
    full_size = arguments.scale >= 1.0 and ONLY_CONTENDERS is None
    all_met = True
    rows, verdicts = [], []
    try:
        print(ROW.format(*HEADINGS))
        for name, description, mib, generate, target in CORPORA:
            if arguments.only and name not in arguments.only.split(","):
                continue
            # The 4 KB file stays 4 KB at any scale.
            size = max(1, int(mib * MIB * (arguments.scale if mib >= 1 else 1)))
            with open(os.path.join(folder, name), "wb") as f:
                f.write(generate(random.Random(name), size))
            results = measure(folder, name, brmark, floor, arguments.runs)
            floor_median = statistics.median(results["floor"][0])
            cat = statistics.median(results["cat"][0])
            ratio = pair_ratio(results)
            flushed_ratio = pair_ratio(results, "brmark flushed", "floor flushed")
            flushed_floor = statistics.median(results["floor flushed"][0])
            for label, kept in results.items():
                # The flushed pair is judged against the flushed floor.
                by_label = {"brmark": (floor_median, ratio),
                            "brmark flushed": (flushed_floor, flushed_ratio),
                            "floor flushed": (flushed_floor, None)}
                base, paired = by_label.get(label, (floor_median, None))
                cells = row_cells(f"{name} ({size / MIB:.3g} MiB)", label, kept, size,
                                  base, cat, paired)
                rows.append(cells)
                print(ROW.format(name, *cells[1:]))
            brmark_median = statistics.median(results["brmark"][0])
            brmark_peak = max(results["brmark"][1])
            others = min((statistics.median(results[k][0]) for k in ("sed", "awk", "perl")
                          if k in results), default=math.inf)
            # The 4 KB file is judged on its memory alone: its times are the
            # processes' start, which the one-liners' interpreters share.
            met = brmark_peak <= MEMORY_TARGET_KB and (
                target is None or (flushed_ratio <= target and brmark_median < others))
            all_met = all_met and met
            verdict = ("met" if met else "NOT met") if full_size else "not judged below full size"
            wanted = "no target" if target is None else f"target {target}x"
            line = (f"{name}: {description}, {size / MIB:.3g} MiB: output checked; as it runs "
                    f"{flushed_ratio:.2f}x the flushed floor ({wanted}), in the page cache "
                    f"{ratio:.2f}x the floor, the medians of {len(results['brmark'][0])} pairs, "
                    f"{brmark_peak} KB (target {MEMORY_TARGET_KB}), faster than the one-liners: "
                    f"{verdict}")
            verdicts.append(line)
            print(line + "\n")
            os.remove(os.path.join(folder, name))
    finally:
        shutil.rmtree(folder)
    judged = "all targets" if not arguments.only else "the targets of these corpora"
    summary = ((f"{judged} met" if all_met else "some targets not met") if full_size
               else "outputs checked; targets are judged at full size with every contender only")
    print(summary)
    if arguments.markdown:
        with open(arguments.markdown, "w") as f:
            f.write(f"On {machine}.\n\n")
            f.write("| " + " | ".join(HEADINGS) + " |\n|" + "---|" * 2 + "---:|" * 7 + "\n")
            f.writelines("| " + " | ".join(cells) + " |\n" for cells in rows)
            f.write("\n" + "".join(f"- {line}\n" for line in verdicts) + f"\n{summary}\n")


if __name__ == "__main__":
    main()
