#!/usr/bin/env python3
"""Seeded runs of kt62-flash against hostile KT62 devices (kt62dev.py), every run checked."""
import argparse, collections, concurrent.futures, contextlib, functools, hashlib, json, os
import random, signal, stat, subprocess, sys, tempfile, time, traceback, types
from pathlib import Path

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kt62dev as dev  # noqa: E402
from kt62dev import ACK, EVERY, NAK  # noqa: E402

MARGIN_S = 3.0  # start-up, the report, the devices' own pauses, a busy machine
QUERY_DELAY_S, LOOK_S = 1.0, 0.2  # the first query leaves after a second; a port's looks
RETRY_OPEN_S = 2.0  # how often a station tries a port that is there but does not open
ENDLESS_BOUND_S = 40.0  # a device that never stops only where that is quick to prove
DRAIN_S, EOF_S, SIGINT_LIMIT_S = 0.3, 2.0, 5.0  # devices read on; output's end; station's end
RSS_LIMIT_KB, GOOD_SHARE, MAX_IMAGE = 64 * 1024, 0.6, 40 * 1024
EXIT_CODES = {"success": 0, "skipped": 0, "device failure": 1, "premature success": 1,
              "port error": 3, "timeout": 4, "interrupted": 128 + signal.SIGINT}
TEXTS = [b"KT62 boot 2.1\r\n", b"ERR flash busy\r\n", b"\r\n> ", b"C"]


def at(*whens):  # one of these (event, count); block 0 is a random block of the image
    return lambda c: [c.rng.choice([(e, n or c.k if e == "block" else n) for e, n in whens])]


def seconds(low, high, of="timeout"):
    return lambda c: round(c.rng.uniform(low, high) * c.run.get(of, 1), 2)


def transfer_again(c):  # once or twice, or without end where that is quick to prove
    times = c.rng.choice([1, EVERY, EVERY] if bound_s(c.run) <= ENDLESS_BOUND_S else [1, 2])
    return [("eot", n) for n in range(1, times + 1)] or [("eot", EVERY)]


ANY_MOMENT = at(("start", 1), ("query", 1), ("erase", 1), ("block", 0), ("eot", 1))
# name: (weight, when it fires, the device's acts there with their arguments)
HOSTILE = {
    "late answer": (1, lambda c: [("query", 1), ("query", 2)][:c.rng.randint(1, 2)],
                    {"mute": True}),
    "never answers": (1, at(("query", EVERY)), {"mute": True}),
    "mutated answer": (1, at(("query", 1)), {"answers": lambda c: [c.rng.choice([c.ids["near"],
        b"", b"KT62", c.rng.randbytes(20), b"KT62_V\x1b[2J01", c.ids["exact"] * 4])]}),
    "two answers in one write": (1, at(("query", 1)), {"answers": lambda c: c.rng.sample(
        [c.identity, c.ids[c.rng.choice(["near", "exact", "older"])]], 2)}),
    "answer again": (2, at(("erase", 1), ("eot", 1), ("block", 0)), {"answer": True}),
    "answer split by a pause": (1, at(("query", 1)), {"split": seconds(0.06, 0.2, None)}),
    "query skipped": (1, at(("start", 1)), {"skip_query": True}),
    "slow erase": (1, at(("erase", EVERY)), {"erase_s": seconds(0.5, 1.4, "erase_timeout")}),
    "erase never ends": (1, at(("erase", EVERY)), {"erase_s": float("inf")}),
    "transfer again": (2, transfer_again, {"again": seconds(0.2, 0.6)}),
    "NAK burst": (1, at(("block", 0)), {"bytes": lambda c: NAK * c.rng.randint(3, 15)}),
    "ACK twice": (2, at(("block", 0)), {"bytes": ACK}),
    "ACK late": (1, at(("block", 0)), {"ack_late": seconds(0.3, 0.9)}),
    "ACKs ahead of the blocks": (1, at(("block", 0)), {"bytes": lambda c: ACK * (c.n - c.k + 1)}),
    "all ACKed unread, success, unplugged once heard": (1, at(("block", 0)), {"deaf": True,
        "bytes": lambda c: ACK * (c.n - c.k + 1) + dev.frame(dev.CMD_RESULT, b"\0")}),
    "result": (1, ANY_MOMENT, {"result": lambda c: c.rng.choice([0, 0, c.rng.randint(1, 255)])}),
    "no result": (1, at(("eot", 1)), {"no_result": True}),
    "silent": (1, ANY_MOMENT, {"silent": True}),
    "unplugged, back after (None: never)": (2, ANY_MOMENT, {"unplug": lambda c: (
        None if c.rng.random() < 0.3 else seconds(0.3, 1.5)(c))}),
    "noise": (2, at(("query", 1), ("block", 0)), {
        "bytes": lambda c: c.rng.choice(TEXTS + [c.rng.randbytes(c.rng.randint(1, 40))] * 4)}),
}


