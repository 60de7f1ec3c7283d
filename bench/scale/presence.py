"""Presence scenarios: a link outage between two peers, multicast loss at the receivers, and hundreds of
peers (convergence, idle cost, departures found, restarts)."""

import json
import os
import random
import shutil
import signal
import time

import consoles
import tools
from consoles import missing_pairs, pump, release_together, wait_for
from figures import median
from lab import SetupError


def pause(peers, seconds, interval=0.5):
    """Waits seconds while reading the consoles now and then (their files would otherwise pile up)."""
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        pump(peers)
        time.sleep(min(interval, max(0.0, until - time.monotonic())))
    pump(peers)


def start_all(ctx, peers, timeout=60.0):
    """Opens the gates of peers together and waits until each has started; returns the console time of the
    last start. Raises SetupError when a console does not start."""
    release_together(peers)

    def settled():
        return all(p.name or not p.alive() for p in peers)

    if not wait_for(peers, settled, timeout, interval=0.05) or not all(p.name for p in peers):
        late = [p for p in peers if not p.name]
        detail = ""
        try:
            with open(late[0].err_path, errors="replace") as err:
                detail = err.read().strip()[-300:]
        except OSError:
            pass
        how = "did not start within %.0f s" % timeout if any(p.alive() for p in late) else "exited before starting"
        raise SetupError("%d consoles %s (%s)%s" % (len(late), how, ", ".join(p.label for p in late[:10]),
                                                    ": " + detail if detail else ""))
    return max(p.started for p in peers)


def all_listed_since(peers):
    """The console time since when every pair has been listed without a break (None if one is missing)."""
    latest = None
    for observer in peers:
        for other in peers:
            if other is observer:
                continue
            since = observer.known.get(other.name)
            if since is None:
                return None
            latest = since if latest is None else max(latest, since)
    return latest


def everyone_knows_everyone(peers):
    wanted = len(peers) - 1
    if any(len(p.known) < wanted for p in peers):
        return False
    return all_listed_since(peers) is not None


# -- outage --------------------------------------------------------------------------------------------------
def outage(ctx, report):
    for duration in ctx.args.outage:
        one_outage(ctx, report, duration)


def one_outage(ctx, report, duration):
    suffix = " (%g s down)" % duration
    lab = ctx.lab(["h1", "h2"])
    peers = [ctx.console(lab, "h1", "a", login="outa"), ctx.console(lab, "h2", "b", login="outb")]
    start_all(ctx, peers)
    if not wait_for(peers, lambda: everyone_knows_everyone(peers), 20.0):
        raise SetupError("the two peers did not find each other within 20 s, before any outage")
    pause(peers, 1.0)
    ctx.log("link of h2 down for %g s" % duration)
    down = time.time()
    lab.link("h2", False)
    pause(peers, duration)
    lab.link("h2", True)
    up = time.time()
    ctx.log("link up; waiting up to %g s for both to list each other" % ctx.args.relist_cutoff)
    cutoff = ctx.args.relist_cutoff
    wait_for(peers, lambda: everyone_knows_everyone(peers), cutoff, interval=0.05)
    # A little longer, to see expiries that come just after the link is back.
    pause(peers, min(5.0, cutoff))
    a, b = peers
    expired, relist, reasons = [], [], set()
    for observer, other in ((a, b), (b, a)):
        dropped = observer.first(other.name, False, down)
        if dropped is not None and dropped < up:
            expired.append(dropped - down)
        for stamp, present, reason in observer.history.get(other.name, ()):
            if not present and stamp >= down:
                reasons.add(reason or "no reason given")
        if observer.first(other.name, False, down) is None:
            relist.append(0.0)  # listed throughout
        else:
            back = observer.first(other.name, True, up)
            relist.append(back - up if back is not None and observer.knows(other.name) else None)
    report.add("sides that expired the other" + suffix, len(expired), "of 2",
               "peers that reported the other gone while the link was down")
    report.add("first expiry after link-down" + suffix, min(expired) if expired else None, "s",
               "from link-down to the first departure reported (never: none during the outage)")
    slowest = None if any(r is None for r in relist) else max(relist)
    report.add("relisted after link-up" + suffix, slowest, "s",
               "from link-up until both list each other again (0: never dropped; never: not within %g s)"
               % cutoff, target=("<=", 5.0))
    report.add("dropped after link-up" + suffix,
               sum(1 for o, x in ((a, b), (b, a)) if o.first(x.name, False, up) is not None), "of 2",
               "peers that reported the other gone after the link was back")
    if reasons:
        report.note("outage %g s: departure reasons: %s" % (duration, ", ".join(sorted(reasons))))
    ctx.close_labs()


