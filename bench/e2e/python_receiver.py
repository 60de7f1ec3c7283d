"""The receiver of velp2p-bench's Python row: a velp2p.Node ("r_KVZ") that receives stamped messages the way
an application would, one Event at a time, and reports its figures to the benchmark on the children's
pipes (a byte in: go, end of file: stop; one line of name=value pairs out).

    python_receiver.py CONFIG COUNT CONTROL_FD REPORT_FD
"""

import os
import select
import struct
import sys
import time

import velp2p

STAMP = struct.Struct("<I4xd")  # VELBenchStamp: sequence number, send time in microseconds (CLOCK_MONOTONIC)


def main(config, count, control, report):
    def say(**figures):
        os.write(report, (" ".join(f"{name}={value}" for name, value in figures.items()) + "\n").encode())

    def stopped():
        return bool(select.select([control], [], [], 0)[0]) and not os.read(control, 1)

    with velp2p.Node(login="r", config=config, diagnostics="off") as node:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            event = node.recv(timeout=0.01)
            if event is not None and event.kind == "born" and event.peer == "s_KVZ":
                break
        else:
            return 1
        say(ready=1)
        received = reordered = total = 0
        first_sent = last_received = 0.0
        highest = -1
        start = time.monotonic()
        first_cpu = 0.0
        recv = node.recv
        while received < count:
            event = recv(0.005)
            now = time.monotonic() * 1e6
            if event is None:
                if stopped() or now - start * 1e6 > 90e6 or (last_received and now - last_received > 3e6):
                    break
                continue
            if event.kind != "message" or event.type != 1 or len(event.data) < STAMP.size:
                continue
            sequence, sent = STAMP.unpack_from(event.data)
            if received == 0:
                first_sent = sent
                first_cpu = time.process_time()
            received += 1
            total += len(event.data)
            if sequence < highest:
                reordered += 1
            else:
                highest = sequence
            last_received = now
        span = max(1.0, last_received - first_sent)
        cpu = time.process_time() - first_cpu
        say(received=received, reordered=reordered, rate=received * 1e6 / span, mbps=total / span,
            dropped=node.dropped, cpu_rate=received / cpu if received and cpu > 0 else 0)
        deadline = time.monotonic() + 30
        while not stopped() and time.monotonic() < deadline:
            recv(0.005)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])))
