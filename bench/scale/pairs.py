"""Scenarios of two or three peers: a status race at birth, two consoles under one login, and a peer with the
extensions switched off against a normal one."""

import re
import time

import consoles
from consoles import release_together, wait_for
from lab import SetupError
from presence import pause, start_all

BIRTH = "VELP2PPeerBirthNotif"
DEATH = "VELP2PPeerDeathNotif"


# -- status-race ---------------------------------------------------------------------------------------------
def status_race(ctx, report):
    rounds = ctx.args.race_rounds
    lab = ctx.lab(["h1", "h2"])
    wrong, unseen = 0, 0
    kinds = {}
    began = time.monotonic()
    for number in range(rounds):
        # Names of their own each round: nothing a previous pair sent can count for this one.
        names = ("ra%d_KVZ" % number, "rb%d_KVZ" % number)
        a = ctx.console(lab, "h1", "race-a%d" % number, login=names[0][:-4])
        b = ctx.console(lab, "h2", "race-b%d" % number, login=names[1][:-4])
        commanded = {}  # console -> index of its status command

        def reactor(other, text):
            def react(console, obj):
                if obj.get("event") == BIRTH and obj.get("peerName") == other and console not in commanded:
                    commanded[console] = console.command('ChangeP2PStatus 3 "%s"' % text)
            return react

        a.listeners.append(reactor(names[1], "a%d" % number))
        b.listeners.append(reactor(names[0], "b%d" % number))
        release_together([a, b])
        want = {a: (3, "b%d" % number), b: (3, "a%d" % number)}
        others = {a: names[1], b: names[0]}

        def settled():
            return all(c.statuses.get(others[c], (None, None, 0))[:2] == want[c] for c in (a, b))

        wait_for([a, b], settled, 5.0, interval=0.002)
        # A late answer could still overwrite a settled view.
        pause([a, b], 0.3, interval=0.05)
        for console in (a, b):
            view = console.statuses.get(others[console])
            if view is not None and view[:2] == want[console]:
                continue
            wrong += 1
            if console not in commanded or others[console] not in console.history:
                unseen += 1
                kind = "never saw the other"
            else:
                peer = b if console is a else a
                reply = peer.reply(commanded.get(peer, 10 ** 9))
                if reply is None or reply.get("result") != 0:
                    kind = "the other's change failed"
                else:
                    kind = "holds %s" % (("status %s %r" % view[:2]) if view else "no status")
            kinds[kind] = kinds.get(kind, 0) + 1
        consoles.quit_all([a, b])
        if (number + 1) % 50 == 0:
            ctx.log("status race: %d rounds, %d wrong sides" % (number + 1, wrong))
    sides_total = 2 * rounds
    report.add("sides with the other's latest status", sides_total - wrong, "of %d" % sides_total,
               "after both set status 3 the moment they saw each other born, %d rounds" % rounds,
               target=("==", sides_total))
    report.add("sides that never saw the other", unseen, "sides", "within 5 s of the start")
    report.add("time per round", (time.monotonic() - began) / rounds, "s", "start, race, settle, quit")
    for kind, count in sorted(kinds.items()):
        report.note("wrong side: %s x%d" % (kind, count))


# -- same-login ----------------------------------------------------------------------------------------------
TOLD = re.compile(r"in use|already used|already taken|name.{0,12}(clash|taken|used)|duplicate", re.I)


