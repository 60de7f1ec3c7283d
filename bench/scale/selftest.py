"""A quick check of the harness that needs no namespace: the blocks the forger sends must decode, field by field,
as the console's own decoder (velp2p spy --read) reads them, and --check must count a figure that never came
as a miss. Exit status 0 when all holds."""

import json
import os
import subprocess
import sys
import tempfile

import figures
import wire


def decoded(console, data):
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as block:
        block.write(data)
    try:
        result = subprocess.run([console, "spy", "--read", block.name, "--json"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, timeout=30)
    finally:
        os.unlink(block.name)
    if result.returncode != 0:
        raise AssertionError("spy refused the block: %s %s" % (result.stdout, result.stderr))
    return json.loads(result.stdout.splitlines()[-1])


def expect(got, wanted, what):
    for key, value in wanted.items():
        if got.get(key) != value:
            raise AssertionError("%s: %s is %r, not %r (all: %s)" % (what, key, got.get(key), value, got))


def run(console):
    birth = wire.forged_birth("fa4095", "10.214.7.3", 7000, pid=54321)
    expect(decoded(console, birth), {
        "totalLength": len(birth), "headerLength": 89, "mode": 0x12, "serviceName": "AwarenessService",
        "senderName": "fa4095", "senderAddress": "224.0.1.85", "senderPort": 2678, "otherAddress": "10.214.7.3",
        "otherPort": 7000, "group": "/", "kind": "birth", "pid": 54321, "recordCount": 2,
        "endpoints": ["multicast 224.0.1.85:2678", "tcp 10.214.7.3:7000"]}, "forged birth")
    status = wire.forged_status("racea_KVZ", 3, "a17")
    expect(decoded(console, status), {"serviceName": "StatusService", "kind": "change", "status": 3,
                                      "description": "a17"}, "forged status")
    presence = wire.forged_presence("s7_KVZ", "10.214.7.3", 7000)
    expect(decoded(console, presence), {"serviceName": "StatusService", "kind": "birth", "status": 6,
                                        "otherAddress": "10.214.7.3", "otherPort": 7000}, "forged presence")
    empty = wire.status_payload(b"0", 6, "")
    if empty != bytes.fromhex("30 06000000 01000000 00"):
        raise AssertionError("an empty description must travel as one zero byte: %s" % empty.hex())
    if len(wire.forged_birth("x" * 31, "127.0.0.1", 1)) > wire.MAX_DATAGRAM:
        raise AssertionError("a forged birth must fit one datagram")
    report = figures.Report("selftest", check=True)
    report.add("never", None, "s", "a figure that never came", target=("<=", 5.0))
    report.add("flag", True, "", "a yes", target=("==", True))
    report.add("count", 3, "of 4", "a count", target=("==", 4))
    if [f.name for f in report.misses()] != ["never", "count"]:
        raise AssertionError("--check judged %s as misses" % [f.name for f in report.misses()])
    print("velscale selftest: forged blocks decode as sent; targets judged")
    return 0


if __name__ == "__main__":
    sys.exit(run(sys.argv[1]))
