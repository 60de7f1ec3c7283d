"""Helpers that run inside a host of the lab as processes of their own (velscale.py __listen / __forge), and
the readers of per-process and per-namespace counters in /proc."""

import errno
import json
import os
import resource
import selectors
import signal
import socket
import sys
import time

import wire


# -- a TCP listener that counts -------------------------------------------------------------------------------
def listen(address, ports, mode, out=sys.stdout):
    """Listens on address at each port until SIGTERM. mode "count": accepts, prints "A <port> <time>" per
    connection and closes it at once; mode "tarpit": never accepts (the kernel completes up to a full listen
    queue of handshakes, and the senders wait for a close that never comes)."""
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    selector = selectors.DefaultSelector()
    sockets = []
    for port in ports:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, port))
        listener.listen(4096)
        listener.setblocking(False)
        sockets.append(listener)
        if mode == "count":
            selector.register(listener, selectors.EVENT_READ, port)
    out.write(json.dumps({"ready": ports}) + "\n")
    out.flush()
    while not stop:
        if mode != "count":
            time.sleep(0.2)
            continue
        try:
            events = selector.select(0.2)
        except InterruptedError:
            continue
        lines = []
        for key, _ in events:
            while True:
                try:
                    connection, _ = key.fileobj.accept()
                except (BlockingIOError, InterruptedError):
                    break
                except OSError as error:
                    if error.errno in (errno.EMFILE, errno.ENFILE, errno.ECONNABORTED):
                        break
                    raise
                lines.append("A %d %.6f\n" % (key.data, time.time()))
                connection.close()
        if lines:
            out.write("".join(lines))
            out.flush()
    for listener in sockets:
        listener.close()


def accepted_times(path):
    """The accept times a count listener wrote to path."""
    times = []
    try:
        with open(path) as lines:
            for line in lines:
                if line.startswith("A "):
                    times.append(float(line.split()[2]))
    except OSError:
        pass
    return times


# -- a forger of birth announcements --------------------------------------------------------------------------
def forge(prefix, count, tcp_address, ports, rate, pid, group, group_port, bursts=1, gap=0.0, out=sys.stdout):
    """Sends count birth announcements per burst, of the peers prefix0, prefix1, ... whose TCP records name
    tcp_address at the ports in turn, at rate datagrams per second, from this host to the multicast group.
    Prints one JSON line when done: start, end and datagrams sent."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    sent = retried = 0
    index = 0
    start = time.time()
    for burst in range(bursts):
        if burst:
            time.sleep(gap)
        burst_start = time.monotonic()
        for n in range(count):
            datagram = wire.forged_birth("%s%d" % (prefix, index), tcp_address, ports[index % len(ports)],
                                         pid=pid + index, group_address=group, group_port=group_port)
            index += 1
            for _ in range(100):
                try:
                    sender.sendto(datagram, (group, group_port))
                    sent += 1
                    break
                except OSError as error:
                    if error.errno not in (errno.ENOBUFS, errno.EAGAIN):
                        raise
                    retried += 1
                    time.sleep(0.001)
            ahead = burst_start + (n + 1) / rate - time.monotonic()
            if ahead > 0.002:
                time.sleep(ahead)
    out.write(json.dumps({"start": start, "end": time.time(), "sent": sent, "retried": retried}) + "\n")
    out.flush()


def announce(prefix, tcp_address, port, rates, seconds, out=sys.stdout):
    """For each rate in turn: makes peers known (a birth each, records naming tcp_address:port), as many as
    the rate allows with each heard every 4 s, has them announce themselves again in round robin at that many
    datagrams a second for seconds, then has them leave. Prints a JSON line half a second before the first
    announcement of a rate ({"rate", "begin"}), and one half a second after its last ({"rate", "start", "end",
    "sent"})."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    group = (wire.DEFAULT_GROUP, wire.DEFAULT_PORT)
    for turn, rate in enumerate(rates):
        names = ["%s%d_%d" % (prefix, turn, index) for index in range(max(1, int(rate * 4)))]
        for index, name in enumerate(names):
            sender.sendto(wire.forged_birth(name, tcp_address, port, pid=index + 1), group)
            time.sleep(0.005)
        blocks = [wire.forged_presence(name, tcp_address, port) for name in names]
        time.sleep(2.0)  # the births answered, and the receiver back to its idle pace
        out.write(json.dumps({"rate": rate, "begin": time.time()}) + "\n")
        out.flush()
        time.sleep(0.5)  # the harness takes its first reading meanwhile
        start, began, sent = time.time(), time.monotonic(), 0
        while time.monotonic() - began < seconds:
            sender.sendto(blocks[sent % len(blocks)], group)
            sent += 1
            ahead = began + sent / rate - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)
        time.sleep(0.5)  # the last ones handled
        out.write(json.dumps({"rate": rate, "start": start, "end": time.time(), "sent": sent}) + "\n")
        out.flush()
        for index, name in enumerate(names):
            multicast = wire.record(wire.KIND_MULTICAST, wire.DEFAULT_GROUP, wire.DEFAULT_PORT)
            death = wire.announcement(wire.DEATH, index + 1, [multicast, wire.record(wire.KIND_TCP, tcp_address, port)])
            sender.sendto(wire.block("AwarenessService", name, death, sender_record=multicast), group)
        time.sleep(1.0)


def cpu_ns(pid):
    """Time a process has spent on a CPU, in nanoseconds (/proc/PID/schedstat); None once it is gone."""
    try:
        with open("/proc/%d/schedstat" % pid) as stat:
            return int(stat.read().split()[0])
    except (OSError, IndexError, ValueError):
        return None


def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


# -- counters in /proc ----------------------------------------------------------------------------------------
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User plus system time of a process, in seconds; None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
    except (OSError, IndexError, ValueError):
        return None


def context_switches(pid):
    """(voluntary, involuntary) context switches of a process; None once it is gone."""
    found = {}
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    key, value = line.split(":")
                    found[key] = int(value)
    except OSError:
        return None
    return found.get("voluntary_ctxt_switches"), found.get("nonvoluntary_ctxt_switches")


def snmp(pid):
    """The namespace counters of /proc/net/snmp as seen by a process inside it: {"Udp": {...}, "Tcp": {...}}."""
    table = {}
    try:
        with open("/proc/%d/net/snmp" % pid) as counters:
            rows = counters.read().splitlines()
    except OSError:
        return None
    for names, values in zip(rows[0::2], rows[1::2]):
        section, keys = names.split(":", 1)
        _, numbers = values.split(":", 1)
        table[section] = dict(zip(keys.split(), (int(v) for v in numbers.split())))
    return table


def time_wait(pid):
    """TCP sockets in TIME_WAIT in the namespace of a process (as ss -tan state time-wait counts them)."""
    count = 0
    for name in ("tcp", "tcp6"):
        try:
            with open("/proc/%d/net/%s" % (pid, name)) as sockets:
                next(sockets, None)
                for line in sockets:
                    fields = line.split(None, 4)
                    if len(fields) > 3 and fields[3] == "06":
                        count += 1
        except OSError:
            pass
    return count
