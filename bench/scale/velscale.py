#!/usr/bin/env python3
"""Presence and scale harness for velp2p: consoles in network namespaces joined by a bridge, measured under
link outages, datagram loss, hundreds of peers, forged announcements and races. Run it as ./run scale (which
builds the console and starts this script inside a private network namespace); see docs/PERFORMANCE.md.

Every scenario builds its own namespaces and removes them, with every process it started (by PID) and every
file it made, when it ends, fails or is interrupted."""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # the source tree stays as it was

import attacks  # noqa: E402
import consoles  # noqa: E402
import figures  # noqa: E402
import lab as lablib  # noqa: E402
import pairs  # noqa: E402
import presence  # noqa: E402
import selftest  # noqa: E402
import tools  # noqa: E402

SCENARIOS = {
    "outage": presence.outage,
    "loss": presence.loss,
    "scale": presence.scale,
    "reception": presence.reception,
    "forge": attacks.forge,
    "status-race": pairs.status_race,
    "same-login": pairs.same_login,
    "interop": pairs.interop,
}


class Interrupted(BaseException):
    pass


class Context:
    """What every scenario shares: the options, the console, the scratch directory, the labs to tear down."""

    def __init__(self, args, scratch):
        self.args = args
        self.binary = args.console
        self.scratch = scratch
        self.began = time.monotonic()
        self.labs = []
        self.peer_env = {}
        if args.liveness is not None:
            self.peer_env["VELP2PLiveness"] = args.liveness
        for setting in args.env:
            name, _, value = setting.partition("=")
            self.peer_env[name] = value

    def log(self, text):
        sys.stderr.write("[%7.1f s] %s\n" % (time.monotonic() - self.began, text))
        sys.stderr.flush()

    def lab(self, hosts):
        directory = tempfile.mkdtemp(prefix="lab-", dir=self.scratch)
        made = lablib.Lab(directory, self.log)
        self.labs.append(made)
        made.build(hosts)
        return made

    def close_labs(self):
        while self.labs:
            self.labs.pop().close()

    def console(self, lab, host, label, login=None, standard=False, env=None, keep_lines=False):
        merged = dict(self.peer_env)
        merged.update(env or {})
        args = ["--login", login] if login else []
        return consoles.Console(lab, host, label, self.binary, args=args, env=merged, standard=standard,
                                keep_lines=keep_lines)

    def helper(self, lab, host, label, argv):
        """Starts this script's internal tool argv inside host; returns (process, path of its output)."""
        out_path = os.path.join(lab.scratch, label + ".out")
        with open(out_path, "w") as out, open(os.path.join(lab.scratch, label + ".err"), "w") as err:
            process = lab.spawn(host, [sys.executable, os.path.abspath(__file__)] + argv, stdout=out, stderr=err)
        return process, out_path