# -- loss ----------------------------------------------------------------------------------------------------
LOSS_TABLE = """
table ip velscale {
  counter heard {}
  counter dropped {}
  chain input {
    type filter hook input priority -150; policy accept;
    ip daddr 224.0.1.85 udp dport 2678 counter name "heard" numgen random mod 10000 < %d counter name "dropped" drop
  }
}
"""


def nft_counters(lab, host):
    text = lab.nft_json(host, "counters table ip velscale")
    found = {}
    try:
        for item in json.loads(text).get("nftables", []):
            counter = item.get("counter")
            if counter:
                found[counter["name"]] = counter.get("packets", 0)
    except ValueError:
        pass
    return found


def loss(ctx, report):
    args = ctx.args
    hosts = ["h%d" % (i + 1) for i in range(min(args.loss_hosts, args.loss_peers))]
    for mode in args.loss_modes:
        lab = ctx.lab(hosts)
        if args.loss_percent > 0:
            if not shutil.which("nft"):
                raise SetupError("nft (nftables) is missing: apt-get install nftables")
            for host in hosts:
                lab.nft(host, LOSS_TABLE % int(round(args.loss_percent * 100)))
        standard = mode == "standard"
        pairs = args.loss_peers * (args.loss_peers - 1)
        times, missing_deadline, missing_cutoff, within = [], [], [], 0
        for round_number in range(args.loss_rounds):
            peers = [ctx.console(lab, hosts[i % len(hosts)], "%s-r%d-p%d" % (mode, round_number, i),
                                 login=None if standard else "l%dr%d" % (i, round_number), standard=standard)
                     for i in range(args.loss_peers)]
            last = start_all(ctx, peers)
            wait_for(peers, lambda: everyone_knows_everyone(peers), args.cutoff, interval=0.05)
            pump(peers)
            since = all_listed_since(peers)
            took = max(0.0, since - last) if since is not None else None
            times.append(took)
            missing_deadline.append(len(missing_pairs(peers, at=last + args.deadline)))
            missing_cutoff.append(len(missing_pairs(peers)))
            if took is not None and took <= args.deadline:
                within += 1
            ctx.log("%s round %d: %s, %d pairs missing at %g s" % (
                mode, round_number + 1, "all know all after %.2f s" % took if took is not None else "not converged",
                missing_deadline[-1], args.deadline))
            consoles.quit_all(peers)
        heard = dropped = 0
        for host in hosts if args.loss_percent > 0 else ():
            counters = nft_counters(lab, host)
            heard += counters.get("heard", 0)
            dropped += counters.get("dropped", 0)
        ctx.close_labs()
        rounds = args.loss_rounds
        label = " (%s)" % mode
        report.add("rounds all knew all by %g s%s" % (args.deadline, label), within, "of %d" % rounds,
                   "rounds in which all %d pairs were listed within %g s of the last start"
                   % (pairs, args.deadline), target=("==", rounds))
        converged = [t for t in times if t is not None]
        report.add("median time to all know all" + label, median(converged), "s",
                   "over the rounds that converged within %g s" % args.cutoff)
        report.add("slowest time to all know all" + label, None if len(converged) < rounds else max(converged),
                   "s", "over all rounds (never: a round did not converge within %g s)" % args.cutoff)
        report.add("pairs missing at %g s%s" % (args.deadline, label), sum(missing_deadline), "pairs",
                   "summed over the rounds, of %d per round" % pairs)
        report.add("pairs missing at %g s%s" % (args.cutoff, label), sum(missing_cutoff), "pairs",
                   "summed over the rounds, of %d per round" % pairs)
        if args.loss_percent > 0:
            report.add("datagrams dropped" + label, 100.0 * dropped / heard if heard else 0.0, "%",
                       "share of the %d multicast datagrams arriving at the hosts that nftables dropped" % heard)


# -- scale ---------------------------------------------------------------------------------------------------
def scale(ctx, report):
    args = ctx.args
    count, hosts = args.peers, ["h%d" % (i + 1) for i in range(min(args.hosts, args.peers))]
    lab = ctx.lab(hosts)
    ctx.log("starting %d consoles in %d namespaces" % (count, len(hosts)))
    peers = [ctx.console(lab, hosts[i % len(hosts)], "s%d" % i, login="s%d" % i) for i in range(count)]
    last = start_all(ctx, peers, timeout=max(120.0, 0.5 * count))
    ctx.log("all started (the last one %.2f s after the first)" % (last - min(p.started for p in peers)))
    pairs = count * (count - 1)
    wait_for(peers, lambda: everyone_knows_everyone(peers), args.converge_cutoff, interval=0.25)
    since = all_listed_since(peers)
    took = max(0.0, since - last) if since is not None else None
    report.add("all know all after last start", took, "s",
               "from the last console's start until every one of the %d pairs is listed (never: not within %g s)"
               % (pairs, args.converge_cutoff), target=("<=", 1.0))
    report.add("pairs missing 1 s after last start", len(missing_pairs(peers, at=last + 1.0)), "pairs",
               "of %d" % pairs)
    if took is None:
        report.add("pairs missing at cutoff", len(missing_pairs(peers)), "pairs",
                   "of %d, %g s after the last start" % (pairs, args.converge_cutoff))
    idle(ctx, report, lab, hosts, peers)
    victims, survivors = kill_some(ctx, report, peers)
    restart(ctx, report, lab, peers, victims, survivors)


