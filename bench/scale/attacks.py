"""The forge scenario: another host on the link multicasts birth announcements of peers that do not exist,
whose TCP records name a third host, the victim's loopback, listeners that never read, or listeners that
accept. Each part builds its own lab: h1 the victim, h2 a real peer, h3 the third host, h4 the forger."""

import json
import os
import time

import tools
from consoles import pump, wait_for
from lab import SetupError
from presence import everyone_knows_everyone, pause, start_all

HOSTS = ["h1", "h2", "h3", "h4"]


def listener(ctx, lab, host, label, address, mode, ports):
    process, out = ctx.helper(lab, host, label, ["__listen", address, mode, ",".join(str(p) for p in ports)])
    until = time.monotonic() + 15.0
    while time.monotonic() < until:
        with open(out) as text:
            if '"ready"' in text.read():
                return process, out
        if process.poll() is not None:
            break
        time.sleep(0.02)
    with open(os.path.join(lab.scratch, label + ".err")) as err:
        raise SetupError("the listener %s did not start: %s" % (label, err.read().strip()[-300:]))


def forge_births(ctx, lab, peers, label, prefix, count, address, ports, bursts=1, gap=0.0):
    """Runs the forger from h4 and waits for it, reading the consoles meanwhile; returns its summary."""
    args = ctx.args
    argv = ["__forge", prefix, str(count), address, ",".join(str(p) for p in ports), str(args.forge_rate),
            "50000", str(bursts), str(gap)]
    process, out = ctx.helper(lab, "h4", label, argv)
    limit = bursts * (count / args.forge_rate + 5.0) + (bursts - 1) * gap + 30.0
    until = time.monotonic() + limit
    while process.poll() is None and time.monotonic() < until:
        pump(peers)
        time.sleep(0.05)
    if process.poll() is None:
        lab.stop(process)
        raise SetupError("the forger did not finish within %.0f s" % limit)
    with open(out) as text:
        for line in text:
            if line.startswith("{"):
                return json.loads(line)
    with open(os.path.join(lab.scratch, label + ".err")) as err:
        raise SetupError("the forger failed: %s" % err.read().strip()[-300:])


def forged_listed(console, prefix):
    return sum(1 for name in console.known if name.startswith(prefix))


def udp_drops(pid):
    counters = tools.snmp(pid)
    return counters["Udp"].get("RcvbufErrors", 0) if counters else 0


def forge(ctx, report):
    parts = {"a": third_host, "b": loopback, "c": crowded_sends, "d": newcomer}
    for letter in ctx.args.parts:
        ctx.log("forge part (%s)" % letter)
        parts[letter](ctx, report)
        ctx.close_labs()


def victim_and_listener(ctx, host, label, address, port):
    """A lab, a counting listener in host, and a started victim in h1; returns (lab, listener output, victim)."""
    lab = ctx.lab(HOSTS)
    _, accepted = listener(ctx, lab, host, label, address, "count", [port])
    victim = ctx.console(lab, "h1", "victim", login="victim")
    start_all(ctx, [victim])
    return lab, accepted, victim


def third_host(ctx, report):
    args = ctx.args
    lab, accepted, victim = victim_and_listener(ctx, "h3", "third", "0.0.0.0", 7000)
    drops = udp_drops(victim.pid)
    sent = forge_births(ctx, lab, [victim], "forger-a", "fa", args.births, lab.address("h3"), [7000])
    rest = args.window - (time.time() - sent["start"])
    ctx.log("counting the third host's connections for %.0f s more" % max(0.0, rest))
    pause([victim], max(0.0, rest))
    times = [t - sent["start"] for t in tools.accepted_times(accepted)]
    settle = min(10.0, args.window / 2)
    steady = [t for t in times if settle <= t < args.window]
    report.add("(a) connections to a third host, first second", sum(1 for t in times if t < 1.0), "conns",
               "accepted by a listener on another host named by %d forged births, in the first second"
               % args.births)
    report.add("(a) connections to a third host, steady", len(steady) / (args.window - settle), "1/s",
               "the same, per second from %.0f s to %.0f s after the births" % (settle, args.window),
               target=("<=", 1.0))
    report.add("(a) connections to a third host, total", len(times), "conns",
               "over the %.0f s window" % args.window)
    report.add("(a) forged peers listed", forged_listed(victim, "fa"), "of %d" % args.births,
               "forged names in the victim's directory at the end (%d datagrams lost to its receive buffer)"
               % (udp_drops(victim.pid) - drops))


