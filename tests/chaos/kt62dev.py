"""A KT62 device on a pseudo terminal, reached through a link: it answers as the device does,
or plays the hostile acts of its script. Its bytes and checksums are its own. An act fires at a
count of an event (the 2nd query; EVERY: each time), never at a time, so a seed replays."""
import fcntl, os, sched, select, termios, time, tty

FRAME_START, FRAME_HEADER = 0x24, 4  # start, length low, length high, command
CMD_QUERY, CMD_INFO, CMD_BEGIN, CMD_CANCEL = 0x10, 0x11, 0x20, 0x21
CMD_ERASED, CMD_RESULT, RESULT_OK, RESULT_FAILED = 0x22, 0x35, 0x00, 0x01
START_SEQUENCE = bytes([0x24, 0x00, 0x07, 0x99, 0x00, 0x00, 0x23])  # opens a run; no frame
MAX_TOOL_PAYLOAD = 255  # the tool's frames are short: a longer length is line noise
STX, EOT, EOT_TRAILER, ACK, NAK = 0x02, 0x04, 0x00, b"\x06", b"\x15"
DATA_SIZE, BYTE_MASK, PAD = 1024, 0xFF, b"\x1a"  # PAD fills an image's last block
BLOCK_SIZE = 3 + DATA_SIZE + 1  # STX, number, its complement, data, checksum
NAKS_TO_ASK = 3  # the tool sends a block on every third NAK
HEADER_SIZE, HEADER_MASK = 4, 0xFFFFFFFF  # an image's header: its body's sum, little-endian
LEAVE_POLL_S, LEAVE_POLLS = 0.01, 200  # how a deaf device waits for the tool to read it all
EVERY = 0  # the count of an act that fires each time


def frame(command, payload=b""):  # a zero-length frame needs a filler byte to complete
    n = len(payload)
    return bytes([FRAME_START, n & BYTE_MASK, n >> 8, command]) + payload + b"\0" * (n == 0)


def block_number(index):  # of the index-th block of a transfer: 1, 2, ... 255, 0, 1
    return (index + 1) & BYTE_MASK


def blocks_for(size):
    return (size + DATA_SIZE - 1) // DATA_SIZE


class Loop(sched.scheduler):  # select() over the devices' lines and the tool's pipes
    def __init__(self):
        super().__init__(time.monotonic)
        self.readers = {}

    def later(self, delay, fn):
        return self.enter(delay, 0, fn)

    def cancel(self, timer):
        if timer in self.queue:
            super().cancel(timer)

    def step(self, longest):
        wait = min(longest, self.run(blocking=False) or longest)  # runs what is due now
        for fd in select.select(list(self.readers), [], [], wait)[0]:
            if fd in self.readers:
                self.readers[fd]()
        self.run(blocking=False)


class Plug:  # a board's stay in its socket: its log of (what, run: starts so far, detail)
    def __init__(self, serial):
        self.serial, self.log, self.runs, self.runs_when_served = serial, [], 0, None
        self.erase_size, self.blocks, self.eot = None, {}, False

    def note(self, what, detail=None):
        self.log.append((what, self.runs, detail))

    def stored(self):  # cut to the size the erase announced
        if self.erase_size is not None:
            data = b"".join(self.blocks.get(i, b"") for i in range(blocks_for(self.erase_size)))
            return data[: self.erase_size]


