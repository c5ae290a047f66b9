#!/usr/bin/env python3
"""Time from a fault written into buffer B of a running kelvaring to its
error line, through /proc/PID/mem (needs the same user, and ptrace access:
kernel.yama.ptrace_scope 0, or root).

  detection_time.py EXECUTABLE [--sizes 256,1024] [--trials 5] [--sweep N] [--workers N]

For every size, `trials` runs with one bit flipped once at a random word,
and `trials` with one bit of a random word forced again and again (B set to
A's value with the bit flipped, every 10 ms) until the error line shows.
Prints one line per trial and a table: found, median and largest time."""
import argparse
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import tempfile
import threading
import time

ALLOCATION = re.compile(rb"(\d+) Mb allocated \(([0-9A-F]{16})/([0-9A-F]{16})\)\n")


class Run:
    def __init__(self, executable, megabytes, sweep, workers):
        self.folder = tempfile.mkdtemp(prefix="kelvaring-detect-")
        path = os.path.join(self.folder, "kelvaring")
        shutil.copy(executable, path)
        keys = ("sweep=%d\n" % sweep if sweep is not None else "") + ("workers=%d\n" % workers if workers else "")
        if keys:
            with open(path + ".ini", "w") as ini:
                ini.write("[tweak]\n" + keys)
        self.process = subprocess.Popen([path, str(megabytes)], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.out = b""
        self.errors = []  # arrival times of error lines
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        fd = self.process.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            now = time.monotonic()
            with self.lock:
                before = self.out.count(b"\rError ")
                self.out += chunk
                self.errors += [now] * (self.out.count(b"\rError ") - before)

    def wait_for(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                m = pattern.search(self.out)
            if m:
                return m
            time.sleep(0.01)
        raise RuntimeError("no %r in %r" % (pattern.pattern, self.out[-300:]))

    def error_after(self, start):
        with self.lock:
            later = [t for t in self.errors if t >= start]
        return later[0] - start if later else None

    def end(self):
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def trial(executable, megabytes, stuck, sweep, workers, limit):
    run = Run(executable, megabytes, sweep, workers)
    try:
        m = run.wait_for(ALLOCATION, 120)
        a, b = int(m.group(2), 16), int(m.group(3), 16)
        words = (megabytes << 20) // 8
        run.wait_for(re.compile(rb"\r\d+ cycles"), 60)
        time.sleep(random.uniform(0.5, 1.5))  # a random phase of cycles and sweeps
        index = random.randrange(words)
        bit = 1 << random.randrange(32)
        with open("/proc/%d/mem" % run.process.pid, "r+b", buffering=0) as mem:
            def word(address):
                mem.seek(address)
                return int.from_bytes(mem.read(4), "little")

            def put(address, value):
                mem.seek(address)
                mem.write(value.to_bytes(4, "little"))

            start = time.monotonic()
            if not stuck:
                put(b + 4 * index, word(b + 4 * index) ^ bit)
            while time.monotonic() - start < limit:
                if stuck:
                    put(b + 4 * index, word(a + 4 * index) ^ bit)
                found = run.error_after(start)
                if found is not None:
                    return found
                time.sleep(0.01)
        return None
    finally:
        run.end()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--sizes", default="256,1024")
    parser.add_argument("--trials", type=int, default=5)
    parser.add_argument("--sweep", type=int, default=None, help="the sweep key; default: no settings file")
    parser.add_argument("--workers", type=int, default=None, help="the workers key; default: not set")
    parser.add_argument("--limit", type=float, default=120, help="seconds before a fault counts as missed")
    args = parser.parse_args()
    rows = []
    for megabytes in [int(s) for s in args.sizes.split(",")]:
        for stuck in (False, True):
            kind = "stuck" if stuck else "flipped once"
            times = []
            for n in range(args.trials):
                t = trial(args.executable, megabytes, stuck, args.sweep, args.workers, args.limit)
                print("%5d MiB %-12s trial %d: %s" % (megabytes, kind, n + 1, "missed" if t is None else "%.2f s" % t),
                      flush=True)
                if t is not None:
                    times.append(t)
            rows.append((megabytes, kind, times))
    print("\n| size | fault | found | median | max |\n|---|---|---|---|---|")
    for megabytes, kind, times in rows:
        median = "%.2f s" % statistics.median(times) if times else "-"
        largest = "%.2f s" % max(times) if times else "-"
        print("| %d MiB | %s | %d of %d | %s | %s |" % (megabytes, kind, len(times), args.trials, median, largest))


if __name__ == "__main__":
    main()
