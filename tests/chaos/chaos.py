#!/usr/bin/env python3
"""Seeded runs of kt62-flash against hostile KT62 devices, every run checked.

One seed picks the mode (one port, several, a station), the flasher's
options, the image and every device's script. Every run is held to the
flasher's promises: a success means the device stored exactly the image and
saw the end of transmission; a skip means the device named exactly the
image's model and version and was not erased; no board is erased twice in
one run, nor in one plug without --retries, nor served again while it stays
plugged; the run ends within its watchdog limits plus MARGIN_S; its peak
RSS stays under RSS_LIMIT_KB; its exit code agrees with its report; nothing
in its working folder changes but the report.
"""
import argparse
import collections
import concurrent.futures
import hashlib
import json
import multiprocessing
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import traceback

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kt62dev as dev  # noqa: E402

MARGIN_S = 3.0  # start-up, the report, the devices' own pauses, a busy machine
QUERY_DELAY_S = 1.0  # the first query leaves a second after the start sequence
LOOK_S = 0.2  # how often a waiting port is looked for
ENDLESS_BOUND_S = 40.0  # a device that never stops is given only where that is quick to prove
DRAIN_S = 0.3  # the devices read on after the flasher ended
SIGINT_LIMIT_S = 5.0
OVERDUE = "overdue"
RSS_LIMIT_KB = 64 * 1024
GOOD_SHARE = 0.6
MAX_IMAGE = 40 * 1024
EXIT_CODES = {"success": 0, "skipped": 0, "device failure": 1, "premature success": 1,
              "bad input": 2, "port error": 3, "timeout": 4,
              "interrupted": 128 + signal.SIGINT}


# ---------------------------------------------------------------- scenario
def image_for(rng):
    """A firmware file: its checksum header and a random body."""
    model = rng.choice(["KT62", "KT62", "KT62", "KT62B"])
    version = ".".join("%02d" % rng.randrange(100) for _ in range(4))
    if rng.random() < 0.3:  # sizes at a block's edge
        size = dev.DATA_SIZE * rng.randint(1, 40) + rng.choice([-1, 0, 1])
        size = max(dev.HEADER_SIZE + 1, min(MAX_IMAGE, size))
    else:
        size = rng.randint(dev.HEADER_SIZE + 1, MAX_IMAGE)
    body = rng.randbytes(size - dev.HEADER_SIZE)
    head = (sum(body) & dev.HEADER_MASK).to_bytes(dev.HEADER_SIZE, "little")
    return {"model": model, "version": version, "name": "%s_V%s.bin" % (model, version),
            "data": head + body}


def names_image(text, image):
    """Exactly the image: first "_" field the model, second "V" and the version."""
    fields = text.decode("utf-8", "replace").split("_")
    return len(fields) > 1 and fields[0] == image["model"] and fields[1] == "V" + image["version"]


def identities(rng, image):
    model, version = image["model"], image["version"]
    exact = "%s_V%s" % (model, version)
    other_last = (int(version[-2:]) + 1 + rng.randrange(98)) % 100
    near = [exact + "5", exact + ".99", "KT99_V" + version, "%s_X%s" % (model, version),
            "%s_v%s" % (model.lower(), version), "_V" + version]
    return {"exact": exact, "near": rng.choice(near),
            "fields": exact + "_" + rng.choice(["B2", "20240518", "rev_c", ""]),
            "older": "%s_V%s%02d" % (model, version[:-2], other_last)}


def pick_identity(rng, ids, skip_same):
    weights = {"exact": 35, "fields": 20, "near": 30, "older": 15} if skip_same else \
        {"exact": 15, "fields": 5, "near": 10, "older": 70}
    return ids[rng.choices(list(weights), list(weights.values()))[0]].encode()


def noise(rng):
    if rng.random() < 0.5:
        return rng.choice([b"KT62 boot 2.1\r\n", b"ERR flash busy\r\n", b"\r\n> ", b"C"])
    return rng.randbytes(rng.randint(1, 40))


def add_act(script, when, act, arg=None):
    script["acts"].setdefault(when, []).append((act, arg))