def same_login(ctx, report):
    lab = ctx.lab(["h1", "h2", "h3"])
    first = ctx.console(lab, "h1", "first", login="same", keep_lines=True)
    witness = ctx.console(lab, "h3", "witness", login="witness", keep_lines=True)
    start_all(ctx, [first, witness])
    if not wait_for([first, witness], lambda: first.knows("witness_KVZ") and witness.knows("same_KVZ"), 20.0):
        raise SetupError("the first console and the witness did not find each other within 20 s")
    second = ctx.console(lab, "h2", "second", login="same", keep_lines=True)
    everyone = [first, witness, second]
    start_all(ctx, [second])
    # The name-in-use answer is believed within 5 s of the birth; a little more to see what follows.
    wait_for(everyone, lambda: not second.alive(), 7.0, interval=0.05)
    pump_lines = list(second.lines)
    closed_by_itself = second.closed_at is not None
    ended_by_itself = not second.alive()
    second.quit()
    pause([first, witness], 3.0)
    told_lines = [line for line in pump_lines if TOLD.search(" ".join(str(v) for v in line.values()))]
    index = first.command("GetConnectedPeers")
    witness_index = witness.command("GetConnectedPeers")
    wait_for([first, witness], lambda: first.reply(index) and witness.reply(witness_index), 10.0)
    listed = (first.reply(index) or {}).get("peers", [])
    witness_listed = (witness.reply(witness_index) or {}).get("peers", [])
    report.add("second told the name is in use", bool(told_lines), "",
               "an event or reply of the second console that says so", target=("==", True))
    report.add("second disconnected by itself", closed_by_itself, "",
               "the second console's peer closed without being asked, within 7 s")
    report.add("second process ended by itself", ended_by_itself, "", "the second console exited on its own")
    report.add("first lists itself afterwards", "same_KVZ" in listed, "",
               "GetConnectedPeers of the first, 3 s after the second quit", target=("==", True))
    report.add("first lists the others afterwards", "witness_KVZ" in listed, "",
               "the witness (a third peer) is in that list", target=("==", True))
    report.add("witness lists the first afterwards", "same_KVZ" in witness_listed, "",
               "GetConnectedPeers of the witness", target=("==", True))
    seen = {}
    for line in pump_lines:
        key = line.get("event") or "reply " + str(line.get("command"))
        if line.get("reason"):
            key += " (%s)" % line["reason"]
        seen[key] = seen.get(key, 0) + 1
    report.note("the second console printed: %s" % ", ".join("%s x%d" % item for item in seen.items()))
    first_deaths = [line.get("reason") or "-" for line in first.lines
                    if line.get("event") == DEATH and line.get("peerName") == "same_KVZ"]
    if first_deaths:
        report.note("the first console saw its own name leave %d times" % len(first_deaths))


# -- interop -------------------------------------------------------------------------------------------------
def legacy_env(text):
    env = {}
    for item in text.split():
        name, sep, value = item.partition("=")
        if not sep or not name:
            raise SetupError("--legacy-env takes VAR=VALUE items, not %r" % item)
        env[name] = value
    return env


def interop(ctx, report):
    env = legacy_env(ctx.args.legacy_env)
    lab = ctx.lab(["h1", "h2"])
    old = ctx.console(lab, "h1", "legacy", login="old", env=env)
    new = ctx.console(lab, "h2", "normal", login="new")
    peers = [old, new]
    timeout = 10.0

    def within(condition, consoles_, started):
        if wait_for(consoles_, condition, timeout, interval=0.02):
            return time.time() - started
        return None

    def add(name, value, meaning):
        report.add(name, value, "s", meaning + " (never: not within %g s)" % timeout, target=("<=", timeout))

    start_all(ctx, peers)
    began = max(p.started for p in peers)
    add("extensions off lists normal", within(lambda: old.knows("new_KVZ"), peers, began),
        "from the later start until the peer with %s lists the normal one" % ctx.args.legacy_env)
    add("normal lists extensions off", within(lambda: new.knows("old_KVZ"), peers, began),
        "the normal peer lists the other")
    moment = time.time()
    old.command('ChangeP2PStatus 3 "from old"')
    add("status, extensions off to normal",
        within(lambda: new.statuses.get("old_KVZ", ())[:2] == (3, "from old"), peers, moment),
        "a status change seen by the other")
    moment = time.time()
    new.command('ChangeP2PStatus 2 "from new"')
    add("status, normal to extensions off",
        within(lambda: old.statuses.get("new_KVZ", ())[:2] == (2, "from new"), peers, moment),
        "a status change seen by the other")
    moment = time.time()
    old.command("SendP2PMessage new_KVZ 1 h fromold")
    add("message, extensions off to normal",
        within(lambda: new.counts.get("VELP2PMessageReceivedNotif", 0) >= 1, peers, moment), "a message delivered")
    moment = time.time()
    new.command("SendP2PMessage old_KVZ 1 h fromnew")
    add("message, normal to extensions off",
        within(lambda: old.counts.get("VELP2PMessageReceivedNotif", 0) >= 1, peers, moment), "a message delivered")
    moment = time.time()
    new.quit()
    add("extensions off sees normal leave", within(lambda: not old.knows("new_KVZ"), [old], moment),
        "the normal peer quits")
    again = ctx.console(lab, "h2", "normal-again", login="new")
    moment = time.time()
    release_together([again])
    add("extensions off sees normal come back",
        within(lambda: old.knows("new_KVZ") and again.knows("old_KVZ"), [old, again], moment),
        "the normal peer starts again; both list each other")
    moment = time.time()
    old.quit()
    add("normal sees extensions off leave", within(lambda: not again.knows("old_KVZ"), [again], moment),
        "the peer with the extensions off quits")