def device_script(rng, ids, run):  # six in ten behave, the others play 1 to 3 hostile acts
    weights = {"exact": 35, "fields": 20, "near": 30, "older": 15} if run["skip_same"] else \
        {"exact": 15, "fields": 5, "near": 10, "older": 70}
    identity = ids[rng.choices(list(weights), list(weights.values()))[0]]
    script = {"identity": identity, "acts": {}, "erase_s": round(rng.uniform(0, 0.15), 3),
              "empty_erased": rng.random() < 0.3}
    story = ["answers %s" % identity.decode()]
    for _ in range(0 if rng.random() < GOOD_SHARE else rng.choice([1, 1, 2, 3])):
        name = rng.choices(list(HOSTILE), [row[0] for row in HOSTILE.values()])[0]
        n = dev.blocks_for(len(run["image"]["data"]))
        c = types.SimpleNamespace(rng=rng, run=run, ids=ids, identity=identity, n=n,
                                  k=rng.randint(1, n))
        whens = HOSTILE[name][1](c)
        acts = {act: arg(c) if callable(arg) else arg for act, arg in HOSTILE[name][2].items()}
        for when in whens:
            script["acts"].setdefault(when, {}).update(acts)
        moments = ", ".join("%s %s" % (e, n or "every") for e, n in whens)
        args = {act: arg for act, arg in acts.items() if arg is not True}
        story.append("%s at %s%s" % (name, moments, " %s" % args if args else ""))
    return {"script": script, "story": story}


