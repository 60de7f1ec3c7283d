"""What the tests share: a multicast port and configuration per test, programs started as child processes
(always ended and reaped), and a velp2p console driven through its JSON interface.

Environment: VELP2P_CONSOLE (the console), VELP2P_C_EXAMPLE (the C example), VELP2P_PYTHON (the
interpreter that runs the chat and the child peers; the running one by default). The tests open sockets,
so they run only inside the private network namespace of ./run test (VELP2P_SANDBOX=1)."""

import itertools
import json
import os
import queue
import subprocess
import sys
import threading
import time

import pytest

WAIT = 10  # seconds any one expected line may take
HERE = os.path.dirname(os.path.abspath(__file__))
_offsets = itertools.count(60)  # the C++ process tests use offsets 0 to 59


def pytest_collection_modifyitems(items):
    if os.environ.get("VELP2P_SANDBOX") != "1":
        skip = pytest.mark.skip(reason="opens sockets: runs only inside ./run test's network namespace")
        for item in items:
            item.add_marker(skip)


def program(variable):
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set")
    return path


@pytest.fixture
def config(tmp_path):
    """An endpoint configuration with a multicast port of this test's own."""
    port = 20000 + (os.getpid() % 400) * 100 + next(_offsets) % 100
    path = tmp_path / "velp2p.cfg"
    path.write_text(f"VELP2PMultiCastEndPoint|224.0.1.85|{port}\nVELP2PTCPEndPoint|127.0.0.1|0\n")
    return str(path)


class Child:
    """A program with its standard input and output as lines; a thread reads the output so that a wait has
    a deadline."""

    def __init__(self, arguments, env=None):
        self.lines = []
        self._pending = queue.Queue()
        self.process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        bufsize=1, env={**os.environ, "VELP2PTrace": "0", **(env or {})})
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self._pending.put(line.rstrip("\n"))
        self._pending.put(None)

    def write(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def wait_for(self, match, timeout=WAIT, node=None):
        """The first line not seen yet that satisfies match; fails the test at the deadline. A node given
        is kept running meanwhile (its events wait in its queue), so that what it sends leaves."""
        deadline = time.monotonic() + timeout
        while True:
            left = max(0, deadline - time.monotonic())
            try:
                line = self._pending.get(timeout=min(left, 0.02) if node else left)
            except queue.Empty:
                if node and left > 0:
                    node.process()
                    continue
                line = None
            if line is None:
                pytest.fail(f"{self.process.args[0]}: nothing matched; it said:\n" + "\n".join(self.lines))
            self.lines.append(line)
            if match(line):
                return line

    def wait_all(self, lines, timeout=WAIT):
        """Waits until every one of lines was said, in any order."""
        missing = set(lines) - set(self.lines)
        while missing:
            missing.discard(self.wait_for(lambda line: line in missing, timeout))

    def finish(self, timeout=WAIT):
        """Closes the input and waits for the exit code."""
        if self.process.stdin and not self.process.stdin.closed:
            self.process.stdin.close()
        return self.process.wait(timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()


class Console(Child):
    """velp2p --json in collaboration mode as LOGIN_KVZ."""

    def __init__(self, config, login):
        super().__init__([program("VELP2P_CONSOLE"), "--json", "--login", login, "--config", config])
        self.name = login + "_KVZ"

    def ready(self):
        self.wait_event("VELP2PInitPeerNotif")

    def wait_record(self, match, node=None):
        return json.loads(self.wait_for(lambda line: match(json.loads(line)), node=node))

    def wait_event(self, event, peer=None, node=None, **fields):
        return self.wait_record(lambda r: r.get("event") == event and (peer is None or r["peerName"] == peer)
                                and all(r.get(k) == v for k, v in fields.items()), node)

    def run(self, command):
        self.write(command)
        record = self.wait_record(lambda r: "command" in r)
        assert record["result"] == 0, record
        return record


@pytest.fixture
def children():
    """Starts children for the test and ends those still running after it."""
    started = []

    def start(kind, *arguments, **keywords):
        child = kind(*arguments, **keywords)
        started.append(child)
        if hasattr(child, "ready"):
            child.ready()
        return child

    yield start
    for child in started:
        child.kill()


@pytest.fixture
def python():
    return os.environ.get("VELP2P_PYTHON") or sys.executable


def expect(node, *matches, timeout=WAIT):
    """Receives from node until each of matches was satisfied, in any order, and returns the first event
    that satisfied each (a single one for a single match); fails the test at the deadline."""
    deadline = time.monotonic() + timeout
    found = [None] * len(matches)
    seen = []
    while None in found and (left := deadline - time.monotonic()) > 0:
        event = node.recv(timeout=left)
        seen.append(event)
        for i, match in enumerate(matches):
            if found[i] is None and event is not None and match(event):
                found[i] = event
    if None in found:
        pytest.fail(f"not every event came; seen: {seen}")
    return found[0] if len(found) == 1 else found


def hex_of(data):
    return data.hex() if isinstance(data, bytes) else data.encode().hex()
