"""A private LAN made of network namespaces: one namespace per host, each with one veth port on a bridge that
lives in a namespace of its own, multicast routed through the port. Processes are started inside the hosts
and remembered by PID; close() stops them, deletes every namespace and removes every file it made, and is
safe to call twice."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

NETNS_DIR = "/etc/netns"
RUN_NETNS = "/run/netns"
PREFIX = "vsc"  # every namespace of the harness is named vsc<pid of the harness>...
SCRATCH_PREFIX = "velscale-"  # and its scratch directory velscale-<pid>-...


class SetupError(Exception):
    """The lab cannot be built here; the message says why."""


def run(argv, check=True, input_text=None):
    result = subprocess.run(argv, input=input_text, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and result.returncode != 0:
        raise SetupError("%s failed: %s" % (" ".join(argv), (result.stderr or result.stdout).strip()))
    return result


def _orphaned(pattern, name):
    """True when name was made by a harness whose process is gone."""
    found = re.match(pattern, name)
    return bool(found) and int(found.group(1)) != os.getpid() and not os.path.exists("/proc/%s" % found.group(1))


def remove_stale(log):
    """Deletes the namespaces and scratch directories left by a harness that was killed before it could clean
    up (its PID is gone)."""
    names = sorted(os.listdir(RUN_NETNS)) if os.path.isdir(RUN_NETNS) else []
    for name in names:
        if _orphaned(r"^%s(\d+)[a-z]" % PREFIX, name):
            log("removing namespace %s left by an earlier run" % name)
            run(["ip", "netns", "del", name], check=False)
            _remove_tree(os.path.join(NETNS_DIR, name))
    scratch = tempfile.gettempdir()
    for name in sorted(os.listdir(scratch)):
        if _orphaned(r"^%s(\d+)-" % SCRATCH_PREFIX, name):
            log("removing %s left by an earlier run" % os.path.join(scratch, name))
            shutil.rmtree(os.path.join(scratch, name), ignore_errors=True)


def _remove_tree(path):
    if not os.path.isdir(path):
        return
    for entry in os.listdir(path):
        try:
            os.unlink(os.path.join(path, entry))
        except OSError:
            pass
    try:
        os.rmdir(path)
    except OSError:
        pass


class Lab:
    def __init__(self, scratch, log, subnet_byte=None):
        self.scratch = scratch
        self.log = log
        self.tag = "%s%d" % (PREFIX, os.getpid())
        self.switch = self.tag + "sw"
        third = subnet_byte if subnet_byte is not None else os.getpid() % 250
        self.subnet = "10.214.%d" % third
        self.hosts = []  # host labels in the order they were added
        self.made = []  # namespaces created, switch first
        self.index = {}  # host label -> 1-based port number
        self.processes = []  # every Popen started, newest last
        self.made_netns_dir = False
        self.closed = False

    # -- the segment ----------------------------------------------------------------------------------------
    def namespace(self, host):
        return self.tag + host

    def address(self, host):
        return "%s.%d" % (self.subnet, self.index[host])

    def build(self, hosts):
        """Adds the hosts (labels like h1) to the segment, creating the switch first when needed."""
        if os.geteuid() != 0:
            raise SetupError("creating network namespaces needs root")
        if not self.made:
            run(["ip", "netns", "add", self.switch])
            self.made.append(self.switch)
            if not os.path.isdir(NETNS_DIR):
                try:
                    os.mkdir(NETNS_DIR)
                    self.made_netns_dir = True
                except OSError:
                    pass
            run(["ip", "-n", self.switch, "-batch", "-"],
                input_text="link add br0 type bridge mcast_snooping 0\nlink set br0 up\n")
        lines = []
        for host in hosts:
            if host in self.index:
                raise SetupError("host %s added twice" % host)
            if len(self.hosts) >= 250:
                raise SetupError("at most 250 hosts fit the segment")
            ns = self.namespace(host)
            run(["ip", "netns", "add", ns])
            self.made.append(ns)
            self.hosts.append(host)
            self.index[host] = len(self.hosts) + 1
            port = "p%d" % self.index[host]
            lines.append("link add %s type veth peer name eth0 netns %s" % (port, ns))
            lines.append("link set %s master br0 up" % port)
        run(["ip", "-n", self.switch, "-batch", "-"], input_text="\n".join(lines) + "\n")
        for host in hosts:
            ns = self.namespace(host)
            batch = ["link set lo up", "addr add %s/24 dev eth0" % self.address(host), "link set eth0 up",
                     "route add 224.0.0.0/4 dev eth0"]
            run(["ip", "-n", ns, "-batch", "-"], input_text="\n".join(batch) + "\n")
            # ip netns exec mounts these over /etc: the host name resolves to loopback only, as on a stock
            # Debian host, so each peer has to find the address the others reach it at.
            try:
                os.makedirs(os.path.join(NETNS_DIR, ns), exist_ok=True)
                with open(os.path.join(NETNS_DIR, ns, "hosts"), "w") as hosts_file:
                    hosts_file.write("127.0.0.1 localhost\n127.0.1.1 %s\n" % os.uname().nodename)
            except OSError:
                pass

    def link(self, host, up):
        """Takes the host's cable out (its bridge port down: the host sees no carrier, keeps its routes) or
        plugs it back."""
        run(["ip", "-n", self.switch, "link", "set", "p%d" % self.index[host], "up" if up else "down"])

    def nft(self, host, ruleset):
        """Loads an nftables ruleset (text for nft -f) into the host's namespace."""
        result = run(["ip", "netns", "exec", self.namespace(host), "nft", "-f", "-"], check=False,
                     input_text=ruleset)
        if result.returncode != 0:
            raise SetupError("nft in %s: %s" % (host, result.stderr.strip()))

    def nft_json(self, host, what):
        result = run(["ip", "netns", "exec", self.namespace(host), "nft", "-j", "list"] + what.split(),
                     check=False)
        return result.stdout if result.returncode == 0 else ""

    # -- processes -------------------------------------------------------------------------------------------
    def spawn(self, host, argv, env=None, stdin=None, stdout=None, stderr=None):
        """Starts argv inside the host (ip netns exec, which replaces itself with argv: the PID is argv's),
        in a session of its own so that a Ctrl-C meant for the harness reaches it only through close().
        The library's variables of the caller's environment are left out: peers run with their defaults
        unless env says otherwise."""
        full_env = {name: value for name, value in os.environ.items() if not name.startswith("VELP2P")}
        if env:
            full_env.update(env)
        process = subprocess.Popen(["ip", "netns", "exec", self.namespace(host)] + list(argv), env=full_env,
                                   stdin=stdin, stdout=stdout, stderr=stderr, start_new_session=True,
                                   close_fds=True)
        self.processes.append(process)
        return process

    def stop(self, process, grace=3.0, sig=signal.SIGTERM):
        """Stops one process started here: sig, then SIGKILL after grace seconds."""
        self.stop_many([process], grace, sig)

    def stop_all(self, grace=3.0):
        self.stop_many(self.processes, grace)
        self.processes = [p for p in self.processes if p.poll() is None]

    @staticmethod
    def stop_many(processes, grace=3.0, sig=signal.SIGTERM):
        """sig to every live process of processes at once, then SIGKILL to those still there after grace
        seconds; closes their standard input."""
        live = [p for p in processes if p.poll() is None]
        for process in live:
            try:
                os.kill(process.pid, sig)
            except ProcessLookupError:
                pass
        until = time.monotonic() + grace
        for process in live:
            try:
                process.wait(timeout=max(0.01, until - time.monotonic()))
            except subprocess.TimeoutExpired:
                try:
                    os.kill(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()
        for process in processes:
            if process.stdin:
                try:
                    process.stdin.close()
                except OSError:
                    pass

    # -- teardown --------------------------------------------------------------------------------------------
    def close(self):
        if self.closed:
            return
        self.closed = True
        # Signals wait: an interrupted teardown would leave namespaces behind.
        previous = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        try:
            self.stop_all()
            for ns in reversed(self.made):
                run(["ip", "netns", "del", ns], check=False)
                _remove_tree(os.path.join(NETNS_DIR, ns))
            if self.made_netns_dir:
                try:
                    os.rmdir(NETNS_DIR)
                except OSError:
                    pass
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)
