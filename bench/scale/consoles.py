"""velp2p consoles run by the harness, and what each one says.

A console runs in --json mode inside one host of the lab. Its standard output goes to a file (a console never
waits for the harness), which poll() reads incrementally. Every presence event is kept as a timeline per peer
name, stamped with the time the console itself printed, so that figures do not depend on how quickly the
harness reads. A console starts behind a gate (a shell that waits for one line on standard input, then
replaces itself with the console), so that many can be started at the same moment."""

import calendar
import json
import os
import subprocess
import time

GATE = 'read _ || exit 0; exec "$@"'

# Presence events per mode: (arrival, departure).
PRESENCE = {
    False: ("VELP2PPeerBirthNotif", "VELP2PPeerDeathNotif"),
    True: ("VELP2PPeerCreatNotif", "VELP2PPeerDestructNotif"),
}

_second_cache = {}


def parse_time(stamp):
    """Seconds since the epoch of a console timestamp such as 2026-12-07T03:45:47.450Z."""
    try:
        whole = _second_cache.get(stamp[:19])
        if whole is None:
            whole = calendar.timegm(time.strptime(stamp[:19], "%Y-%m-%dT%H:%M:%S"))
            _second_cache[stamp[:19]] = whole
        return whole + float("0" + stamp[19:].rstrip("Z"))
    except (ValueError, TypeError):
        return time.time()