def idle(ctx, report, lab, hosts, peers):
    args = ctx.args
    # One process per namespace shows the namespace's counters.
    witness = {}
    for peer in peers:
        witness.setdefault(peer.host, peer.pid)
    ctx.log("idle for %g s" % args.idle)
    pause(peers, 2.0)
    before_ns = {host: tools.snmp(pid) for host, pid in witness.items()}
    before_cpu = {p.pid: tools.cpu_seconds(p.pid) for p in peers}
    before_switches = {p.pid: tools.context_switches(p.pid) for p in peers}
    began = time.monotonic()
    pause(peers, args.idle, interval=2.0)
    elapsed = time.monotonic() - began
    after_ns = {host: tools.snmp(pid) for host, pid in witness.items()}
    after_cpu = {p.pid: tools.cpu_seconds(p.pid) for p in peers}
    after_switches = {p.pid: tools.context_switches(p.pid) for p in peers}
    waiting = {host: tools.time_wait(pid) for host, pid in witness.items()}
    count = len(peers)

    def delta(section, key):
        total = 0
        for host in witness:
            if before_ns[host] and after_ns[host]:
                total += after_ns[host][section][key] - before_ns[host][section][key]
        return total

    report.add("datagrams sent per peer, idle", delta("Udp", "OutDatagrams") / count / elapsed, "1/s",
               "UDP datagrams sent by all namespaces over %.0f s idle, per peer (/proc/net/snmp)" % elapsed,
               target=("<=", 1.0))
    report.add("TCP connections per peer, idle", delta("Tcp", "ActiveOpens") / count / elapsed, "1/s",
               "connections opened (active opens) by all namespaces, per peer", target=("<=", 0.05))
    report.add("TIME_WAIT per namespace, idle", max(waiting.values()), "sockets",
               "most TCP sockets in TIME_WAIT in one namespace at the end (mean %.0f)"
               % (sum(waiting.values()) / len(waiting)))
    cpu = sum(after_cpu[p] - before_cpu[p] for p in after_cpu if after_cpu[p] is not None and before_cpu[p] is not None)
    report.add("idle CPU of all peers", cpu / elapsed, "cores",
               "user+system time of the %d consoles over the idle period, per second (/proc/PID/stat)" % count,
               target=("<=", 0.05))
    rates = []
    for pid, after in after_switches.items():
        if after and before_switches[pid]:
            rates.append((after[0] - before_switches[pid][0]) / elapsed)
    first = peers[0].pid
    one = (after_switches[first][0] - before_switches[first][0]) / elapsed if after_switches[first] else None
    report.add("wake-ups of one idle peer", one, "1/s",
               "voluntary context switches of %s per second (median over all peers %.1f, max %.1f)"
               % (peers[0].name, median(rates) or 0, max(rates) if rates else 0), target=("<=", 2.0))


def kill_some(ctx, report, peers):
    args = ctx.args
    chooser = random.Random(args.seed)
    count = max(1, int(round(len(peers) * args.kill_percent / 100.0)))
    victims = sorted(chooser.sample(range(len(peers)), count))
    survivors = [p for i, p in enumerate(peers) if i not in victims]
    victims = [peers[i] for i in victims]
    ctx.log("SIGKILL to %d peers" % len(victims))
    killed = time.time()
    for victim in victims:
        os.kill(victim.pid, signal.SIGKILL)
    for victim in victims:
        victim.process.wait()
        victim.poll()
        victim.close()

    def all_gone():
        return all(s.first(v.name, False, killed) is not None for s in survivors for v in victims)

    wait_for(survivors, all_gone, args.gone_cutoff, interval=0.25)
    delays = []
    for survivor in survivors:
        for victim in victims:
            gone = survivor.first(victim.name, False, killed)
            delays.append(gone - killed if gone is not None else None)
    missing = sum(1 for d in delays if d is None)
    found = [d for d in delays if d is not None]
    bound = 15.0 if len(peers) <= 200 else 20.0
    report.add("killed peers reported gone, slowest", max(found) if found and not missing else None, "s",
               "from SIGKILL of %d peers until every survivor reported each gone (%d of %d pairs not reported "
               "within %g s)" % (len(victims), missing, len(delays), args.gone_cutoff), target=("<=", bound))
    report.add("killed peers reported gone, median", median(found), "s",
               "over the (survivor, killed peer) pairs reported within %g s" % args.gone_cutoff)
    reasons = {}
    for survivor in survivors:
        for victim in victims:
            for stamp, present, reason in survivor.history.get(victim.name, ()):
                if not present and stamp >= killed:
                    reasons[reason or "none"] = reasons.get(reason or "none", 0) + 1
    if reasons:
        report.note("reasons given for the killed peers' departures: %s"
                    % ", ".join("%s %d" % item for item in sorted(reasons.items())))
    return victims, survivors