def positive_list(text):
    try:
        values = [float(v) for v in text.split(",") if v]
    except ValueError:
        raise argparse.ArgumentTypeError("a comma-separated list of seconds")
    if not values or any(v <= 0 for v in values):
        raise argparse.ArgumentTypeError("positive seconds")
    return values


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="./run scale", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Presence and scale scenarios for velp2p consoles in network namespaces.",
        epilog="Scenarios: %s (default: all, in that order). Figures are reported, not judged, unless --check "
               "is given: then each is compared with its target and the exit status is 1 when one misses."
               % ", ".join(SCENARIOS))
    parser.add_argument("scenarios", nargs="*", metavar="SCENARIO", help="scenarios to run")
    common = parser.add_argument_group("all scenarios")
    common.add_argument("--console", default=os.path.join(HERE, "..", "..", "build", "bin", "velp2p"),
                        help="the console binary (default build/bin/velp2p)")
    common.add_argument("--check", action="store_true", help="compare the figures with their targets")
    common.add_argument("--json", metavar="FILE", help="also append the figures, one JSON object a line, to FILE")
    common.add_argument("--keep", action="store_true", help="keep the consoles' output (scratch directory)")
    common.add_argument("--seed", type=int, default=1, help="seed of the random choices (default 1)")
    common.add_argument("--liveness", metavar="SECONDS", help="VELP2PLiveness for every peer (default: unset)")
    common.add_argument("--env", action="append", default=[], metavar="VAR=VALUE",
                        help="an environment variable for every peer (repeatable)")
    group = parser.add_argument_group("outage")
    group.add_argument("--outage", type=positive_list, default=[20.0], metavar="S[,S...]",
                       help="link-down durations in seconds, one run each (default 20; e.g. 20,60,300)")
    group.add_argument("--relist-cutoff", type=float, default=60.0,
                       help="seconds after link-up to wait for the peers to list each other again (60)")
    group = parser.add_argument_group("loss")
    group.add_argument("--loss-percent", type=float, default=30.0, help="multicast datagrams dropped (30)")
    group.add_argument("--loss-rounds", type=int, default=20, help="rounds per mode (20)")
    group.add_argument("--loss-peers", type=int, default=10, help="peers (10)")
    group.add_argument("--loss-hosts", type=int, default=10, help="namespaces they are spread over (10)")
    group.add_argument("--loss-modes", default="collaboration,standard", help="modes (collaboration,standard)")
    group.add_argument("--deadline", type=float, default=10.0, help="seconds by which all should know all (10)")
    group.add_argument("--cutoff", type=float, default=30.0, help="seconds after which a round gives up (30)")
    group = parser.add_argument_group("scale")
    group.add_argument("--peers", type=int, default=200, help="peers (200; 600 for the large run)")
    group.add_argument("--hosts", type=int, default=10, help="namespaces (10)")
    group.add_argument("--idle", type=float, default=60.0, help="seconds of idle measurement (60)")
    group.add_argument("--kill-percent", type=float, default=10.0, help="peers SIGKILLed (10)")
    group.add_argument("--converge-cutoff", type=float, default=120.0,
                       help="seconds to wait for all to know all (120)")
    group.add_argument("--gone-cutoff", type=float, default=90.0,
                       help="seconds to wait for the killed peers to be reported gone (90)")
    group.add_argument("--back-cutoff", type=float, default=60.0,
                       help="seconds to wait for the restarted peers to be listed again (60)")
    group = parser.add_argument_group("reception")
    group.add_argument("--rates", default="2,25,200",
                       help="announcements a second heard by the console, one measurement each (2,25,200)")
    group.add_argument("--seconds", type=float, default=20.0, help="seconds per rate (20)")
    group = parser.add_argument_group("forge")
    group.add_argument("--parts", default="abcd", help="parts to run, of abcd (abcd)")
    group.add_argument("--births", type=int, default=300, help="(a), (b): forged births (300)")
    group.add_argument("--more", type=int, default=1100, help="(b): further forged names (1100)")
    group.add_argument("--burst", type=int, default=5000, help="(c): forged births per burst (5000)")
    group.add_argument("--bursts", type=int, default=2, help="(c): bursts (2)")
    group.add_argument("--flood", type=int, default=5000, help="(d): forged births before the newcomer (5000)")
    group.add_argument("--forge-rate", type=float, default=5000.0, help="forged datagrams per second (5000)")
    group.add_argument("--window", type=float, default=60.0,
                       help="(a): seconds the third host's connections are counted (60)")
    group.add_argument("--admit-cutoff", type=float, default=60.0,
                       help="(d): seconds to wait for the newcomer to be listed (60)")
    group = parser.add_argument_group("status-race")
    group.add_argument("--race-rounds", type=int, default=200, help="rounds, two sides each (200)")
    group = parser.add_argument_group("interop")
    group.add_argument("--legacy-env", default="VELP2PAnnounce=0 VELP2PLiveness=0",
                       help='variables that switch the extensions off ("VELP2PAnnounce=0 VELP2PLiveness=0")')
    args = parser.parse_args(argv)
    for name in args.scenarios:
        if name != "all" and name not in SCENARIOS:
            parser.error("unknown scenario %s (one of: %s)" % (name, ", ".join(SCENARIOS)))
    if not args.scenarios or "all" in args.scenarios:
        args.scenarios = list(SCENARIOS)
    if set(args.parts) - set("abcd") or not args.parts:
        parser.error("--parts takes letters of abcd")
    args.loss_modes = [m.strip() for m in args.loss_modes.split(",") if m.strip()]
    if set(args.loss_modes) - {"collaboration", "standard"}:
        parser.error("--loss-modes takes collaboration and/or standard")
    for name in ("loss_peers", "loss_hosts", "peers", "hosts", "loss_rounds", "race_rounds", "births", "more",
                 "burst", "bursts", "flood"):
        if getattr(args, name) < 1:
            parser.error("--%s must be at least 1" % name.replace("_", "-"))
    for name in ("forge_rate", "window", "idle", "deadline", "cutoff"):
        if not getattr(args, name) > 0:
            parser.error("--%s must be positive" % name.replace("_", "-"))
    return args