HOSTILE = ["late answer", "mute", "mutated answer", "double answer", "answer again",
           "answer again", "split answer", "skip query", "slow erase", "no erase end",
           "transfer again", "transfer again", "nak burst", "ack twice", "ack twice",
           "ack ahead", "leave acked", "result", "no result", "silent", "unplug", "unplug",
           "noise", "noise"]


def hostile(rng, script, ids, run):
    """Adds one hostile act to a device's script; returns what it does."""
    t = run["timeout"]
    blocks = dev.blocks_for(len(run["image"]["data"]))
    k = rng.randint(1, blocks)
    some_moment = rng.choice([("start", 1), ("query", 1), ("erase", 1), ("block", k), ("eot", 1)])
    name = rng.choice(HOSTILE)
    if name == "late answer":
        script["answer_from"] = rng.randint(2, 3)
    elif name == "mute":
        script["mute"] = True
    elif name == "mutated answer":
        script["answers"] = {1: [rng.choice([
            ids["near"].encode(), b"", b"KT62", rng.randbytes(20), b"KT62_V\x1b[2J01.00",
            ids["exact"].encode() * 4])]}
    elif name == "double answer":  # two answers in one write
        pair = [script["identity"], rng.choice([ids["near"], ids["exact"], ids["older"]]).encode()]
        rng.shuffle(pair)
        script["answers"] = {1: pair}
    elif name == "answer again":
        when = rng.choice([("erase", 1), ("eot", 1), ("block", k)])
        add_act(script, when, "answer")
        return "answer again at %s %d" % when
    elif name == "split answer":  # a pause longer than the tool's frame gap
        script["split_answer"] = {1: round(rng.uniform(0.06, 0.2), 3)}
    elif name == "skip query":
        add_act(script, ("start", 1), "skip_query")
    elif name == "slow erase":
        script["erase_s"] = round(run["erase_timeout"] * rng.uniform(0.5, 1.4), 2)
        return "erase of %.2f s" % script["erase_s"]
    elif name == "no erase end":
        script["never_erased"] = True
    elif name == "transfer again":
        endless = bound_s(run) <= ENDLESS_BOUND_S
        script["transfer_again"] = rng.choice([1, -1, -1] if endless else [1, 2])
        script["again_s"] = round(rng.uniform(0.2, 0.6) * t, 2)
        times = script["transfer_again"]
        return "transfer again %s after the end, %.2f s later" % (
            "without end" if times < 0 else "%d time(s)" % times, script["again_s"])
    elif name in ("nak burst", "ack twice", "ack ahead", "leave acked"):
        act = name.replace(" ", "_")
        add_act(script, ("block", k), act, rng.randint(3, 15) if act == "nak_burst" else None)
        return "%s at block %d" % (name, k)
    elif name == "result":
        code = rng.choice([dev.RESULT_OK, dev.RESULT_OK, rng.randint(1, 255)])
        add_act(script, some_moment, "result", code)
        return "result %d at %s %d" % ((code,) + some_moment)
    elif name == "no result":
        add_act(script, ("eot", 1), "no_result")
    elif name == "silent":
        add_act(script, some_moment, "silent")
        return "silent from %s %d" % some_moment
    elif name == "unplug":
        back = None if rng.random() < 0.3 else round(rng.uniform(0.3, 1.5 * t), 2)
        add_act(script, some_moment, "unplug", back)
        return "unplugged at %s %d, back %s" % (some_moment + (
            "never" if back is None else "after %.2f s" % back,))
    elif name == "noise":
        when = ("query", 1) if rng.random() < 0.5 else ("block", k)
        add_act(script, when, "noise", noise(rng))
        return "noise at %s %d" % when
    return name


def device_script(rng, ids, run):
    script = {"identity": pick_identity(rng, ids, run["skip_same"]), "acts": {},
              "erase_s": round(rng.uniform(0, 0.15), 3), "empty_erased": rng.random() < 0.3}
    story = ["answers %s" % script["identity"].decode()]
    if rng.random() >= GOOD_SHARE:
        story += [hostile(rng, script, ids, run) for _ in range(rng.choice([1, 1, 2, 3]))]
    return {"script": script, "story": story}


