#!/usr/bin/env python3
"""Measures the tools against their goals and prints one table; every figure
is a ratio of two things measured in the same run, so the machine cancels
out as far as it can. Not part of CI: it takes a few minutes.

    scripts/bench.py [BUILD_DIR] [--only KEYS]   (make bench installs lrzsz and xvfb first;
                                                  --only ag runs rows a and g alone)

  a  1 MiB upgrade against kt62-sim --pace 115200: payload rate as a share
     of the line's ceiling (11,520 B/s raw, 1024 of every 1029 bytes payload)
  b  4 MiB upgrade over a pty, unpaced: engine rate against lrzsz sx -k -> rx
     sending the same file over the same kind of pty pair
  c  encrypting a 5 MiB image with kt62-flash against cp of it
  d  the GUI idle for 10 s under xvfb-run: CPU share of one core
  e  peak RSS of kt62-flash upgrading the largest image (64 MiB less 1 KiB,
     65535 packets, the most the 16-bit packet count can address)
  f  8 devices at once, each kt62-sim --pace 115200, one kt62-flash: the
     slowest port's payload rate as a share of the line's ceiling, the
     flasher's CPU time over its run as a share of one core, and its peak
     RSS against the same image sent to one device
  g  a station of 32 devices at once, each kt62-sim --pace 115200, served by
     one kt62-flash --station --json: the slowest board's payload rate as a
     share of the line's ceiling, and the flasher's CPU time up to the last
     board's end as a share of one core
  h  peak RSS of kt62-flash stormed for 10 s by kt62-sim --nak-stream (NAKs
     without pause, no block taken) while upgrading a 16 MiB image, against
     the image size
  i  the board history: 10,000 boards recorded one after another into a
     fresh SQLite file as a station records them (the start row, then its
     completion, each committed with full sync), the median cost of one
     board; then the 10,000 rows exported as CSV
  j  the station window (kt62-station --start) under xvfb-run serving 8 and
     then 32 ports that have no board: CPU share of one core over 10 s each

Progress goes to standard error, the table to standard output.
"""

import json
import os
import platform
import pty
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty
import types

MIB = 1024 * 1024
BAUD = 115200
LINE_CEILING = BAUD / 10 * 1024 / 1029  # payload bytes per second at 8N1
MAX_PACKETS = 65535
STATION_PORTS = 8
STATION_BOARDS = 32
HISTORY_BOARDS = 10000
TOOLS = {"sim": "tools/sim/kt62-sim", "flash": "tools/flash/kt62-flash",
         "gui": "app/kt62-update-tool", "history": "tools/bench/kt62-history-bench",
         "station": "station/kt62-station"}
TOOL_ROWS = {"gui": "d", "history": "i", "station": "j"}  # tools only some rows need
COMMANDS = {"sx": "b", "rx": "b", "xvfb-run": "dj", "strace": "d"}  # and the rows that need them
IDLE_STATIONS = (8, 32)


def note(text):
    print(text, file=sys.stderr, flush=True)