def internal(argv):
    """The tools that run inside a host, __listen ADDRESS MODE PORT[,PORT...] and
    __forge PREFIX COUNT ADDRESS PORTS RATE PID [BURSTS GAP], __announce PREFIX ADDRESS PORT RATES SECONDS,
    and the harness's own check, __selftest CONSOLE."""
    if argv[0] == "__selftest":
        sys.exit(selftest.run(argv[1]))
    if argv[0] == "__listen":
        tools.raise_descriptor_limit()
        tools.listen(argv[1], [int(p) for p in argv[3].split(",")], argv[2])
    elif argv[0] == "__announce":
        tools.announce(argv[1], argv[2], int(argv[3]), [float(r) for r in argv[4].split(",")], float(argv[5]))
    elif argv[0] == "__forge":
        bursts = int(argv[7]) if len(argv) > 7 else 1
        gap = float(argv[8]) if len(argv) > 8 else 0.0
        tools.forge(argv[1], int(argv[2]), argv[3], [int(p) for p in argv[4].split(",")], float(argv[5]),
                    int(argv[6]), "224.0.1.85", 2678, bursts=bursts, gap=gap)
    else:
        sys.exit("unknown internal command %s" % argv[0])


def main(argv):
    if argv and argv[0].startswith("__"):
        internal(argv)
        return 0
    args = parse(argv)
    if not os.access(args.console, os.X_OK):
        sys.exit("velscale: no console at %s (./run build builds it)" % args.console)
    if os.geteuid() != 0:
        sys.exit("velscale: network namespaces need root")

    def interrupt(signum, _frame):
        raise Interrupted()

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupt)
    scratch = tempfile.mkdtemp(prefix="%s%d-" % (lablib.SCRATCH_PREFIX, os.getpid()))
    context = Context(args, scratch)
    status = 0
    try:
        lablib.remove_stale(context.log)
        for name in args.scenarios:
            report = figures.Report(name, args.check, args.json)
            context.log("scenario %s" % name)
            began = time.monotonic()
            try:
                SCENARIOS[name](context, report)
            except lablib.SetupError as error:
                report.note("could not run: %s" % error)
                status = max(status, 2)
            except Exception as error:  # a fault of the harness: the other scenarios still run
                traceback.print_exc()
                report.note("stopped by a fault of the harness: %r" % error)
                status = max(status, 2)
            finally:
                context.close_labs()
            report.seconds = time.monotonic() - began
            report.print()
            if args.check and report.misses():
                status = max(status, 1)
    except Interrupted:
        context.log("interrupted: cleaning up")
        status = 130
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        context.close_labs()
        if args.keep:
            context.log("output kept in %s" % scratch)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