class Device:  # a board: its script, its plugs, and its pty while plugged in
    def __init__(self, loop, link, script):
        self.loop, self.link, self.script = loop, link, script
        self.counts, self.plugs, self.plug, self.rx = {}, [], None, bytearray()
        self.master = self.slave = self.pts = self.held = self.replug_timer = None
        self.silent = self.quiet = self.xmodem = False
        self.replug_allowed, self.next = True, 0

    def plug_in(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.pts = os.ttyname(self.slave)
        if self.script.get("held_s") and not self.plugs:
            # Another program holds the port a while, from before the tool can see it.
            self.held = os.open(self.pts, os.O_RDWR | os.O_NOCTTY)
            fcntl.flock(self.held, fcntl.LOCK_EX)
            self.loop.later(self.script["held_s"], self.let_go)
        os.symlink(self.pts, self.link + ".new")
        os.replace(self.link + ".new", self.link)
        self.loop.readers[self.master] = lambda: self.receive(os.read(self.master, 65536))
        self.plug = Plug(len(self.plugs) + 1)
        self.plugs.append(self.plug)
        self.xmodem = False

    def let_go(self):
        if self.held is not None:
            os.close(self.held)
            self.held = None

    def unplug(self, back_after=None):  # what the line holds is read first
        if self.master is None:
            return
        self.quiet = True  # what a pulled cable still held gets no reply and fires no act
        while select.select([self.master], [], [], 0)[0]:
            self.receive(os.read(self.master, 65536))
        self.quiet = False
        self.let_go()
        self.loop.readers.pop(self.master, None)
        os.close(self.master)
        os.close(self.slave)
        self.master = self.plug = None
        self.rx.clear()
        if os.path.islink(self.link) and os.readlink(self.link) == self.pts:
            os.unlink(self.link)  # a link another board made since is left alone
        if back_after is not None:
            self.replug_timer = self.loop.later(
                back_after, lambda: self.replug_allowed and self.master is None and self.plug_in())

    def stay_out(self):  # served or given up on
        self.replug_allowed = False
        self.loop.cancel(self.replug_timer)

    def leave_once_heard(self, polls=LEAVE_POLLS):  # deaf; unplugs once the tool read it all
        if self.master is not None:
            self.loop.readers.pop(self.master, None)
            unread = int.from_bytes(fcntl.ioctl(self.slave, termios.FIONREAD, bytes(4)), "little")
            go_on = polls and unread
            self.loop.later(LEAVE_POLL_S,
                            lambda: self.leave_once_heard(polls - 1) if go_on else self.unplug())

    def soon(self, delay, fn):  # unless the board was unplugged meanwhile
        plug = self.plug
        return self.loop.later(delay, lambda: self.plug is plug and fn())

    def send(self, data, *note):
        if self.plug is not None and not self.silent and not self.quiet:
            if note:
                self.plug.note(*note)
            os.write(self.master, data)  # a few bytes at a time: the pty's buffer holds them all

    def event(self, what, reply):  # counted over the board's life; acts after the reply
        acts = {}
        if not self.quiet:
            n = self.counts[what] = self.counts.get(what, 0) + 1
            table = self.script.get("acts", {})
            acts = dict(table.get((what, EVERY), {}), **table.get((what, n), {}))
        reply(acts)
        if "answer" in acts:
            self.send(frame(CMD_INFO, self.script["identity"]), "answer", [self.script["identity"]])
        if "result" in acts:
            self.send(frame(CMD_RESULT, bytes([acts["result"]])), "result", acts["result"])
        self.send(acts.get("bytes", b""))  # noise, text, ACKs or NAKs beyond the usual
        self.silent |= "silent" in acts
        if "deaf" in acts:
            self.leave_once_heard()
        if "unplug" in acts:
            self.unplug(acts["unplug"])

    def receive(self, data):  # one whole item after the other
        self.rx += data
        while self.rx and self.plug:
            rx, size, handler = self.rx, 1, lambda _: None  # noise goes a byte at a time
            length = rx[1] | rx[2] << 8 if len(rx) >= FRAME_HEADER else 0
            if rx[0] == FRAME_START and START_SEQUENCE.startswith(bytes(rx[: len(START_SEQUENCE)])):
                size, handler = len(START_SEQUENCE), self.on_start
            elif rx[0] == FRAME_START and length <= MAX_TOOL_PAYLOAD:
                size, handler = FRAME_HEADER + length, self.on_frame
            elif rx[0] == STX:
                size, handler = BLOCK_SIZE, self.on_block
            elif rx[0] == EOT and rx[1:2] in (b"", bytes([EOT_TRAILER])):
                size, handler = 2, self.on_eot
            if len(rx) < size:
                return
            item = bytes(rx[:size])
            del rx[:size]
            handler(item)

    def on_start(self, _):
        self.plug.runs += 1
        self.plug.note("start")
        self.xmodem = False
        self.event("start", lambda acts: "skip_query" in acts and self.erase_done())

    def on_frame(self, raw):
        command, payload, plug = raw[FRAME_HEADER - 1], raw[FRAME_HEADER:], self.plug
        if command == CMD_QUERY:
            plug.note("query", payload)
            self.event("query", self.reply_query)
        elif command == CMD_BEGIN and len(payload) == 4:
            plug.erase_size, plug.blocks, plug.eot = int.from_bytes(payload, "little"), {}, False
            plug.note("erase", plug.erase_size)
            self.event("erase", lambda acts: self.soon(  # an endless erase takes inf seconds
                acts.get("erase_s", self.script.get("erase_s", 0.0)), self.erase_done))
        elif command == CMD_CANCEL:
            plug.note("cancel")

    def reply_query(self, acts):
        if "mute" in acts:
            return
        texts = acts.get("answers", [self.script["identity"]])
        reply = b"".join(frame(CMD_INFO, text) for text in texts)
        pause = acts.get("split")  # an answer split by a pause longer than the tool's frame gap
        self.send(reply[: FRAME_HEADER - 1] if pause else reply, "answer", texts)
        if pause:
            self.soon(pause, lambda: self.send(reply[FRAME_HEADER - 1 :]))

    def erase_done(self):
        self.send(frame(CMD_ERASED, b"" if self.script.get("empty_erased") else b"\x01"), "erased")
        self.xmodem, self.next = True, 0
        self.send(NAK * NAKS_TO_ASK)

    def on_block(self, raw):
        number, data, plug = raw[1], raw[3:-1], self.plug
        good = raw[2] == BYTE_MASK - number and raw[-1] == sum(data) & BYTE_MASK
        if not self.xmodem:
            plug.note("block outside a transfer", number)
        elif good and number == block_number(self.next):
            plug.blocks[self.next] = data
            self.next += 1
            plug.note("block", number)
            self.event("block", self.acknowledge)
        elif good and self.next and number == block_number(self.next - 1):
            plug.blocks[self.next - 1] = data  # sent again: the ACK was lost
            plug.note("repeat", number)
            self.acknowledge({})
        else:
            plug.note("refused", number)
            self.send(NAK * NAKS_TO_ASK)

    def acknowledge(self, acts):
        last = self.next == blocks_for(self.plug.erase_size or 0)
        send = lambda: self.send(ACK * (1 + last))  # one more asks for the end of transmission
        self.soon(acts["ack_late"], send) if "ack_late" in acts else send()

    def on_eot(self, _):
        self.plug.note("eot", None if self.xmodem else "outside a transfer")
        self.xmodem = False
        self.plug.eot = self.plug.erase_size is not None
        self.event("eot", self.end_transfer)

    def end_transfer(self, acts):
        if "again" in acts:  # the erase-finished report once more, as if started over
            self.soon(acts["again"], self.erase_done)
        elif "result" not in acts and "no_result" not in acts:
            image = self.plug.stored() or b""
            head = int.from_bytes(image[:HEADER_SIZE], "little")
            ok = len(image) > HEADER_SIZE and head == sum(image[HEADER_SIZE:]) & HEADER_MASK
            code = RESULT_OK if ok else RESULT_FAILED
            self.send(frame(CMD_RESULT, bytes([code])), "result", code)
