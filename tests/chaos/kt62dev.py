"""A KT62 device for the chaos run: a pseudo terminal that answers as the
device does, or plays a scripted mix of hostile acts.

It keeps its own protocol bytes and checksums and reads nothing of the
tool's code. Every act fires at a count (the 2nd query, the 5th block
stored), never at a time, so a seed plays the same conversation again;
only durations (an erase, a pause before a replug) are times. What the
device "stored" is the data of the blocks it accepted, placed by its own
block-number rule and cut to the size the erase announced.
"""
import errno
import fcntl
import heapq
import os
import select
import struct
import termios
import time
import tty

FRAME_START = 0x24
FRAME_HEADER = 4  # start, length low, length high, command
CMD_QUERY = 0x10
CMD_INFO = 0x11
CMD_BEGIN = 0x20
CMD_CANCEL = 0x21
CMD_ERASED = 0x22
CMD_RESULT = 0x35
RESULT_OK = 0x00
RESULT_FAILED = 0x01
# Opens every run of the tool; it looks like a frame header but is none.
START_SEQUENCE = bytes([0x24, 0x00, 0x07, 0x99, 0x00, 0x00, 0x23])
# The tool's own frames are short (a query's text is 11 bytes); a longer
# announced length can only be line noise.
MAX_TOOL_PAYLOAD = 255

STX, EOT, EOT_TRAILER, ACK, NAK = 0x02, 0x04, 0x00, 0x06, 0x15
DATA_SIZE = 1024
PAD = b"\x1a"  # fills the last block of an image
BLOCK_SIZE = 3 + DATA_SIZE + 1  # STX, number, its complement, data, checksum
BYTE_MASK = 0xFF
NAKS_TO_ASK = 3  # the tool answers every third NAK with a block
NAK_RETRY_S = 0.15  # a receiver that heard nothing asks again
NAK_RETRIES = 30
HEADER_SIZE = 4  # of an image: the byte sum of the rest, little-endian
HEADER_MASK = 0xFFFFFFFF
LEAVE_POLL_S = 0.01
LEAVE_POLLS = 200


def frame(command, payload=b""):
    """A device frame; a zero-length one needs a filler byte to complete."""
    n = len(payload)
    raw = bytes([FRAME_START, n & BYTE_MASK, n >> 8, command]) + bytes(payload)
    return raw + b"\0" if n == 0 else raw


def checksum(data):
    return sum(data) & BYTE_MASK


def block_number(index):
    """Number of the index-th block of a transfer (0-based): 1, 2, ... 255, 0, 1."""
    return (index + 1) & BYTE_MASK


def blocks_for(size):
    return (size + DATA_SIZE - 1) // DATA_SIZE


def image_header_ok(image):
    head = int.from_bytes(image[:HEADER_SIZE], "little")
    return len(image) > HEADER_SIZE and head == sum(image[HEADER_SIZE:]) & HEADER_MASK


class Loop:
    """select() over the devices' lines and the tool's pipes, with timers."""

    def __init__(self):
        self.readers, self.writers, self.timers, self.order = {}, {}, [], 0

    def later(self, delay, fn):
        self.order += 1
        entry = [time.monotonic() + delay, self.order, fn]
        heapq.heappush(self.timers, entry)
        return entry

    @staticmethod
    def cancel(entry):
        if entry:
            entry[2] = None

    def step(self, longest):
        now = time.monotonic()
        wait = longest
        if self.timers:
            wait = max(0.0, min(wait, self.timers[0][0] - now))
        r, w, _ = select.select(list(self.readers), list(self.writers), [], wait)
        for fd in r:
            if fd in self.readers:
                self.readers[fd]()
        for fd in w:
            if fd in self.writers:
                self.writers[fd]()
        now = time.monotonic()
        while self.timers and self.timers[0][0] <= now:
            fn = heapq.heappop(self.timers)[2]
            if fn:
                fn()