class Console:
    def __init__(self, lab, host, label, binary, args=(), env=None, standard=False, keep_lines=False):
        self.lab = lab
        self.host = host
        self.label = label
        self.standard = standard
        self.arrival, self.departure = PRESENCE[standard]
        self.out_path = os.path.join(lab.scratch, label + ".out")
        self.err_path = os.path.join(lab.scratch, label + ".err")
        argv = ["/bin/sh", "-c", GATE, "gate", binary, "--json"] + (["--standard"] if standard else []) + list(args)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = lab.spawn(host, argv, env=env, stdin=subprocess.PIPE, stdout=out, stderr=err)
        self.pid = self.process.pid
        self._fd = os.open(self.out_path, os.O_RDONLY)
        self._pending = b""
        self.name = None  # the peer's name, from its start-up event
        self.started = None  # console time of that event
        self.closed_at = None  # console time of the close-peer event
        self.known = {}  # name -> console time since when it is listed (without the local peer)
        self.history = {}  # name -> [(console time, listed?, reason or None)]
        self.statuses = {}  # name -> (status, description, console time)
        self.replies = []  # command results, in the order the commands were sent
        self.commands = []  # command lines sent
        self.counts = {}  # event name -> how many
        self.lines = [] if keep_lines else None  # every parsed object, for the scenarios that report them
        self.listeners = []  # callables(console, object) run on every parsed object

    # -- input ---------------------------------------------------------------------------------------------
    def ready(self):
        """True once the gate shell is waiting for its line (so that a release starts the console at once)."""
        try:
            with open("/proc/%d/stat" % self.pid) as stat:
                text = stat.read()
        except OSError:
            return True
        comm = text[text.index("(") + 1:text.rindex(")")]
        state = text[text.rindex(")") + 2:text.rindex(")") + 3]
        return comm != "ip" and state in "SDZ"

    def release(self):
        self._write("")

    def command(self, line):
        """Sends one command line; returns its index in replies once answered."""
        self.commands.append(line)
        self._write(line)
        return len(self.commands) - 1

    def _write(self, line):
        try:
            self.process.stdin.write((line + "\n").encode("utf-8"))
            self.process.stdin.flush()
        except (BrokenPipeError, ValueError, OSError):
            pass

    def reply(self, index):
        return self.replies[index] if index < len(self.replies) else None

    def alive(self):
        return self.process.poll() is None

    def quit(self, grace=5.0):
        quit_all([self], grace)

    def close(self):
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    # -- output --------------------------------------------------------------------------------------------
    def poll(self):
        """Reads what the console printed since the last call; returns the number of new lines."""
        if self._fd is None:
            return 0
        chunks = []
        while True:
            chunk = os.read(self._fd, 1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
        if not chunks:
            return 0
        data = self._pending + b"".join(chunks)
        lines = data.split(b"\n")
        self._pending = lines.pop()
        for raw in lines:
            if raw.startswith(b"{"):
                try:
                    self._take(json.loads(raw))
                except ValueError:
                    pass
        return len(lines)

    def _take(self, obj):
        if self.lines is not None:
            self.lines.append(obj)
        event = obj.get("event")
        if event is None:
            if "command" in obj:
                self.replies.append(obj)
        else:
            self.counts[event] = self.counts.get(event, 0) + 1
            stamp = parse_time(obj.get("timestamp"))
            peer = obj.get("peerName", "")
            if event == "VELP2PInitPeerNotif":
                self.name, self.started = peer, stamp
            elif event == "VELP2PClosePeerNotif":
                self.closed_at = stamp
            elif event == self.arrival and peer != self.name:
                if peer not in self.known:
                    self.known[peer] = stamp
                self.history.setdefault(peer, []).append((stamp, True, obj.get("reason")))
            elif event == self.departure and peer != self.name:
                self.known.pop(peer, None)
                self.history.setdefault(peer, []).append((stamp, False, obj.get("reason")))
            elif event == "VELP2PCurrentGroupModifNotif" and self.standard:
                for name in list(self.known):
                    self.known.pop(name)
                    self.history.setdefault(name, []).append((stamp, False, "group changed"))
            elif event == "VELP2PChangeStatusNotif":
                self.statuses[peer] = (obj.get("status"), obj.get("description"), stamp)
        for listener in self.listeners:
            listener(self, obj)

    # -- questions -----------------------------------------------------------------------------------------
    def knows(self, name, at=None):
        """Whether name is listed now, or at console time at."""
        if at is None:
            return name in self.known
        listed = False
        for stamp, present, _ in self.history.get(name, ()):
            if stamp > at:
                break
            listed = present
        return listed

    def first(self, name, present, after):
        """Console time of the first arrival (present) or departure of name at or after after, or None."""
        for stamp, is_present, _ in self.history.get(name, ()):
            if is_present == present and stamp >= after:
                return stamp
        return None


def pump(consoles):
    for console in consoles:
        console.poll()


def wait_for(consoles, condition, timeout, interval=0.02):
    """Reads the consoles until condition() holds or timeout seconds pass; returns condition()."""
    until = time.monotonic() + timeout
    while True:
        pump(consoles)
        if condition():
            return True
        if time.monotonic() >= until:
            return False
        time.sleep(interval)


def release_together(consoles, timeout=30.0):
    """Waits until every gate is ready, then opens them all in one sweep; returns the release time."""
    until = time.monotonic() + timeout
    while not all(c.ready() for c in consoles) and time.monotonic() < until:
        time.sleep(0.01)
    moment = time.time()
    for console in consoles:
        console.release()
    return moment


def missing_pairs(consoles, at=None):
    """(observer, name) pairs among the consoles that are not listed (now, or at time at); consoles whose
    name is not known yet count as missing from everyone."""
    names = [c.name for c in consoles]
    missing = []
    for observer in consoles:
        for console, name in zip(consoles, names):
            if console is observer:
                continue
            if name is None or observer.name is None or not observer.knows(name, at):
                missing.append((observer, name or console.label))
    return missing


def quit_all(consoles, grace=5.0):
    """Asks every console to quit at once, waits, then stops those that did not."""
    for console in consoles:
        if console.alive():
            console._write("quit")
            try:
                console.process.stdin.close()
            except OSError:
                pass
    until = time.monotonic() + grace
    for console in consoles:
        try:
            console.process.wait(timeout=max(0.01, until - time.monotonic()))
        except subprocess.TimeoutExpired:
            pass
    if consoles:
        consoles[0].lab.stop_many([console.process for console in consoles])
    for console in consoles:
        console.poll()
        console.close()
