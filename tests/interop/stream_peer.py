"""A peer written from docs/PROTOCOL.md alone, in the standard library, against a console: it announces a TCP
record with the streams bit (0x04), takes the console's blocks on a stream and acknowledges them, and sends a
message to the console on a stream of its own. Then the same against a console with streams switched off
(VELP2PPersistent=0), which must send it one block per connection and announce a record without the bit.

Usage: stream_peer.py CONSOLE. Opens sockets: runs only inside a private network namespace holding nothing
but loopback (./run test), and exits 77 (skipped) anywhere else."""

import json
import os
import queue
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

WAIT = 60.0
GROUP = "224.0.1.85"
NAME = "python_KVZ"
HELLO = b"\x00\x00\x00\x00\x01"
CLOSING = 0x80000000
UNICAST, MULTICAST, STREAMS = 0x01, 0x02, 0x04


def record(kind, port, address):
    return bytes([8, kind]) + struct.pack(">H", port) + address


def block(service, mode, group, payload, sender, other):
    """sender and other: (address bytes, port) of the sending endpoint's record and of the other kind's."""
    path = group.encode()
    header = 88 + len(path)
    return (struct.pack(">IHBBHH", header + len(payload), header, 1, mode, 88, len(path)) +
            service.encode().ljust(32, b"\0") + NAME.encode().ljust(32, b"\0") + sender[0] + other[0] +
            struct.pack(">HH", sender[1], other[1]) + path + payload)


def parse(data):
    """The service, sender name, group and payload of a block."""
    total, header, _, _, offset, length = struct.unpack(">IHBBHH", data[:12])
    assert total == len(data) and header >= 88, data[:12].hex()
    text = lambda raw: raw.split(b"\0", 1)[0].decode()
    return text(data[12:44]), text(data[44:76]), data[offset:offset + length].decode(), data[header:]


def records(payload):
    """The endpoint records of an awareness payload, as (kind, port, address bytes)."""
    count = struct.unpack(">H", payload[1:3])[0]
    found, at = [], 7
    for _ in range(count):
        found.append((payload[at + 1], struct.unpack(">H", payload[at + 2:at + 4])[0], payload[at + 4:at + 8]))
        at += payload[at]
    return found


def read_exactly(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


class Listener:
    """The TCP endpoint: every connection read on a thread of its own. A connection that opens with the hello
    is a stream, whose blocks are acknowledged one by one; any other carries one block."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.listen(16)
        self.port = self.socket.getsockname()[1]
        self.blocks = queue.Queue()  # (whether it came on a stream, the block)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            threading.Thread(target=self._read, args=(connection,), daemon=True).start()

    def _read(self, connection):
        with connection:
            head = read_exactly(connection, 4)
            if head is None:
                return  # a check that the endpoint listens
            if head != HELLO[:4]:
                rest = read_exactly(connection, struct.unpack(">I", head)[0] - 4)
                self.blocks.put((False, head + rest))
                return
            assert read_exactly(connection, 1) == HELLO[4:], "a hello of another version"
            taken = 0
            while True:
                head = read_exactly(connection, 4)
                if head is None:
                    return  # the sender ended it between blocks
                rest = read_exactly(connection, struct.unpack(">I", head)[0] - 4)
                assert rest is not None, "a stream cut in the middle of a block"
                taken += 1
                self.blocks.put((True, head + rest))
                connection.sendall(struct.pack(">I", taken & 0x7FFFFFFF))

    def next_block(self, service):
        deadline = time.monotonic() + WAIT
        while True:
            on_stream, data = self.blocks.get(timeout=max(deadline - time.monotonic(), 0.01))
            if parse(data)[0] == service:
                return on_stream, data


class Console:
    def __init__(self, program, config, environment):
        self.process = subprocess.Popen([program, "--json", "--login", "console", "--config", config],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        env={**os.environ, **environment})
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line)

    def wait(self, match):
        deadline = time.monotonic() + WAIT
        while True:
            entry = json.loads(self.lines.get(timeout=max(deadline - time.monotonic(), 0.01)))
            if match(entry):
                return entry

    def event(self, name, peer=None):
        return self.wait(lambda r: r.get("event") == name and (peer is None or r.get("peerName") == peer))

    def run(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        reply = self.wait(lambda r: "command" in r)
        assert reply.get("result") == 0, reply

    def quit(self):
        self.process.stdin.write("quit\n")
        self.process.stdin.flush()
        assert self.process.wait(timeout=WAIT) == 0


def meet(program, port, persistent):
    config = tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False)
    config.write("VELP2PMultiCastEndPoint|%s|%d\nVELP2PTCPEndPoint|127.0.0.1|0\n" % (GROUP, port))
    config.close()
    environment = {"VELP2PTrace": "0", "VELP2PLiveness": "0"}
    if not persistent:
        environment["VELP2PPersistent"] = "0"
    console = Console(program, config.name, environment)
    listener = Listener()
    try:
        console.event("VELP2PInitPeerNotif")
        multicast = (bytes(reversed(socket.inet_aton(GROUP))), port)
        tcp = (socket.inet_aton("127.0.0.1"), listener.port)
        birth = (b"0" + struct.pack(">H", 2) + struct.pack("<I", os.getpid()) +
                 record(MULTICAST, multicast[1], multicast[0]) + record(UNICAST | STREAMS, tcp[1], tcp[0]))
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        sender.sendto(block("AwarenessService", 0x12, "/", birth, multicast, tcp), (GROUP, port))
        sender.close()
        console.event("VELP2PPeerBirthNotif", NAME)

        # The console answers the birth by TCP: its update carries its own records.
        on_stream, answer = listener.next_block("AwarenessService")
        assert on_stream == persistent, "the answer came %s a stream" % ("on" if on_stream else "without")
        service, name, group, payload = parse(answer)
        assert name == "console_KVZ" and payload[:1] == b"1", (name, payload[:1])
        kind, console_port, address = [r for r in records(payload) if r[0] & (UNICAST | MULTICAST) == UNICAST][0]
        assert bool(kind & STREAMS) == persistent, "the console's TCP record has kind %d" % kind

        console.run('SendP2PMessage %s 7 "abc" "over one connection"' % NAME)
        on_stream, message = listener.next_block("VELP2PChatService")
        assert on_stream == persistent
        assert parse(message)[3] == b"\x07\x03\x00\x00\x00abcover one connection", parse(message)[3]

        # And back: on a stream where the console takes them, otherwise a connection for the block.
        connection = socket.create_connection((socket.inet_ntoa(address), console_port), timeout=WAIT)
        chat = b"\x05" + struct.pack("<I", 2) + b"hi" + b"back"
        data = block("VELP2PChatService", 0x0A, "/", chat, tcp, multicast)
        connection.sendall((HELLO if kind & STREAMS else b"") + data)
        received = console.event("VELP2PMessageReceivedNotif", NAME)
        assert received.get("type") == 5 and received.get("header") == "hi", received
        if kind & STREAMS:
            assert struct.unpack(">I", read_exactly(connection, 4))[0] == 1
        connection.close()
        console.quit()
    finally:
        if console.process.poll() is None:
            console.process.kill()
            console.process.wait()
        listener.socket.close()
        os.unlink(config.name)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        print("SKIP: opens sockets; runs only inside ./run test's network namespace")
        return 77
    port = 20000 + (os.getpid() % 400) * 100 + 77
    meet(sys.argv[1], port, persistent=True)
    meet(sys.argv[1], port + 1, persistent=False)
    print("a peer written from the protocol document met consoles with and without streams")
    return 0


if __name__ == "__main__":
    sys.exit(main())