class Plug:
    """One stay of a board in its socket: one pty, its record and its flash."""

    def __init__(self, serial):
        self.serial = serial
        self.log = []  # (what, run, detail); run = start sequences seen so far
        self.runs = 0
        self.erase_size = None
        self.blocks = {}
        self.eot = False  # end of transmission seen since the last erase
        self.received = 0  # bytes
        self.runs_when_served = None  # when the station reported this board

    def note(self, what, detail=None):
        self.log.append((what, self.runs, detail))

    def count(self, what):
        return sum(1 for entry in self.log if entry[0] == what)

    def answers(self, run=None):
        """The texts this plug answered with, in one run or in all."""
        return [text for what, r, text in self.log if what == "answer" and run in (None, r)]

    def stored(self):
        if self.erase_size is None:
            return None
        data = b"".join(self.blocks.get(i, b"") for i in range(blocks_for(self.erase_size)))
        return data[: self.erase_size]


class Device:
    """The device's behaviour; io gives it write(), later(), unplug(), replug()."""

    def __init__(self, script, io):
        self.script, self.io = script, io
        self.counts = {}
        self.plug = None
        self.plugs = []
        self.rx = bytearray()
        self.xmodem = False
        self.next_index = 0
        self.silent = False  # an act: says nothing more
        self.quiet = False  # reading what a pulled cable still held: no reply, no act
        self.pre_acked = False
        self.retry = None
        self.retries = 0

    # ------------------------------------------------------------ plugging
    def plugged(self):
        self.plug = Plug(len(self.plugs) + 1)
        self.plugs.append(self.plug)
        self.rx.clear()
        self.xmodem = False

    def unplugged(self):
        Loop.cancel(self.retry)
        self.plug = None
        self.rx.clear()

    def soon(self, delay, fn):
        """Runs fn after delay, unless the board was unplugged meanwhile."""
        plug = self.plug
        return self.io.later(delay, lambda: self.plug is plug and fn())

    # ------------------------------------------------------------ sending
    def speaks(self):
        return self.plug is not None and not self.silent and not self.quiet

    def send(self, data):
        if self.speaks():
            self.io.write(data)

    def answer(self, text):
        if self.speaks():
            self.plug.note("answer", text)
        return frame(CMD_INFO, text)

    def result(self, code):
        if self.speaks():
            self.plug.note("result", code)
        self.send(frame(CMD_RESULT, bytes([code])))

    # ------------------------------------------------------------ receiving
    def receive(self, data):
        if self.plug:
            self.plug.received += len(data)
        self.rx += data
        while self.rx and self.plug:
            taken = self.take()
            if not taken:
                return
            size, handler, arg = taken
            del self.rx[:size]
            handler(arg)

    def take(self):
        """The next whole item at the head of rx: (size, handler, argument)."""
        rx, lead = self.rx, self.rx[0]
        if lead == FRAME_START:
            if START_SEQUENCE.startswith(bytes(rx[: len(START_SEQUENCE)])):
                if len(rx) < len(START_SEQUENCE):
                    return None
                return len(START_SEQUENCE), self.on_start, None
            if len(rx) < FRAME_HEADER:
                return None
            length = rx[1] | rx[2] << 8
            if length > MAX_TOOL_PAYLOAD:
                return 1, self.on_stray, lead
            if len(rx) < FRAME_HEADER + length:
                return None
            return FRAME_HEADER + length, self.on_frame, bytes(rx[3 : FRAME_HEADER + length])
        if lead == STX:
            if len(rx) < BLOCK_SIZE:
                return None
            return BLOCK_SIZE, self.on_block, bytes(rx[:BLOCK_SIZE])
        if lead == EOT:
            if len(rx) < 2:
                return None
            return (2, self.on_eot, None) if rx[1] == EOT_TRAILER else (1, self.on_stray, lead)
        return 1, self.on_stray, lead

    def hit(self, what):
        """Counts an event over the board's life and fires the acts set for it."""
        if self.quiet:
            return 0, []
        n = self.counts[what] = self.counts.get(what, 0) + 1
        return n, self.script.get("acts", {}).get((what, n), [])

    def fire(self, acts, skip=()):
        for act, arg in acts:
            if act in skip:
                continue
            if act == "result":
                self.result(arg)
            elif act == "noise":
                self.send(arg)
            elif act == "answer":
                self.send(self.answer(self.script["identity"]))
            elif act == "silent":
                self.silent = True
            elif act == "unplug":
                self.io.unplug(arg)
                return

    def on_stray(self, byte):
        pass

    def on_start(self, _):
        self.plug.runs += 1
        self.plug.note("start")
        self.xmodem = False
        Loop.cancel(self.retry)
        _, acts = self.hit("start")
        if any(act == "skip_query" for act, _ in acts):
            self.erase_done()
        self.fire(acts)

    def on_frame(self, body):
        command, payload = body[0], body[1:]
        if command == CMD_QUERY:
            self.on_query(payload)
        elif command == CMD_BEGIN and len(payload) == 4:
            self.on_begin(int.from_bytes(payload, "little"))
        elif command == CMD_CANCEL:
            self.plug.note("cancel")

    def on_query(self, text):
        self.plug.note("query", text)
        n, acts = self.hit("query")
        script = self.script
        if n >= script.get("answer_from", 1) and not script.get("mute"):
            texts = script.get("answers", {}).get(n, [script["identity"]])
            reply = dict(acts).get("noise", b"") + b"".join(self.answer(t) for t in texts)
            pause = script.get("split_answer", {}).get(n)
            if pause:
                self.send(reply[:FRAME_HEADER - 1])
                self.soon(pause, lambda: self.send(reply[FRAME_HEADER - 1 :]))
            else:
                self.send(reply)
        self.fire(acts, skip=("noise",))

    def on_begin(self, size):
        plug = self.plug
        plug.note("erase", size)
        plug.erase_size, plug.blocks, plug.eot = size, {}, False
        _, acts = self.hit("erase")
        if not self.script.get("never_erased"):
            self.soon(self.script.get("erase_s", 0.0), self.erase_done)
        self.fire(acts)

    def erase_done(self):
        self.plug.note("erased")
        self.send(frame(CMD_ERASED, b"" if self.script.get("empty_erased") else b"\x01"))
        self.xmodem, self.next_index, self.pre_acked = True, 0, False
        self.ask()

    def ask(self, naks=NAKS_TO_ASK):
        """Asks for the next block; asks again while nothing comes."""
        Loop.cancel(self.retry)
        self.retries = 0 if naks == NAKS_TO_ASK else self.retries + 1
        self.send(bytes([NAK]) * naks)
        if self.retries < NAK_RETRIES:
            self.retry = self.soon(NAK_RETRY_S, lambda: self.xmodem and self.ask(1))

    def remaining(self):
        size = self.plug.erase_size
        return None if size is None else blocks_for(size) - self.next_index

    def on_block(self, raw):
        plug = self.plug
        number, data = raw[1], raw[3:-1]
        good = raw[2] == BYTE_MASK - number and raw[-1] == checksum(data)
        if not self.xmodem:
            plug.note("block outside a transfer", number)
            return
        if good and number == block_number(self.next_index):
            plug.blocks[self.next_index] = data
            self.next_index += 1
            plug.note("block", number)
            n, acts = self.hit("block")
            self.ask_next(acts)
        elif good and self.next_index and number == block_number(self.next_index - 1):
            plug.blocks[self.next_index - 1] = data  # sent again: the ACK was lost
            plug.note("repeat", number)
            self.ask_next([])
        else:
            plug.note("refused", number)
            self.ask()

    def ask_next(self, acts):
        Loop.cancel(self.retry)
        ack = bytes([ACK])
        left = self.remaining()
        acts_of = dict(acts)
        if "leave_acked" in acts_of:
            # Deaf from here: every block acknowledged unread, a success,
            # and the cable pulled once the tool has read all that.
            self.send(ack * ((left or 0) + 2))
            self.result(RESULT_OK)
            self.io.leave_once_heard()
            return
        if "ack_ahead" in acts_of and left:
            # This block's ACK, one for each block to come, and the one that
            # asks for the end of transmission.
            self.send(ack * (left + 2))
            self.pre_acked = True
        elif "nak_burst" in acts_of:
            self.send(bytes([NAK]) * acts_of["nak_burst"])
        elif not self.pre_acked:
            reply = ack * (2 if "ack_twice" in acts_of else 1)
            # After the last block, one more ACK asks for the end of transmission.
            self.send(reply + (ack if left == 0 else b""))
        self.fire(acts)
        if left != 0 and self.plug:
            self.retry = self.soon(NAK_RETRY_S, lambda: self.xmodem and self.ask(1))

    def on_eot(self, _):
        plug = self.plug
        Loop.cancel(self.retry)
        if not self.xmodem:
            plug.note("eot outside a transfer")
        self.xmodem = False
        plug.note("eot")
        plug.eot = plug.erase_size is not None
        n, acts = self.hit("eot")
        acts_of = dict(acts)
        again = self.script.get("transfer_again", 0)
        if again and (again < 0 or n <= again):
            # The erase-finished report once more, as if the device started over.
            self.soon(self.script.get("again_s", 0.0), self.erase_done)
            return
        if "result" not in acts_of and "no_result" not in acts_of:
            image = plug.stored()
            self.result(RESULT_OK if image and image_header_ok(image) else RESULT_FAILED)
        self.fire(acts)