def loopback(ctx, report):
    args = ctx.args
    lab, accepted, victim = victim_and_listener(ctx, "h1", "local-only", "127.0.0.1", 7100)
    forge_births(ctx, lab, [victim], "forger-b1", "fb", args.births, "127.0.0.1", [7100])
    pause([victim], 15.0)
    first = len(tools.accepted_times(accepted))
    forge_births(ctx, lab, [victim], "forger-b2", "fc", args.more, "127.0.0.1", [7100])
    pause([victim], 15.0)
    total = len(tools.accepted_times(accepted))
    report.add("(b) connections to 127.0.0.1", first, "conns",
               "accepted by a listener on the victim's 127.0.0.1 within 15 s of %d forged births from another "
               "host naming it" % args.births, target=("==", 0))
    report.add("(b) connections to 127.0.0.1, %d more names" % args.more, total - first, "conns",
               "the same after %d further forged names" % args.more, target=("==", 0))


def crowded_sends(ctx, report):
    args = ctx.args
    lab = ctx.lab(HOSTS)
    ports = list(range(7200, 7216))
    listener(ctx, lab, "h3", "tarpit", "0.0.0.0", "tarpit", ports)
    victim = ctx.console(lab, "h1", "victim", login="victim")
    sink = ctx.console(lab, "h2", "sink", login="sink")
    peers = [victim, sink]
    start_all(ctx, peers)
    if not wait_for(peers, lambda: everyone_knows_everyone(peers), 20.0):
        raise SetupError("the victim and its correspondent did not find each other within 20 s")
    gap = 5.0
    forger = None
    flood_time = args.bursts * args.burst / args.forge_rate + (args.bursts - 1) * gap
    began = time.monotonic()
    stop = began + 2.0 + flood_time + 10.0
    sent = 0
    ctx.log("sending a message every 20 ms for %.0f s; %d bursts of %d forged births after 2 s"
            % (stop - began, args.bursts, args.burst))
    while time.monotonic() < stop or (forger and forger[0].poll() is None):
        now = time.monotonic()
        if forger is None and now >= began + 2.0:
            argv = ["__forge", "fx", str(args.burst), lab.address("h3"), ",".join(str(p) for p in ports),
                    str(args.forge_rate), "60000", str(args.bursts), str(gap)]
            forger = ctx.helper(lab, "h4", "forger-c", argv)
        if now < stop:
            victim.command("SendP2PMessage sink_KVZ 1 seq m%d" % sent)
            sent += 1
        pump(peers)
        time.sleep(0.02)
        if now > stop + 60.0:
            break
    wait_for(peers, lambda: len(victim.replies) >= sent, 15.0, interval=0.05)
    received = lambda: sink.counts.get("VELP2PMessageReceivedNotif", 0)  # noqa: E731
    wait_for(peers, lambda: received() >= sent, 15.0, interval=0.1)
    refused = [r for r in victim.replies[:sent] if r.get("result", 0) != 0]
    reasons = {}
    for r in refused:
        reasons[r.get("reason", "?")] = reasons.get(r.get("reason", "?"), 0) + 1
    report.add("(c) application sends refused", len(refused), "of %d" % sent,
               "SendP2PMessage calls of the victim to a real peer that failed while %d x %d forged births "
               "pointed it at listeners that never read" % (args.bursts, args.burst), target=("==", 0))
    report.add("(c) application messages delivered", received(), "of %d" % sent,
               "messages the real peer received by the end")
    if forger:
        with open(forger[1]) as text:
            summary = [json.loads(line) for line in text if line.startswith("{")]
        report.note("(c) the forger sent %s datagrams" % (summary[0]["sent"] if summary else "no"))
    unanswered = sent - len(victim.replies)
    if unanswered:
        report.note("(c) %d sends had no reply at all" % unanswered)
    if reasons:
        report.note("(c) refusals: %s" % "; ".join("%s x%d" % item for item in sorted(reasons.items())))


def newcomer(ctx, report):
    args = ctx.args
    lab, _, victim = victim_and_listener(ctx, "h3", "accepting", "0.0.0.0", 7300)
    forge_births(ctx, lab, [victim], "forger-d", "fd", args.flood, lab.address("h3"), [7300])
    pause([victim], 0.5)
    listed = forged_listed(victim, "fd")
    ctx.log("flood done (%d forged names listed); starting a real newcomer" % listed)
    late = ctx.console(lab, "h2", "newcomer", login="newcomer")
    peers = [victim, late]
    start_all(ctx, [late])
    wait_for(peers, lambda: victim.knows("newcomer_KVZ"), args.admit_cutoff, interval=0.05)
    seen = victim.first("newcomer_KVZ", True, 0.0)
    report.add("(d) newcomer admitted after a flood", seen - late.started if seen is not None else None, "s",
               "from a real peer's start until the victim lists it, after %d forged births whose records "
               "accept connections (never: not within %g s)" % (args.flood, args.admit_cutoff), target=("<=", 5.0))
    report.add("(d) forged peers listed at the newcomer's start", listed, "names",
               "the victim's directory holds at most 4096")
    report.add("(d) newcomer lists the victim", late.knows("victim_KVZ"), "",
               "whether the newcomer has the victim in its directory at the end")