def restart(ctx, report, lab, peers, victims, survivors):
    args = ctx.args
    ctx.log("restarting %d peers" % len(victims))
    fresh = [ctx.console(lab, v.host, v.label + "-again", login=v.label) for v in victims]
    began = time.time()
    last = start_all(ctx, fresh)
    everyone = survivors + fresh

    def back():
        return all(s.first(f.name, True, began) is not None and s.knows(f.name) for s in survivors for f in fresh) \
            and all(f.knows(o.name) for f in fresh for o in everyone if o is not f)

    wait_for(everyone, back, args.back_cutoff, interval=0.25)
    delays = []
    for survivor in survivors:
        for f in fresh:
            seen = survivor.first(f.name, True, began)
            delays.append(seen - last if seen is not None and survivor.knows(f.name) else None)
    for f in fresh:
        for other in everyone:
            if other is not f:
                seen = f.known.get(other.name)
                delays.append(seen - last if seen is not None else None)
    missing = sum(1 for d in delays if d is None)
    found = [max(0.0, d) for d in delays if d is not None]
    report.add("restarted peers listed everywhere, slowest", max(found) if found and not missing else None, "s",
               "from the last restart until every survivor lists each restarted peer and each restarted peer "
               "lists everyone (%d of %d pairs not listed within %g s)" % (missing, len(delays), args.back_cutoff),
               target=("<=", 2.0))
    report.add("restarted peers listed everywhere, median", median(found), "s", "over those pairs")
    # Reachable: one survivor sends each restarted peer a message.
    sender = survivors[0]
    for f in fresh:
        sender.command("SendP2PMessage %s 1 reach hello" % f.name)
    delivered = lambda: sum(1 for f in fresh if f.counts.get("VELP2PMessageReceivedNotif"))  # noqa: E731
    wait_for(everyone, lambda: delivered() == len(fresh), 10.0, interval=0.1)
    report.add("restarted peers reached by a message", delivered(), "of %d" % len(fresh),
               "messages from %s delivered to the restarted peers within 10 s" % sender.name,
               target=("==", len(fresh)))


def reception(ctx, report):
    """What hearing announcements costs one console: at each rate in turn, peers on another host are made
    known, then announce themselves again at that rate, each every 4 s, then leave; the console's CPU time
    (schedstat, in ns) and wake-ups are read as each rate begins and ends."""
    args = ctx.args
    rates = [float(r) for r in args.rates.split(",") if r]
    lab = ctx.lab(["h1", "h2"])
    console = ctx.console(lab, "h1", "receiver", login="receiver")
    start_all(ctx, [console])
    argv = ["__announce", "a", lab.address("h2"), "9", ",".join("%g" % r for r in rates), str(args.seconds)]
    process, out = ctx.helper(lab, "h2", "announcer", argv)
    seen, ended, begun = 0, 0, None
    limit = time.monotonic() + sum(r * 0.02 for r in rates) + len(rates) * (args.seconds + 5.0) + 30.0
    while ended < len(rates) and time.monotonic() < limit:
        pump([console])
        with open(out) as text:
            lines = [json.loads(line) for line in text if line.startswith("{")]
        for line in lines[seen:]:
            reading = (tools.cpu_ns(console.pid), tools.context_switches(console.pid))
            if "begin" in line:
                begun = reading
                continue
            ended += 1
            sent = max(1, line["sent"])
            report.add("CPU per announcement heard, %g/s" % line["rate"], (reading[0] - begun[0]) / 1000.0 / sent,
                       "us", "the receiving console's CPU time over %d announcements of known peers at %g a "
                       "second, per announcement" % (sent, line["rate"]))
            report.add("wake-ups, %g/s heard" % line["rate"],
                       (reading[1][0] - begun[1][0]) / max(1e-9, line["end"] - line["start"]), "1/s",
                       "the receiving console's voluntary context switches per second meanwhile")
        seen = len(lines)
        time.sleep(0.05)
    lab.stop(process)
    if ended < len(rates):
        raise SetupError("the announcer did not finish")