class Bench:
    """The built tools and the scratch folder every measurement works in."""

    def __init__(self, build, work):
        self.sim = os.path.join(build, TOOLS["sim"])
        self.flash = os.path.join(build, TOOLS["flash"])
        self.gui = os.path.join(build, TOOLS["gui"])
        self.history = os.path.join(build, TOOLS["history"])
        self.station = os.path.join(build, TOOLS["station"])
        self.work = work

    def path(self, name):
        return os.path.join(self.work, name)

    def plain_image(self, name, size, seed):
        random.seed(seed)
        with open(self.path(name), "wb") as f:
            f.write(random.randbytes(size))
        return self.path(name)

    def encrypt(self, plain):
        out = subprocess.run([self.flash, "--quiet", "--encrypt", plain, "--output-dir", self.work],
                             check=True, capture_output=True, text=True)
        return out.stdout.strip()

    def upgrade(self, firmware, sim_flags=(), flash_flags=(), expected=0):
        """Runs one upgrade against a fresh simulator; the report and the
        flasher's resource usage. The flasher must exit with expected; the
        simulator is waited for only after a success."""
        link = self.path("ttyKT62")
        sim = subprocess.Popen([self.sim, "--link", link, "--once", *sim_flags],
                               stdout=subprocess.PIPE, text=True)
        try:
            sim.stdout.readline()  # the pty's name: the link is there
            report = self.path("report.json")
            flash = subprocess.Popen([self.flash, "--quiet", "--port", link, "--report", report,
                                      *flash_flags, firmware])
            usage = wait_measured(flash)
            if flash.returncode != expected:
                raise SystemExit(f"bench: upgrade of {firmware} exited {flash.returncode}, "
                                 f"not {expected}")
            if expected == 0:
                sim.wait(timeout=30)
            with open(report) as f:
                return json.load(f)["ports"][0], usage
        finally:
            stop(sim)

    def start_sims(self, sims, prefix, count, sim_flags):
        """Starts count simulated devices on links prefix0, prefix1 ... (added
        to sims as they start, for the caller to stop); their --port flags."""
        args = []
        for n in range(count):
            link = self.path(f"{prefix}{n}")
            sims.append(subprocess.Popen([self.sim, "--link", link, "--once", *sim_flags],
                                         stdout=subprocess.PIPE, text=True))
            sims[-1].stdout.readline()  # the pty's name: the link is there
            args += ["--port", link]
        return args

    def station(self, firmware, ports, sim_flags=()):
        """Upgrades ports simulated devices at once with one flasher; the
        per-port reports, the flasher's resource usage and its wall time."""
        sims = []
        try:
            args = self.start_sims(sims, "ttyS", ports, sim_flags)
            report = self.path("station.json")
            start = time.monotonic()
            flash = subprocess.Popen([self.flash, "--quiet", *args, "--report", report, firmware])
            usage = wait_measured(flash)
            wall = time.monotonic() - start
            if flash.returncode != 0:
                raise SystemExit(f"bench: station of {ports} failed ({flash.returncode})")
            for sim in sims:
                sim.wait(timeout=30)
            with open(report) as f:
                return json.load(f)["ports"], usage, wall
        finally:
            for sim in sims:
                stop(sim)

    def serve_station(self, firmware, boards, sim_flags=(), flash_flags=()):
        """kt62-flash --station --json on boards simulated devices, all plugged in
        as it starts, ended by SIGTERM once every board is served; the boards'
        report entries, the flasher's resource usage and its wall time up to the
        last board's end."""
        sims = []
        try:
            args = self.start_sims(sims, "ttyB", boards, sim_flags)
            report = self.path("served.json")
            start = time.monotonic()
            flash = subprocess.Popen([self.flash, "--quiet", "--station", "--json", *args,
                                      *flash_flags, "--report", report, firmware],
                                     stdout=subprocess.PIPE,
                                     text=True)
            served = 0
            for line in flash.stdout:  # the events, as a station program follows them
                served += json.loads(line)["event"] == "device"
                if served == boards:
                    break
            wall = time.monotonic() - start
            flash.send_signal(signal.SIGTERM)
            usage = wait_measured(flash)
            if flash.returncode != 0:
                raise SystemExit(f"bench: station of {boards} failed ({flash.returncode})")
            with open(report) as f:
                return json.load(f)["devices"], usage, wall
        finally:
            for sim in sims:
                stop(sim)

    def lrzsz_rate(self, file, limit=300):
        """sx -k sending file to rx over one pty pair: bytes per second and the
        number of time-outs rx sat through. rx flushes its input after every
        ACK; on a pty the next block often arrives before that flush and is
        lost, which rx only notices after a time-out of several seconds."""
        master, slave = pty.openpty()
        tty.setraw(master)
        tty.setraw(slave)
        os.makedirs(self.path("rx"), exist_ok=True)
        log = open(self.path("rx.log"), "w")
        start = time.monotonic()
        rx = subprocess.Popen(["rx", "-v", "received.bin"], stdin=master, stdout=master,
                              stderr=log, cwd=self.path("rx"))
        sx = subprocess.Popen(["sx", "-k", "-q", file], stdin=slave, stdout=slave,
                              stderr=subprocess.DEVNULL)
        try:
            ok = sx.wait(timeout=limit) == 0 and rx.wait(timeout=limit) == 0
        except subprocess.TimeoutExpired:
            ok = False
        elapsed = time.monotonic() - start
        for process in (sx, rx):
            stop(process)
        log.close()
        os.close(master)
        os.close(slave)
        with open(self.path("rx.log"), errors="replace") as f:
            stalls = f.read().count("TIMEOUT")
        received = os.path.getsize(self.path("rx/received.bin")) if ok else 0
        # rx's stalls can outlast the limit on a busy machine: its rate is
        # then known only to be below the file size over the limit.
        finished = received >= os.path.getsize(file)
        return os.path.getsize(file) / elapsed, stalls, finished

    def gui_idle(self, seconds=10, settle=2):
        """The idle GUI's CPU share of one core and its wake-ups per second,
        then its file opens per second, each over seconds. The opens are
        counted by strace in a window of their own, since tracing slows the
        process it watches."""
        gui = subprocess.Popen(["xvfb-run", "-a", self.gui], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 15
            pid = None
            while pid is None and time.monotonic() < deadline:
                pid = child_of(gui.pid, "kt62-update")
                time.sleep(0.1)
            if pid is None:
                raise SystemExit("bench: the GUI did not start under xvfb-run")
            time.sleep(settle)  # start-up is not idling
            before, woken, start = cpu_ns(pid), wakeups(pid), time.monotonic()
            time.sleep(seconds)
            elapsed = time.monotonic() - start
            share = (cpu_ns(pid) - before) / 1e9 / elapsed
            rate = (wakeups(pid) - woken) / elapsed
            trace = self.path("opens.strace")
            tracer = subprocess.Popen(["strace", "-f", "-qq", "-e", "trace=open,openat",
                                       "-o", trace, "-p", str(pid)])
            time.sleep(seconds)
            tracer.send_signal(2)
            tracer.wait()
            with open(trace) as f:
                opens = sum(1 for line in f if "open" in line)
            os.kill(pid, 15)
            return share, rate, opens / seconds
        finally:
            gui.terminate()
            gui.wait()

    def station_idle(self, firmware, ports, seconds=10, settle=2):
        """kt62-station serving ports that have no board (paths that do not
        exist), started at once under xvfb-run: its CPU share of one core."""
        env = dict(os.environ, XDG_CONFIG_HOME=self.path("station-config"),
                   XDG_DATA_HOME=self.path("station-data"))
        args = ["xvfb-run", "-a", self.station, "--start", "--history",
                self.path(f"idle{ports}.db")]
        for n in range(ports):
            args += ["--port", self.path(f"fixture{ports}-{n}")]
        station = subprocess.Popen(args + [firmware], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 15
            pid = None
            while pid is None and time.monotonic() < deadline:
                pid = child_of(station.pid, "kt62-station")
                time.sleep(0.1)
            if pid is None:
                raise SystemExit("bench: kt62-station did not start under xvfb-run")
            time.sleep(settle)  # start-up is not idling
            before, start = cpu_ns(pid), time.monotonic()
            time.sleep(seconds)
            share = (cpu_ns(pid) - before) / 1e9 / (time.monotonic() - start)
            os.kill(pid, 15)
            return share
        finally:
            station.terminate()
            station.wait()


def stop(process):
    if process.poll() is None:
        process.kill()
        process.wait()


def wait_measured(process):
    """Waits for process; its resource usage, with ru_maxrss replaced by the
    peak resident size of the program itself (VmHWM, polled while it runs).
    The kernel's ru_maxrss of a child starts from its parent's size at the
    fork, so it would measure this script as much as the flasher."""
    peak_kib = 0
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            process.returncode = os.waitstatus_to_exitcode(status)
            return types.SimpleNamespace(ru_utime=usage.ru_utime, ru_stime=usage.ru_stime,
                                         ru_maxrss=peak_kib)
        try:
            with open(f"/proc/{process.pid}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak_kib = max(peak_kib, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.02)


def best_time(command, runs=15):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return min(times)


def child_of(parent, name):
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            fields = stat[stat.rindex(")") + 2:].split()
            if int(fields[1]) == parent and name in stat[:stat.rindex(")")]:
                return int(entry)
    return None


def cpu_ns(pid):
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])


def wakeups(pid):
    """Times any thread of the process went to sleep and was woken: its
    voluntary context switches, summed over its threads."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as f:
            total += sum(int(line.split()[1]) for line in f
                         if line.startswith("voluntary_ctxt_switches"))
    return total


def line_rate(bench):
    note(f"(a) 1 MiB upgrade at {BAUD} baud, about 95 s ...")
    firmware = bench.encrypt(bench.plain_image("KT62_01.00.00.01.bin", MIB, 1))
    report, _ = bench.upgrade(firmware, ["--pace", str(BAUD)])
    rate = report["size"] / report["phases"]["transfer"]
    share = rate / LINE_CEILING
    return [("a", f"1 MiB upgrade, kt62-sim --pace {BAUD}: payload rate / line ceiling",
             f"{100 * share:.1f} % ({rate:,.0f} of {LINE_CEILING:,.0f} B/s)", "≥ 98 %",
             share >= 0.98)]


def against_lrzsz(bench):
    note("(b) 4 MiB upgrade over a pty, and lrzsz with the same file, up to a few minutes ...")
    firmware = bench.encrypt(bench.plain_image("KT62_04.00.00.00.bin", 4 * MIB, 4))
    report, _ = bench.upgrade(firmware)
    engine = report["size"] / report["phases"]["transfer"]
    lrzsz, stalls, finished = bench.lrzsz_rate(firmware)
    more, less = ("", "") if finished else ("> ", "< ")
    unfinished = "" if finished else ", lrzsz unfinished at its limit"
    return [("b", "4 MiB over a pty: engine rate / lrzsz sx -k -> rx",
             f"{more}{engine / lrzsz:.1f}× ({engine / MIB:.2f} vs {less}{lrzsz / MIB:.3f} MiB/s; "
             f"rx stalled {stalls}×{unfinished})", "≥ 1.0", engine / lrzsz >= 1.0)]


def encryption(bench):
    note("(c) encrypting 5 MiB against cp ...")
    plain = bench.plain_image("KT62_05.00.00.00.bin", 5 * MIB, 5)
    os.makedirs(bench.path("enc"), exist_ok=True)
    encrypting = best_time([bench.flash, "--quiet", "--encrypt", plain, "--output-dir",
                            bench.path("enc")])
    copying = best_time(["cp", plain, bench.path("enc/copy.bin")])
    return [("c", "encrypt 5 MiB (kt62-flash --encrypt) / cp of it",
             f"{encrypting / copying:.2f}× ({1000 * encrypting:.1f} vs {1000 * copying:.1f} ms)",
             "≤ 2×", encrypting / copying <= 2.0)]


def gui_idle(bench):
    note("(d) the GUI idle for 2 × 10 s under xvfb-run ...")
    share, rate, opens = bench.gui_idle()
    return [("d1", "GUI idle 10 s under xvfb-run: CPU / one core", f"{100 * share:.2f} %",
             "≤ 0.2 %", share <= 0.002),
            ("d3", "GUI idle 10 s under xvfb-run: wake-ups per second", f"{rate:.1f}",
             "≤ 10", rate <= 10),
            ("d2", "GUI idle 10 s under xvfb-run: file opens per second", f"{opens:.1f}",
             "≤ 100", opens <= 100)]


def headed_image(path, size, seed):
    """An image of size bytes whose checksum header matches its body, larger
    than --encrypt takes. Made by a child process: the kernel counts a
    child's peak RSS from its parent's size at the fork, so a bench holding
    the image would inflate every flasher measured after it. Only the
    checksum header matters to the device."""
    subprocess.run([sys.executable, "-c", """if True:
        import random, struct, sys
        random.seed(int(sys.argv[3]))
        body = random.randbytes(int(sys.argv[2]) - 4)
        with open(sys.argv[1], "wb") as f:
            f.write(struct.pack("<I", sum(body) & 0xFFFFFFFF))
            f.write(body)
    """, path, str(size), str(seed)], check=True)
    return path


def largest_image_memory(bench):
    note("(e) upgrading a 64 MiB image, about 15 s ...")
    size = MAX_PACKETS * 1024
    largest = headed_image(bench.path("KT62_V64.00.00.00.bin"), size, 64)
    _, usage = bench.upgrade(largest)
    peak = usage.ru_maxrss * 1024
    return [("e", "peak RSS of kt62-flash / image size (65535 packets)",
             f"{peak / size:.2f}× ({peak / MIB:.0f} MiB for {size / MIB:.0f} MiB)", "≤ 2.5×",
             peak / size <= 2.5)]


def several_ports(bench):
    note(f"(f) {STATION_PORTS} devices at once at {BAUD} baud with 256 KiB each, about 50 s ...")
    image = 256 * 1024
    firmware = bench.encrypt(bench.plain_image("KT62_08.00.00.00.bin", image, 8))
    _, alone, _ = bench.station(firmware, 1, ["--pace", str(BAUD)])
    reports, usage, wall = bench.station(firmware, STATION_PORTS, ["--pace", str(BAUD)])
    slowest = min(r["size"] / r["phases"]["transfer"] for r in reports) / LINE_CEILING
    cpu = (usage.ru_utime + usage.ru_stime) / wall
    growth = (usage.ru_maxrss - alone.ru_maxrss) * 1024 / (STATION_PORTS - 1)
    return [
        ("f1", f"{STATION_PORTS} ports at once: slowest port's payload rate / line ceiling",
         f"{100 * slowest:.1f} %", "≥ 97 %", slowest >= 0.97),
        ("f2", f"{STATION_PORTS} ports at once: kt62-flash CPU / one core",
         f"{100 * cpu:.2f} % ({usage.ru_utime + usage.ru_stime:.2f} s in {wall:.1f} s)",
         "≤ 10 %", cpu <= 0.10),
        ("f3", "peak RSS growth per added port / image size",
         f"{growth / (image + 4):.2f} ({alone.ru_maxrss / 1024:.1f} MiB for one port, "
         f"{usage.ru_maxrss / 1024:.1f} MiB for {STATION_PORTS})", "< 1", growth < image + 4),
    ]


def station_of_many(bench):
    note(f"(g) a station of {STATION_BOARDS} devices at {BAUD} baud with 128 KiB each, "
         "about 20 s ...")
    firmware = bench.encrypt(bench.plain_image("KT62_32.00.00.00.bin", 128 * 1024, 32))
    rows = []
    for key, history in (("g", ()), ("g", ("--history", bench.path("station-history.db")))):
        boards, usage, wall = bench.serve_station(firmware, STATION_BOARDS, ["--pace", str(BAUD)],
                                                  history)
        if any(board["result"] != "success" for board in boards):
            raise SystemExit("bench: a board of the station did not succeed")
        slowest = min(b["size"] / b["phases"]["transfer"] for b in boards) / LINE_CEILING
        cpu = (usage.ru_utime + usage.ru_stime) / wall
        label = f"station of {STATION_BOARDS} at once" + (", with --history" if history else "")
        rows += [
            (f"{key}{len(rows) + 1}", f"{label}: slowest board's payload rate / line ceiling",
             f"{100 * slowest:.1f} %", "≥ 97 %", slowest >= 0.97),
            (f"{key}{len(rows) + 2}", f"{label}: kt62-flash CPU / one core",
             f"{100 * cpu:.2f} % ({usage.ru_utime + usage.ru_stime:.2f} s in {wall:.1f} s)",
             "≤ 25 %", cpu <= 0.25),
        ]
    return rows


def nak_storm_memory(bench, seconds=10):
    note(f"(h) a NAK storm for {seconds} s against a 16 MiB upgrade, about {seconds + 2} s ...")
    size = 16 * MIB
    firmware = headed_image(bench.path("KT62_V16.00.00.00.bin"), size, 16)
    # The first block is the storm's only progress: the flasher gives up
    # --timeout seconds later (exit 4), having read NAKs all the while.
    report, usage = bench.upgrade(firmware, ["--nak-stream"], ["--timeout", str(seconds)],
                                  expected=4)
    peak = usage.ru_maxrss * 1024
    return [("h", f"peak RSS of kt62-flash under a {seconds} s NAK storm / image size",
             f"{peak / size:.2f}× ({peak / MIB:.0f} MiB for {size / MIB:.0f} MiB; "
             f"{report['naks']:,} NAKs, {report['blocks_sent']:,} blocks sent)", "≤ 2.5×",
             peak / size <= 2.5)]


def history_cost(bench):
    note(f"(i) {HISTORY_BOARDS:,} boards recorded into an SQLite history and exported, "
         "about 10 s ...")
    out = subprocess.run([bench.history, bench.work, str(HISTORY_BOARDS)], check=True,
                         capture_output=True, text=True)
    f = json.loads(out.stdout)
    return [
        ("i1", "history: recording one board into SQLite (start row + completion, full sync), "
               "median", f"{f['median_ms']:.2f} ms (95th percentile {f['p95_ms']:.2f} ms; "
                         f"{f['boards']:,} boards in {f['recording_s']:.1f} s)", "≤ 10 ms",
         f["median_ms"] <= 10),
        ("i2", f"history: CSV export of {f['boards']:,} rows",
         f"{f['export_s']:.2f} s ({f['csv_bytes'] / MIB:.1f} MiB)", "≤ 2 s", f["export_s"] <= 2),
    ]


def station_window_idle(bench):
    note("(j) the station window serving 8, then 32 ports without a board, 10 s each ...")
    firmware = bench.encrypt(bench.plain_image("KT62_09.00.00.00.bin", 64 * 1024, 9))
    rows = []
    for n, ports in enumerate(IDLE_STATIONS, 1):
        share = bench.station_idle(firmware, ports)
        rows.append((f"j{n}", f"station window serving {ports} ports without a board, 10 s "
                     "under xvfb-run: CPU / one core", f"{100 * share:.2f} %", "≤ 0.5 %",
                     share <= 0.005))
    return rows


MEASUREMENTS = (line_rate, against_lrzsz, encryption, gui_idle, largest_image_memory,
                several_ports, station_of_many, nak_storm_memory, history_cost,
                station_window_idle)
KEYS = "abcdefghij"  # one per measurement, in order


def print_table(rows):
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")),
                   "?")
    qt = subprocess.run(["pkg-config", "--modversion", "Qt5Core"], capture_output=True,
                        text=True).stdout.strip() or "?"
    print(f"Machine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}, Qt {qt}, "
          f"{time.strftime('%Y-%m-%d')}")
    print()
    print("| | measurement | figure | goal | met |")
    print("|---|---|---|---|---|")
    for key, what, figure, goal, met in rows:
        print(f"| {key} | {what} | {figure} | {goal} | {'yes' if met else 'no'} |")


def missing_prerequisite(build, only):
    """What stops the bench (its rows only) before it starts, or None."""
    for key, tool in TOOLS.items():
        needed = any(row in only for row in TOOL_ROWS.get(key, only))
        if needed and not os.access(os.path.join(build, tool), os.X_OK):
            return f"{os.path.join(build, tool)} is missing; run 'make build' first"
    for command, keys in COMMANDS.items():
        if any(key in only for key in keys) and shutil.which(command) is None:
            return f"{command} is missing; 'make bench' installs it"
    return None


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    only = KEYS
    if "--only" in argv:
        at = argv.index("--only")
        only = argv[at + 1] if at + 1 < len(argv) else ""
        del argv[at:at + 2]
        if not only or any(key not in KEYS for key in only):
            print(f"bench: --only takes measurement keys from {KEYS}", file=sys.stderr)
            return 2
    build = os.path.abspath(argv[0] if argv else "build")
    problem = missing_prerequisite(build, only)
    if problem:
        print(f"bench: {problem}", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="kt62-bench.") as work:
        bench = Bench(build, work)
        rows = []
        for key, measure in zip(KEYS, MEASUREMENTS):
            if key in only:
                rows += measure(bench)
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