class Line:
    """A device's pseudo terminal, reached by the tool through a link."""

    def __init__(self, loop, link, script):
        self.loop, self.link = loop, link
        self.device = Device(script, self)
        self.master = self.slave = None
        self.out = bytearray()
        self.replug_timer = None
        self.pts = None
        self.replug_allowed = True

    def later(self, delay, fn):
        return self.loop.later(delay, fn)

    def plugged_in(self):
        return self.master is not None

    def plug(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.pts = os.ttyname(self.slave)
        temporary = self.link + ".new"
        os.symlink(self.pts, temporary)
        os.replace(temporary, self.link)
        self.loop.readers[self.master] = self.readable
        self.device.plugged()

    def unplug(self, replug_after=None):
        """Pulls the cable: what the line holds is read first, then it is gone."""
        if not self.plugged_in():
            return
        self.drain()
        self.loop.readers.pop(self.master, None)
        self.loop.writers.pop(self.master, None)
        os.close(self.master)
        os.close(self.slave)
        self.master = self.slave = None
        self.out.clear()
        if os.path.islink(self.link) and os.readlink(self.link) == self.pts:
            os.unlink(self.link)
        self.device.unplugged()
        if replug_after is not None and self.replug_allowed:
            self.replug_timer = self.loop.later(replug_after, self.replug)

    def replug(self):
        if self.replug_allowed and not self.plugged_in():
            self.plug()

    def touch(self):
        """Changes the node's times, as a udev rule or a program might."""
        if self.plugged_in():
            os.utime(self.pts)

    def drain(self):
        """Reads what the line carries without answering it."""
        self.device.quiet = True
        while self.plugged_in():
            data = self.read()
            if not data:
                break
            self.device.receive(data)
        self.device.quiet = False

    def unread_by_tool(self):
        return struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0" * 4))[0]

    def leave_once_heard(self, polls=LEAVE_POLLS):
        """Stops reading; unplugs as soon as the tool has read what was sent."""
        if not self.plugged_in():
            return
        self.loop.readers.pop(self.master, None)
        if polls and (self.out or self.unread_by_tool()):
            self.loop.later(LEAVE_POLL_S, lambda: self.leave_once_heard(polls - 1))
        else:
            self.loop.later(LEAVE_POLL_S, self.unplug)

    def read(self):
        try:
            return os.read(self.master, 65536)
        except OSError as error:
            if error.errno in (errno.EAGAIN, errno.EIO):
                return b""
            raise

    def readable(self):
        data = self.read()
        if data:
            self.device.receive(data)

    def write(self, data):
        if not self.plugged_in():
            return
        self.out += data
        self.flush()

    def flush(self):
        try:
            sent = os.write(self.master, self.out) if self.out else 0
        except BlockingIOError:
            sent = 0
        del self.out[:sent]
        if self.out:
            self.loop.writers[self.master] = self.flush
        else:
            self.loop.writers.pop(self.master, None)
