#!/usr/bin/env python3
"""The running program's rate against the limit kernel, measured from
outside in one session, so that a gap between the program and its
benchmark shows.

  bench/program_rate.py BUILD [--sizes 64,1024,8192] [--seconds 10] [--workers N] [--rounds 2]
                             [--keys "topmem=1 ..."]

For every size and round: BUILD/kelvaring runs with sweep=0 (and the
workers key when given) on its command line; its operations per second are read from the
progress line over `seconds` (whole cycles counted from the first progress
line after two seconds to the last before the end, times the operations of
a cycle), per second of wall time and per second of the workers' processor
time (from /proc: time the machine gave to other work or to no one is
left out, as it is in the limit's figure); then BUILD/kelvaring_cycle_share runs the limit kernel over
buffers of the same size (about 30 million operations) and gives its rate
in the processor time of its thread; for a team, on as many threads as it
has workers, each over its slice, their rates added up. Prints one line per
measurement and the program's share of the limit."""
import argparse
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time

PROGRESS = re.compile(rb"\r(\d+) cycles")


def worker_seconds(pid):
    """Processor time of the process's threads but the main one (the
    workers; the stop handler's thread sleeps), from /proc."""
    ticks = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        if int(tid) == pid:
            continue
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])  # utime, stime
        except OSError:
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def program_rate(executable, megabytes, seconds, workers, keys):
    """(operations per second of wall time, per second of the workers'
    processor time)."""
    folder = tempfile.mkdtemp(prefix="kelvaring-rate-")
    try:
        path = os.path.join(folder, "kelvaring")
        shutil.copy(executable, path)
        settings = ["sweep=0"] + (["workers=%d" % workers] if workers is not None else []) + keys
        process = subprocess.Popen([path, str(megabytes)] + settings, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        seen = []  # (time, cycles, workers' processor seconds) of every progress line
        lock = threading.Lock()

        def read():
            rest = b""
            while True:
                chunk = os.read(process.stdout.fileno(), 65536)
                if not chunk:
                    return
                now = time.monotonic()
                cpu = worker_seconds(process.pid)
                rest += chunk
                matches = list(PROGRESS.finditer(rest))
                with lock:
                    seen.extend((now, int(m.group(1)), cpu) for m in matches)
                # Each line counted once: what follows the last match waits
                # for the next chunk.
                rest = rest[matches[-1].end():] if matches else rest[-64:]

        threading.Thread(target=read, daemon=True).start()
        deadline = time.monotonic() + 600
        while time.monotonic() < deadline:
            with lock:
                if seen:
                    break
            time.sleep(0.05)
        time.sleep(2 + seconds)
        process.send_signal(signal.SIGINT)
        process.wait(timeout=120)
        with lock:
            start = next(entry for entry in seen if entry[0] >= seen[0][0] + 2)
            end = seen[-1]
        operations = (end[1] - start[1]) * (10485760 if megabytes >= 256 else 1048576)
        return operations / (end[0] - start[0]), operations / (end[2] - start[2])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def limit_rate(cycle_share, megabytes, threads):
    # About 30 million operations: 30 short cycles or 3 long ones.
    iterations = "3" if megabytes >= 256 else "30"
    team = ["-t", str(threads)] if threads > 1 else []
    out = subprocess.run([cycle_share] + team + [str(megabytes), iterations], capture_output=True, text=True,
                         check=True).stdout
    return float(re.search(r"limit ([0-9.e+]+) ops/s", out).group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--sizes", default="64,1024,8192")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--workers", type=int, default=None)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--keys", default="", help="more settings for the program, key=value separated by blanks")
    args = parser.parse_args()
    executable = os.path.join(args.build, "kelvaring")
    cycle_share = os.path.join(args.build, "kelvaring_cycle_share")
    for megabytes in [int(s) for s in args.sizes.split(",")]:
        for round_ in range(args.rounds):
            program, program_cpu = program_rate(executable, megabytes, args.seconds, args.workers, args.keys.split())
            threads = args.workers if args.workers else 1
            if args.workers == 0:
                threads = len(os.sched_getaffinity(0))
            limit = limit_rate(cycle_share, megabytes, threads)
            print("%6d MiB round %d: program %.1f M ops/s, limit %.1f M ops/s, share %.2f;"
                  " in the workers' processor time %.1f M ops/s, share %.2f"
                  % (megabytes, round_ + 1, program / 1e6, limit / 1e6, program / limit, program_cpu / 1e6,
                     program_cpu / limit), flush=True)


if __name__ == "__main__":
    main()