def scenario(seed):
    rng = random.Random(seed)
    image = image_for(rng)
    ids = identities(rng, image)
    run = {"seed": seed, "image": image,
           "kind": rng.choices(["single", "multi", "station", "report is a port"],
                               [45, 25, 27, 3])[0],
           "retries": rng.randint(1, 3) if rng.random() < 0.35 else 0,
           "skip_same": rng.random() < 0.35,
           "timeout": round(rng.uniform(1.1, 1.5), 1),
           "erase_timeout": round(rng.uniform(1.0, 3.0), 1)}
    if run["kind"] == "station":
        run["fixtures"] = [[dict(device_script(rng, ids, run),
                                 stay_s=round(rng.uniform(0.2, 0.8), 2),
                                 touch=rng.random() < 0.3,
                                 pause_s=round(rng.uniform(0.05, 0.3), 2))
                            for _ in range(rng.randint(1, 3))]
                           for _ in range(rng.randint(1, 3))]
    else:
        ports = rng.randint(2, 4) if run["kind"] == "multi" else 1
        run["devices"] = [device_script(rng, ids, run) for _ in range(ports)]
    return run


def bound_s(run):
    """Longest a port may take: on each attempt the first answer (a second
    after the start), the end of the erase, each new acknowledged block, the
    end of transmission and the result, each within its limit of the step
    before; and before each retry a wait for the port to come back."""
    t, e, retries = run["timeout"], run["erase_timeout"], run["retries"]
    blocks = dev.blocks_for(len(run["image"]["data"]))
    attempt = QUERY_DELAY_S + t + e + (blocks + 2) * t
    return (retries + 1) * attempt + retries * (t + LOOK_S)


def describe(run):
    lines = ["%s, --timeout %s --erase-timeout %s%s%s, %s (%d bytes)" % (
        run["kind"], run["timeout"], run["erase_timeout"],
        " --retries %d" % run["retries"] if run["retries"] else "",
        " --skip-same" if run["skip_same"] else "", run["image"]["name"],
        len(run["image"]["data"]))]
    for f, boards in enumerate(run.get("fixtures", [])):
        for b, board in enumerate(boards, 1):
            lines.append("tty%d board %d: %s%s" % (f, b, "; ".join(board["story"]),
                                                    "; its node touched" if board["touch"] else ""))
    for i, device in enumerate(run.get("devices", [])):
        lines.append("tty%d: %s" % (i, "; ".join(device["story"])))
    return "\n  ".join(lines)


# ---------------------------------------------------------------- the machine
def snapshot(root, leave_out):
    """Names, types, sizes and hashes of everything under root."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            if path in leave_out:
                continue
            info = os.lstat(path)
            entry = (stat.S_IFMT(info.st_mode), info.st_size)
            if stat.S_ISREG(info.st_mode):
                with open(path, "rb") as f:
                    entry += (hashlib.sha256(f.read()).hexdigest(),)
            elif stat.S_ISLNK(info.st_mode):
                entry += (os.readlink(path),)
            found[os.path.relpath(path, root)] = entry
    return found


def peak_rss_kb(pid):
    """The process's own high-water mark (not a forked parent's size)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


