#!/usr/bin/env python3
"""Seeded upgrades of random images against kt62-sim with random faults.

Every run encrypts a fresh plain image with kt62-flash --encrypt, starts a
simulated device with a random mix of faults and upgrades it with kt62-flash.
The outcome must match the faults: success saves an image identical to the
plain one (a 1 to 3 byte tail is zeroed by the image format itself), a
failing result exits 1, an unplugged cable 3, a silent device 4 within its
time-out, and no fault ever reports "Upgrade finished!". No run may hang, and
no simulator or pty link may outlive its run.
"""
import argparse
import collections
import concurrent.futures
import math
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_PORT, EXIT_TIMEOUT = 0, 1, 2, 3, 4
BLOCK = 1024
SUCCESS_TEXT = "Upgrade finished!"


def expected_device_image(plain):
    tail = len(plain) % BLOCK
    if 0 < tail < 4:
        return plain[: len(plain) - tail] + bytes(tail)
    return plain


def choose_faults(rng, blocks):
    """Returns (sim arguments, expected exit code, outcome name)."""
    args = []
    if rng.random() < 0.5:
        args.append("--chunk-split")
    if rng.random() < 0.3:
        args += ["--noise", "%.2f" % rng.uniform(0.05, 0.5)]
    if rng.random() < 0.3:
        args += ["--nak-rate", "%.2f" % rng.uniform(0.05, 0.5)]  # a NAK storm
    terminal = rng.random()
    if terminal < 0.1:
        return args + ["--silent-after", str(rng.randint(1, blocks))], EXIT_TIMEOUT, "silent"
    if terminal < 0.2:
        return args + ["--exit-after", str(rng.randint(1, blocks))], EXIT_PORT, "unplugged"
    if terminal < 0.3:
        return args + ["--fail-result"], EXIT_FAILED, "failed"
    return args, EXIT_OK, "success"


def wait_for(predicate, limit):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def stop(process):
    """Ends a simulator; True when it went on SIGTERM as it should."""
    if process.poll() is not None:
        return True
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
        return True
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return False


def one_run(index, opts):
    rng = random.Random(opts.seed * 1000003 + index)
    size = max(1, int(math.exp(rng.uniform(0, math.log(opts.max_size)))))
    plain = rng.randbytes(size)
    blocks = (size + 4 + BLOCK - 1) // BLOCK
    sim_args, expected, outcome = choose_faults(rng, blocks)
    problems = []
    with tempfile.TemporaryDirectory(prefix="kt62-soak-") as work:
        source = os.path.join(work, "KT62_01.02.03.04.bin")
        with open(source, "wb") as f:
            f.write(plain)
        flash = os.path.join(opts.build, "tools", "flash", "kt62-flash")
        sim = os.path.join(opts.build, "tools", "sim", "kt62-sim")
        enc = subprocess.run([flash, "--encrypt", source, "--output-dir", work, "--quiet"],
                             capture_output=True, timeout=60)
        if enc.returncode != 0:
            return outcome, ["encrypt exited %d: %s" % (enc.returncode, enc.stderr.decode())]
        firmware = os.path.join(work, "KT62_V01.02.03.04.bin")
        link = os.path.join(work, "tty")
        saved = os.path.join(work, "saved.bin")
        sim_cmd = [sim, "--link", link, "--save", saved, "--once", "--seed", str(index),
                   "--erase-ms", str(opts.erase_ms)] + sim_args
        device = subprocess.Popen(sim_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if not wait_for(lambda: os.path.islink(link), 10):
                return outcome, ["simulator made no link"]
            # A run may take as long as its transfer plus the silence limit.
            limit = opts.timeout + 30 + size / 20000
            started = time.monotonic()
            try:
                run = subprocess.run([flash, "--port", link, "--timeout", str(opts.timeout),
                                      "--quiet", firmware],
                                     capture_output=True, timeout=limit)
            except subprocess.TimeoutExpired:
                return outcome, ["flasher hung for %.0f s" % limit]
            elapsed = time.monotonic() - started
            text = (run.stdout + run.stderr).decode(errors="replace")
            if run.returncode != expected:
                problems.append("exit %d, expected %d" % (run.returncode, expected))
            if expected != EXIT_OK and SUCCESS_TEXT in text:
                problems.append("a fault printed %r" % SUCCESS_TEXT)
            if expected == EXIT_TIMEOUT and elapsed > opts.timeout + 15 + size / 20000:
                problems.append("time-out took %.1f s" % elapsed)
            if expected == EXIT_OK:
                if not wait_for(lambda: device.poll() is not None, 10):
                    problems.append("simulator did not finish after a whole image")
                elif not os.path.exists(saved):
                    problems.append("no image saved")
                else:
                    with open(saved, "rb") as f:
                        if f.read() != expected_device_image(plain):
                            problems.append("saved image differs from the plain image")
        finally:
            if not stop(device):
                problems.append("simulator ignored SIGTERM")
        if os.path.lexists(link):
            problems.append("pty link left behind")
    return outcome, [("run %d (size %d, sim %s): " % (index, size, " ".join(sim_args))) + p
                     for p in problems]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--max-size", type=int, default=2 * 1024 * 1024)
    parser.add_argument("--timeout", type=int, default=3, help="flasher --timeout")
    parser.add_argument("--erase-ms", type=int, default=20)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    opts = parser.parse_args()

    counts = collections.Counter()
    mismatches = []
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(opts.jobs) as pool:
        for outcome, problems in pool.map(lambda i: one_run(i, opts), range(opts.runs)):
            counts[outcome] += 1
            mismatches += problems
            for p in problems:
                print("MISMATCH", p, flush=True)
    for outcome in ("success", "failed", "unplugged", "silent"):
        print("%-10s %5d" % (outcome, counts[outcome]))
    print("%d runs in %.0f s, %d mismatches" % (opts.runs, time.monotonic() - started,
                                               len(mismatches)))
    passed = opts.runs - len({m.split(":")[0] for m in mismatches})
    print("%d passed, %d failed" % (passed, opts.runs - passed))
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