def scenario(seed):  # options, image, and for each port (a fixture) its boards in turn
    rng = random.Random(seed)
    model = rng.choice(["KT62", "KT62", "KT62", "KT62B"])
    version = "%02d.%02d.%02d.%02d" % tuple(rng.randrange(100) for _ in range(4))
    edge = dev.DATA_SIZE * rng.randint(1, MAX_IMAGE // dev.DATA_SIZE) + rng.choice([-1, 0, 1])
    body = rng.randbytes((min(MAX_IMAGE, edge) if rng.random() < 0.3 else
                          rng.randint(5, MAX_IMAGE)) - dev.HEADER_SIZE)
    image = {"model": model, "version": version, "name": "%s_V%s.bin" % (model, version),
             "data": (sum(body) & dev.HEADER_MASK).to_bytes(dev.HEADER_SIZE, "little") + body}
    exact, last = "%s_V%s" % (model, version), (int(version[-2:]) + 1 + rng.randrange(98)) % 100
    near = [exact + "5", exact + ".99", "KT99_V" + version, "%s_X%s" % (model, version),
            "%s_v%s" % (model.lower(), version), "_V" + version]
    ids = {"exact": exact, "near": rng.choice(near), "older": "%s%02d" % (exact[:-2], last),
           "fields": exact + "_" + rng.choice(["B2", "20240518", "rev_c", ""])}
    ids = {kind: text.encode() for kind, text in ids.items()}
    kind = rng.choices(["single", "multi", "station"], [45, 25, 30])[0]
    run = {"image": image, "kind": kind, "skip_same": rng.random() < 0.35,
           "retries": rng.randint(1, 3) if rng.random() < 0.35 else 0,
           "timeout": round(rng.uniform(0.6, 1.5), 1), "erase_timeout": round(rng.uniform(1, 3), 1)}
    station = kind == "station"
    ports = rng.randint(2, 4) if kind == "multi" else rng.randint(1, 3) if station else 1
    run["fixtures"] = [[device_script(rng, ids, run) for _ in range(
        rng.randint(1, 3) if station else 1)] for _ in range(ports)]
    for board in [b for boards in run["fixtures"] for b in boards] * station:
        # A served board stays a while (its node touched), then goes; the next comes after a pause.
        board.update(stay_s=round(rng.uniform(0.2, 0.8), 2), touch=rng.random() < 0.3,
                     pause_s=round(rng.uniform(0.05, 0.3), 2))
        board["story"] += ["its node touched"] * board["touch"]
        if rng.random() < 0.1:  # another program holds its port a while: no board till it lets go
            board["script"]["held_s"] = round(rng.uniform(0.3, 1.5), 2)
            board["story"].append("port held %.2f s by another program" % board["script"]["held_s"])
    return run


def bound_s(run):  # each step of each attempt within its limit; before a retry, the port
    t, e, retries = run["timeout"], run["erase_timeout"], run["retries"]
    attempt = QUERY_DELAY_S + t + e + (dev.blocks_for(len(run["image"]["data"])) + 2) * t
    return (retries + 1) * attempt + retries * (t + LOOK_S)


def describe(run):
    return "%s, --timeout %s --erase-timeout %s --retries %d%s, %s (%d bytes)\n  " % (
        run["kind"], run["timeout"], run["erase_timeout"], run["retries"],
        " --skip-same" * run["skip_same"], run["image"]["name"], len(run["image"]["data"])) + \
        "\n  ".join("tty%d board %d: %s" % (f, b, "; ".join(board["story"])) for f, boards in
                    enumerate(run["fixtures"]) for b, board in enumerate(boards, 1))


def snapshot(root, leave_out):  # types, sizes and hashes (or link targets) by name
    found = {}
    for folder, dirs, files in os.walk(root):
        for path in [os.path.join(folder, name) for name in dirs + files if name not in leave_out]:
            mode, size = os.lstat(path).st_mode, os.lstat(path).st_size
            found[path] = (stat.S_IFMT(mode), size, os.readlink(path) if stat.S_ISLNK(mode) else
                           stat.S_ISREG(mode) and hashlib.sha256(Path(path).read_bytes()).digest())
    return found


class Run:  # one seed: its devices on their links, kt62-flash against them, every check
    def __init__(self, seed, build):
        self.seed, self.build, self.run = seed, build, scenario(seed)
        self.image, self.station = self.run["image"]["data"], self.run["kind"] == "station"
        self.loop, self.devices, self.served, self.problems = dev.Loop(), [], [], []
        self.events, self.stdout, self.stderr = [], bytearray(), bytearray()
        self.rss, self.proc, self.results = 0, None, collections.Counter()

    def flag(self, what, detail=""):  # one cause often breaks a rule twice: each told once
        if what not in [seen for seen, _ in self.problems]:
            self.problems.append((what, detail))

    def execute(self):
        with tempfile.TemporaryDirectory(prefix="kt62-chaos-%d-" % self.seed) as self.work:
            try:
                self.play()
            finally:
                if self.proc:
                    self.proc.kill()  # nothing once it has ended
                    self.proc.wait()
                for device in self.devices:  # no timer runs any more: no replugging
                    device.unplug()
        return self.problems

    def trace(self):  # what each device heard and said, and what the flasher printed
        return "\n".join("%s plug %d: %s" % (d.label, p.serial, ", ".join(
            what if detail is None else "%s %r" % (what, detail) for what, _, detail in p.log))
            for d in self.devices for p in d.plugs) + "\n" + self.stderr.decode(errors="replace")

    def play(self):  # the firmware, things to leave alone, maybe an old report; the run
        w, r, name = self.work, self.run, self.run["image"]["name"]
        os.mkdir(os.path.join(w, "keep"))
        os.symlink(name, os.path.join(w, "latest.bin"))
        for path, data in [(name, self.image), ("keep/notes.txt", b"left alone\n"),
                           ("report.json", b"an old report\n")][:2 + (self.seed % 3 == 0)]:
            Path(w, path).write_bytes(data)
        links = ["tty%d" % i for i in range(len(r["fixtures"]))]
        self.fixtures = {os.path.join(w, link): {"link": os.path.join(w, link), "boards": boards,
                                                 "next": 0, "timer": None, "done": False}
                         for link, boards in zip(links, r["fixtures"])}
        for f in self.fixtures.values():  # a station's first boards come after a pause
            (self.loop.later(f["boards"][0]["pause_s"], lambda f=f: self.plug_next(f))
             if self.station else self.plug_next(f))
        leave_out = set(links + [link + ".new" for link in links] + ["report.json"])
        before, self.report = snapshot(w, leave_out), os.path.join(w, "report.json")
        cmd = [os.path.join(self.build, "tools", "flash", "kt62-flash"), "--json", "--report",
               self.report, "--timeout", str(r["timeout"]), "--erase-timeout",
               str(r["erase_timeout"]), "--retries", str(r["retries"])]
        cmd += ["--station"] * self.station + ["--skip-same"] * r["skip_same"]
        cmd += [arg for link in self.fixtures for arg in ("--port", link)] + [name]
        self.proc = subprocess.Popen(cmd, cwd=w, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.started = time.monotonic()
        for pipe, sink in ((self.proc.stdout, self.stdout), (self.proc.stderr, self.stderr)):
            os.set_blocking(pipe.fileno(), False)
            self.loop.readers[pipe.fileno()] = lambda p=pipe, s=sink: self.read_pipe(p, s)
        limit, overdue = bound_s(r) + MARGIN_S, "did not end within its limits"
        if self.station:
            self.board_limit = limit + LOOK_S
            self.serve(lambda: all(f["done"] for f in self.fixtures.values()))
            if self.proc.poll() is not None:
                self.flag("the station ended by itself", "exit code %s" % self.proc.returncode)
            self.proc.send_signal(signal.SIGINT)
            self.started, limit = time.monotonic(), SIGINT_LIMIT_S
            overdue = "the station did not end on SIGINT"
        ended = self.serve(lambda: self.proc.poll() is not None, limit)
        if not ended:
            self.proc.kill()
            self.proc.wait()
            self.flag(overdue, "stopped after %.1f s" % (time.monotonic() - self.started))
        self.serve(lambda: False, DRAIN_S)
        self.serve(lambda: self.proc.stdout.fileno() not in self.loop.readers, EOF_S)
        if self.rss > RSS_LIMIT_KB:
            self.flag("peak RSS over 64 MB", "%d kB" % self.rss)
        after = snapshot(w, leave_out)
        changed = [k for k in sorted(set(before) | set(after)) if before.get(k) != after.get(k)]
        for link, f in self.fixtures.items():  # a port's link: its device's while plugged
            have = os.readlink(link) if os.path.islink(link) else os.path.lexists(link) or None
            d = f["device"]
            changed += [link] * (have != (d.master is not None and d.pts or None))
        if changed:
            self.flag("the working folder changed", ", ".join(p[len(w) + 1:] for p in changed))
        if ended:
            self.check_report(self.proc.returncode)

    def serve(self, done, limit=float("inf")):  # its own RSS: a fork's can carry the parent's
        end = time.monotonic() + limit
        while not done() and time.monotonic() < end:
            with contextlib.suppress(OSError), open("/proc/%d/status" % self.proc.pid) as f:
                hwm = [int(line.split()[1]) for line in f if line.startswith("VmHWM:")]
                self.rss = max([self.rss] + hwm)
            self.loop.step(0.05)
        return done()

    def read_pipe(self, pipe, sink):
        data = os.read(pipe.fileno(), 65536)
        if not data:
            del self.loop.readers[pipe.fileno()]
        sink += data
        while sink is self.stdout and b"\n" in sink:
            line, _, sink[:] = bytes(sink).partition(b"\n")
            self.events.append(json.loads(line))  # a line that is no JSON fails the run
            if self.events[-1]["event"] == "device":
                self.on_board(self.events[-1])

    def check_report(self, code):  # against the exit code and the boards, each its device
        try:
            report = json.loads(Path(self.report).read_bytes())
        except (OSError, ValueError) as error:
            return self.flag("no readable report", str(error))
        entries = report.get("devices" if self.station else "ports", [])
        results = collections.Counter(e.get("result") for e in entries)
        want = max([e.get("exit_code", 0) for e in entries] + [0])
        if self.station:
            ok = results["success"] + results["skipped"]
            summary = {"served": len(entries), "succeeded": results["success"],
                       "skipped": results["skipped"], "failed": len(entries) - ok}
            if report.get("summary") != summary:
                self.flag("the station's summary disagrees with its boards", str(report["summary"]))
            want = EXIT_CODES["interrupted"] if results["interrupted"] else want
        for device, entry in zip([] if self.station else self.devices, entries):
            device.served_plug = ([p for p in device.plugs if p.runs] or device.plugs)[-1]
            self.served.append((entry, device))
        if not code == report.get("exit_code") == want:
            self.flag("exit code disagrees with the report", "exit %s, report %s, boards %s" % (
                code, report.get("exit_code"), [e.get("exit_code") for e in entries]))
        for entry, device in self.served:
            self.check_board(entry, device)

    def check_board(self, entry, device):
        result, code = entry.get("result"), entry.get("exit_code")
        plug, label, image = device.served_plug, device.label, self.run["image"]
        self.results[result] += 1
        if code != EXIT_CODES.get(result):
            self.flag("exit code disagrees with the result", "%s: %s, %s" % (label, result, code))
        said = [what for what, _, _ in plug.log]
        if result == "success" and plug.stored() == self.image:
            if not plug.eot:
                self.flag("success, but the device never saw the end of transmission", label)
        elif result == "success" and "eot" in said and "erase" in said[said.index("eot"):]:
            self.flag("success, but the device was erased after the image", label)
        elif result == "success":  # which blocks: in the conversation of the replay
            self.flag("success, but the device did not store the image", "%s: %d blocks stored, "
                      "%s bytes erased of %d" % (label, len(plug.blocks), plug.erase_size,
                                                  len(self.image)))
        if result == "skipped":
            # Two answers in one write are the device's right; a skip must rest on one of that
            # run's that named exactly the image: first "_" field the model, second "V" and the
            # version. A late answer sent as the next run's start sequence was on its way counts
            # for both. An erase by any run of the board forbids the skip.
            run = plug.runs_when_served or plug.runs
            told = [t.decode("utf-8", "replace").split("_") for what, r, texts in plug.log
                    if what == "answer" and r in (run - 1, run) for t in texts]
            if not any(f[:2] == [image["model"], "V" + image["version"]] for f in told):
                self.flag("skipped, but the device did not name the image", label + ": %s" % told)
            if any(e[0] == "erase" for p in device.plugs for e in p.log):
                self.flag("skipped, but the device was erased", label)
        for p in device.plugs:
            per_run = collections.Counter(run for what, run, _ in p.log if what == "erase")
            where = "%s plug %d" % (label, p.serial)
            if any(n > 1 for n in per_run.values()):
                self.flag("erased twice in one run", "%s: by run %s" % (where, dict(per_run)))
            elif not self.run["retries"] and sum(per_run.values()) > 1:
                self.flag("erased twice in one plug without --retries", where)
            if p.runs_when_served is not None and p.runs > p.runs_when_served:
                self.flag("a served board still plugged was served again", where)

    def plug_next(self, fixture):  # a station's board has its limits (a held port: longer)
        if fixture["next"] == len(fixture["boards"]):
            fixture["done"] = True
            return
        board = fixture["boards"][fixture["next"]]
        fixture["next"] += 1
        device = fixture["device"] = dev.Device(self.loop, fixture["link"], board["script"])
        device.board, device.reported = board, None
        device.label = "%s board %d" % (os.path.basename(fixture["link"]), fixture["next"])
        self.devices.append(device)
        device.plug_in()
        if self.station:
            held = board["script"].get("held_s")
            limit = self.board_limit + (held + RETRY_OPEN_S if held else 0)
            fixture["timer"] = self.loop.later(limit, lambda: self.overdue(fixture, device, limit))

    def overdue(self, fixture, device, limit):
        self.flag("a board was not served within its limits", "%s, %.1f s" % (device.label, limit))
        device.reported = "overdue"  # the station's word on it once pulled is not awaited
        self.unplug_board(fixture, device)

    def on_board(self, event):  # the station's word on the board in the fixture
        fixture = self.fixtures[event["port"]]
        device = fixture["device"]
        if device.reported:
            if device.reported != "overdue":
                self.flag("a served board still plugged was served again", "%s: serials %s, %s" % (
                    device.label, device.reported, event["serial"]))
            return
        if device.held is not None:
            self.flag("a port that did not open was counted as a board", device.label)
        device.reported, device.served_plug = event["serial"], device.plugs[-1]
        if device.master is not None:
            device.served_plug.runs_when_served = device.served_plug.runs
        self.served.append((next((e for e in reversed(self.events) if e["event"] == "result"
                                  and e["port"] == event["port"]), {}), device))
        device.stay_out()
        self.loop.cancel(fixture["timer"])
        stay = device.board["stay_s"]
        if device.board["touch"]:
            self.loop.later(stay / 2, lambda: device.master is not None and os.utime(device.pts))
        fixture["timer"] = self.loop.later(stay, lambda: self.unplug_board(fixture, device))

    def unplug_board(self, fixture, device):
        device.stay_out()
        device.unplug()
        following = fixture["boards"][fixture["next"]:] or [{"pause_s": 0}]
        self.loop.later(following[0]["pause_s"], lambda: self.plug_next(fixture))


def run_seed(seed, build, verbose):
    run = Run(seed, build)
    try:
        problems = run.execute()
    except Exception:  # the harness's own fault (or output that is no JSON): fails the run
        problems = [("the chaos harness failed", traceback.format_exc())]
    return seed, problems, run.results, run.rss, run.trace() if problems and verbose else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build")
    for name, default in (("seeds", 300), ("first", 1), ("seed", None), ("jobs", 4)):
        parser.add_argument("--" + name, type=int, default=default)  # --seed: one, five times
    opts = parser.parse_args()
    one, build = opts.seed is not None, os.path.abspath(opts.build)
    seeds = [opts.seed] * 5 if one else range(opts.first, opts.first + opts.seeds)
    replay = "python3 %s --build %s --seed %%d" % (os.path.relpath(__file__), opts.build)
    if one:
        print("seed %d: %s" % (opts.seed, describe(scenario(opts.seed))))
    classes, results, peak, failing = collections.defaultdict(list), collections.Counter(), 0, 0
    started = time.monotonic()
    with concurrent.futures.ProcessPoolExecutor(opts.jobs) as pool:
        job = functools.partial(run_seed, build=build, verbose=one)
        for seed, problems, tally, rss, trace in pool.map(job, seeds):
            results.update(tally)
            peak, failing = max(peak, rss), failing + bool(problems)
            for what, detail in problems:
                classes[what].append(seed)
                print("VIOLATION seed %d: %s%s" % (seed, what, ": " + detail if detail else ""))
            if problems:
                print("  " + (trace.replace("\n", "\n  ") if one else "%s\n  replay: %s" % (
                    describe(scenario(seed)), replay % seed)), flush=True)
    print("\n%d runs in %.0f s, %d at once; peak RSS %.1f MB; boards: %s" % (
        len(seeds), time.monotonic() - started, opts.jobs, peak / 1024.0,
        ", ".join("%s %d" % kv for kv in results.most_common())))
    print("%d runs with violations, by class:" % failing if classes else "no violations")
    for what, hit in sorted(classes.items(), key=lambda kv: -len(kv[1])):
        print("  %4d  %s  (replay: %s)" % (len(hit), what, replay % hit[0]))
    return 1 if classes else 0


if __name__ == "__main__":
    sys.exit(main())