# ---------------------------------------------------------------- one run
class Run:
    def __init__(self, seed, build):
        self.seed, self.build = seed, build
        self.run = scenario(seed)
        self.image = self.run["image"]["data"]
        self.loop = dev.Loop()
        self.problems = []
        self.lines = []
        self.events, self.stdout, self.stderr = [], bytearray(), bytearray()
        self.proc = None
        self.rss = 0
        self.killed = False
        self.results = collections.Counter()

    def flag(self, what, detail=""):
        """Notes a violation; one cause often breaks a rule twice, so each once."""
        if all(what != seen for seen, _ in self.problems):
            self.problems.append((what, detail))

    def execute(self):
        self.work = tempfile.mkdtemp(prefix="kt62-chaos-%d-" % self.seed)
        try:
            self.prepare()
            self.station() if self.run["kind"] == "station" else self.ports()
        finally:
            if self.proc and self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            try:
                for line in self.lines:
                    line.replug_allowed = False
                    line.unplug()
            finally:
                shutil.rmtree(self.work, ignore_errors=True)
        return self.problems

    def prepare(self):
        """The working folder: the firmware, things to be left alone, maybe an old report."""
        self.firmware = os.path.join(self.work, self.run["image"]["name"])
        with open(self.firmware, "wb") as f:
            f.write(self.image)
        os.mkdir(os.path.join(self.work, "keep"))
        with open(os.path.join(self.work, "keep", "notes.txt"), "w") as f:
            f.write("left alone\n")
        os.symlink(self.run["image"]["name"], os.path.join(self.work, "latest.bin"))
        self.report = os.path.join(self.work, "report.json")
        if self.seed % 3 == 0:
            with open(self.report, "w") as f:
                f.write("an old report\n")
        self.links = [os.path.join(self.work, "tty%d" % i)
                      for i in range(len(self.run.get("devices", self.run.get("fixtures"))))]

    def trace(self):
        """What each device heard and said, and what the flasher printed."""
        out = []
        for line in self.lines:
            for plug in line.device.plugs:
                said = []
                for what, _, detail in plug.log:
                    text = what if detail is None else "%s %r" % (what, detail)
                    said.append(said.pop() + "+" if said and said[-1].rstrip("+") == text else text)
                out.append("%s%s plug %d: %s" % (
                    os.path.basename(line.link), getattr(line, "label", ""), plug.serial,
                    ", ".join(said)))
        return "\n".join(out) + "\n" + bytes(self.stderr).decode(errors="replace")

    # -------------------------------------------- the flasher
    def spawn(self, args):
        r = self.run
        cmd = [os.path.join(self.build, "tools", "flash", "kt62-flash"), "--json",
               "--timeout", str(r["timeout"]), "--erase-timeout", str(r["erase_timeout"]),
               "--report", self.report] + args
        cmd += ["--retries", str(r["retries"])] if r["retries"] else []
        cmd += ["--skip-same"] if r["skip_same"] else []
        for link in self.links:
            cmd += ["--port", link]
        self.before = snapshot(self.work, self.leave_out())
        self.proc = subprocess.Popen(cmd + [self.firmware], cwd=self.work,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.started = time.monotonic()
        for pipe, sink in ((self.proc.stdout, self.stdout), (self.proc.stderr, self.stderr)):
            os.set_blocking(pipe.fileno(), False)
            self.loop.readers[pipe.fileno()] = lambda p=pipe, s=sink: self.read_pipe(p, s)

    def leave_out(self):
        """The devices' links are theirs, the report is the flasher's."""
        return set(self.links) | {link + ".new" for link in self.links} | {self.report}

    def read_pipe(self, pipe, sink):
        data = os.read(pipe.fileno(), 65536)
        if not data:
            del self.loop.readers[pipe.fileno()]
            return
        sink += data
        while sink is self.stdout and b"\n" in self.stdout:
            line, _, rest = bytes(self.stdout).partition(b"\n")
            self.stdout[:] = rest
            self.on_event(line)

    def on_event(self, line):
        try:
            event = json.loads(line)
        except ValueError:
            event = None
        if not isinstance(event, dict) or "event" not in event:
            self.flag("standard output is not JSON Lines", line[:80])
            return
        self.events.append(event)
        if event["event"] == "device":
            self.on_board(event)

    def wait_exit(self, limit):
        while time.monotonic() < limit:
            self.rss = max(self.rss, peak_rss_kb(self.proc.pid))
            if self.proc.poll() is not None:
                return True
            self.loop.step(0.05)
        return self.proc.poll() is not None

    def finish_flasher(self, limit, overdue):
        """Waits for the end up to limit; then the devices read what is left."""
        if not self.wait_exit(limit):
            self.killed = True
            self.proc.kill()
            self.proc.wait()
            self.flag(overdue, "stopped after %.1f s" % (time.monotonic() - self.started))
        end = time.monotonic() + DRAIN_S
        while time.monotonic() < end or (self.loop.readers.get(self.proc.stdout.fileno())
                                         and time.monotonic() < end + 2):
            self.loop.step(0.05)
        if self.rss > RSS_LIMIT_KB:
            self.flag("peak RSS over 64 MB", "%d kB" % self.rss)
        self.check_links()
        after = snapshot(self.work, self.leave_out())
        changed = sorted(k for k in set(self.before) | set(after)
                         if self.before.get(k) != after.get(k))
        if changed:
            self.flag("the working folder changed", ", ".join(changed))
        return self.proc.returncode

    def read_report(self):
        if self.killed:
            return None
        try:
            with open(self.report) as f:
                return json.load(f)
        except (OSError, ValueError) as error:
            self.flag("no readable report", str(error))
            return None

    # -------------------------------------------- checks
    def check_links(self):
        for line in self.lines:
            if line.plugged_in():
                if not os.path.islink(line.link) or os.readlink(line.link) != line.pts:
                    self.flag("a port's link changed", line.link)
                elif not stat.S_ISCHR(os.stat(line.pts).st_mode):
                    self.flag("a device node changed", line.pts)
            elif os.path.lexists(line.link) and line is self.last_on(line.link):
                self.flag("something was left where an unplugged port was", line.link)

    def last_on(self, link):
        return [line for line in self.lines if line.link == link][-1]

    def check_board(self, entry, line, plug, label):
        result, code = entry.get("result"), entry.get("exit_code")
        self.results[result] += 1
        if code != EXIT_CODES.get(result):
            self.flag("exit code disagrees with the result", "%s: %s, %s" % (label, result, code))
        if result == "success":
            self.check_success(plug, label)
        if result == "skipped":
            # Two answers in one write are the device's right; a skip must
            # rest on one of that run's that named exactly the image.
            run = plug.runs_when_served or plug.runs if plug else None
            said = plug.answers(run) if plug else []
            if not any(names_image(text, self.run["image"]) for text in said):
                self.flag("skipped, but the device did not name the image",
                          "%s: answered %s" % (label, said))
            if plug and plug.count("erase"):
                self.flag("skipped, but the device was erased", label)
        for p in line.device.plugs:
            per_run = collections.Counter(run for what, run, _ in p.log if what == "erase")
            where = "%s plug %d" % (label, p.serial)
            if any(n > 1 for n in per_run.values()):
                self.flag("erased twice in one run", "%s: erases by run %s" % (
                    where, dict(per_run)))
            elif not self.run["retries"] and sum(per_run.values()) > 1:
                self.flag("erased twice in one plug without --retries", where)
            if p.runs_when_served is not None and p.runs > p.runs_when_served:
                self.flag("a served board still plugged was served again", where)

    def check_success(self, plug, label):
        stored = plug.stored() if plug else None
        if stored == self.image:
            if not plug.eot:
                self.flag("success, but the device never saw the end of transmission", label)
            return
        said = [what for what, _, _ in plug.log] if plug else []
        if "eot" in said and "erase" in said[said.index("eot"):]:
            self.flag("success, but the device was erased after the image", label)
            return
        size, data = len(self.image), dev.DATA_SIZE
        wrong = [i for i in range(dev.blocks_for(size)) if plug and plug.blocks.get(i) !=
                 self.image[i * data:(i + 1) * data].ljust(data, dev.PAD)]
        self.flag("success, but the device did not store the image",
                  "%s: erase for %s bytes of %d, blocks %d to %d of %d missing or wrong" % (
                      label, plug and plug.erase_size, size, wrong[0] + 1 if wrong else 0,
                      wrong[-1] + 1 if wrong else 0, dev.blocks_for(size)))

    def check_exit(self, code, report, entries, want):
        codes = [e.get("exit_code", 0) for e in entries]
        if not code == report.get("exit_code") == want:
            self.flag("exit code disagrees with the report",
                      "exit %s, report %s, ports %s" % (code, report.get("exit_code"), codes))

    # -------------------------------------------- one or several ports
    def ports(self):
        for link, device in zip(self.links, self.run["devices"]):
            self.lines.append(dev.Line(self.loop, link, device["script"]))
            self.lines[-1].plug()
        slip = self.run["kind"] == "report is a port"
        if slip:  # the port under another spelling: refused, nothing sent
            self.report = os.path.join(self.work, ".", "tty0")
        self.spawn([])
        code = self.finish_flasher(self.started + bound_s(self.run) + MARGIN_S,
                                   "did not end within its limits")
        if slip:
            if code != EXIT_CODES["bad input"] or self.lines[0].device.plug.received:
                self.flag("a report named as a port was not refused", "exit code %s" % code)
            return
        report = self.read_report()
        if report is None:
            return
        entries = report.get("ports", [])
        if [e.get("port") for e in entries] != self.links:
            self.flag("the report's ports differ from the ports given")
            return
        self.check_exit(code, report, entries, max(e.get("exit_code", 0) for e in entries))
        for i, (entry, line) in enumerate(zip(entries, self.lines)):
            plugs = [p for p in line.device.plugs if p.runs] or line.device.plugs
            self.check_board(entry, line, plugs[-1], "tty%d" % i)

    # -------------------------------------------- a station
    def station(self):
        self.spawn(["--station"])
        self.board_limit = bound_s(self.run) + LOOK_S + MARGIN_S
        self.served = []  # (result entry, line)
        self.fixtures = [{"link": link, "boards": boards, "next": 0, "line": None, "done": False}
                         for link, boards in zip(self.links, self.run["fixtures"])]
        for fixture in self.fixtures:
            self.loop.later(fixture["boards"][0]["pause_s"], lambda f=fixture: self.plug_next(f))
        while not all(f["done"] for f in self.fixtures) and self.proc.poll() is None:
            self.rss = max(self.rss, peak_rss_kb(self.proc.pid))
            self.loop.step(0.05)
        if self.proc.poll() is not None:
            self.flag("the station ended by itself", "exit code %s" % self.proc.returncode)
        else:
            self.proc.send_signal(signal.SIGINT)
        self.started = time.monotonic()
        code = self.finish_flasher(self.started + SIGINT_LIMIT_S,
                                   "the station did not end on SIGINT")
        report = self.read_report()
        if report is None:
            return
        devices = report.get("devices", [])
        if len(devices) != len([e for e in self.events if e["event"] == "device"]):
            self.flag("the report's boards differ from the events")
        for entry, line in self.served:
            self.check_board(entry, line, line.served_plug, "%s%s (serial %s)" % (
                os.path.basename(line.link), line.label, entry["serial"]))
        interrupted = any(e.get("result") == "interrupted" for e in devices)
        self.check_exit(code, report, devices, EXIT_CODES["interrupted"] if interrupted
                        else max((e.get("exit_code", 0) for e in devices), default=0))
        results = collections.Counter(e.get("result") for e in devices)
        if report.get("summary") != {"served": len(devices), "succeeded": results["success"],
                                     "skipped": results["skipped"], "failed": len(devices) -
                                     results["success"] - results["skipped"]}:
            self.flag("the station's summary disagrees with its boards")

    def plug_next(self, fixture):
        if fixture["next"] == len(fixture["boards"]):
            fixture["done"] = True
            return
        board = fixture["boards"][fixture["next"]]
        fixture["next"] += 1
        line = dev.Line(self.loop, fixture["link"], board["script"])
        line.board, line.label, line.reported = board, " board %d" % fixture["next"], None
        self.lines.append(line)
        fixture["line"] = line
        line.plug()
        fixture["timer"] = self.loop.later(self.board_limit, lambda: self.overdue(fixture, line))

    def overdue(self, fixture, line):
        self.flag("a board was not served within its limits",
                  "%s%s after %.1f s" % (os.path.basename(line.link), line.label, self.board_limit))
        line.reported = OVERDUE  # the station's word on it once pulled is not awaited
        self.unplug_board(fixture, line)

    def on_board(self, event):
        """The station's word on a board: checked against the board in the fixture."""
        fixture = next((f for f in getattr(self, "fixtures", []) if f["link"] == event.get("port")),
                       None)
        if fixture is None or fixture["line"] is None:
            self.flag("a board was reported on a port without one", str(event.get("port")))
            return
        line = fixture["line"]
        if line.reported == OVERDUE:
            return
        if line.reported:
            self.flag("a served board still plugged was served again", "%s%s: serials %s and %s" % (
                os.path.basename(line.link), line.label, line.reported, event.get("serial")))
            return
        result = next((e for e in reversed(self.events)
                       if e["event"] == "result" and e["port"] == event["port"]), {})
        line.reported = event.get("serial")
        line.served_plug = line.device.plugs[-1] if line.device.plugs else None
        if line.served_plug and line.plugged_in():
            line.served_plug.runs_when_served = line.served_plug.runs
        self.served.append((dict(result, serial=event.get("serial")), line))
        self.loop.cancel(fixture["timer"])
        line.replug_allowed = False
        self.loop.cancel(line.replug_timer)
        if line.board["touch"]:
            self.loop.later(line.board["stay_s"] / 2, line.touch)
        fixture["timer"] = self.loop.later(line.board["stay_s"],
                                           lambda: self.unplug_board(fixture, line))

    def unplug_board(self, fixture, line):
        line.replug_allowed = False
        self.loop.cancel(line.replug_timer)
        line.unplug()
        following = fixture["boards"][fixture["next"]:]
        self.loop.later(following[0]["pause_s"] if following else 0,
                        lambda: self.plug_next(fixture))


# ---------------------------------------------------------------- many runs
def run_seed(seed, build, verbose=False):
    started = time.monotonic()
    trace = ""
    try:
        run = Run(seed, build)
        problems = run.execute()
        results, rss = dict(run.results), run.rss
        if problems and verbose:
            trace = run.trace()
    except Exception:  # the harness's own fault: shown, and fails the run
        problems, results, rss = [("the chaos harness failed", traceback.format_exc())], {}, 0
    return seed, problems, results, rss, trace, time.monotonic() - started


def replay_command(seed):
    return "make chaos CHAOS_SEED=%d" % seed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seeds", type=int, default=300, help="how many seeds, from --first")
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--seed", type=int, help="one seed, run --repeat times")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--verbose", action="store_true", help="a failing run's conversation")
    opts = parser.parse_args()
    replay = opts.seed is not None
    seeds = [opts.seed] * opts.repeat if replay else \
        list(range(opts.first, opts.first + opts.seeds))
    if replay:
        print("seed %d: %s" % (opts.seed, describe(scenario(opts.seed))))
    started = time.monotonic()
    classes, failing = collections.defaultdict(list), 0
    results, peak = collections.Counter(), 0
    build = os.path.abspath(opts.build)
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(opts.jobs, mp_context=context) as pool:
        futures = [pool.submit(run_seed, seed, build, opts.verbose) for seed in seeds]
        for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
            seed, problems, tally, rss, trace, took = future.result()
            results.update(tally)
            peak = max(peak, rss)
            for what, detail in problems:
                classes[what].append(seed)
                print("VIOLATION seed %d: %s%s" % (seed, what, ": " + detail if detail else ""))
            if problems:
                failing += 1
                if not replay:
                    print("  %s\n  replay: %s" % (describe(scenario(seed)), replay_command(seed)))
                if trace:
                    print("  " + trace.replace("\n", "\n  "))
            elif replay:
                print("seed %d: no violation (%.1f s)" % (seed, took))
            if done % 50 == 0:
                print("... %d of %d runs" % (done, len(seeds)), flush=True)
    print("\n%d runs in %.0f s, %d at once; peak RSS %.1f MB; boards: %s" % (
        len(seeds), time.monotonic() - started, opts.jobs, peak / 1024.0,
        ", ".join("%s %d" % kv for kv in results.most_common())))
    if not classes:
        print("no violations")
        return 0
    print("%d runs with violations; by class (runs, first seed):" % failing)
    for what, hit in sorted(classes.items(), key=lambda kv: -len(kv[1])):
        print("  %4d  %s  (%s)" % (len(hit), what, replay_command(hit[0])))
    return 1


if __name__ == "__main__":
    sys.exit(main())
