#!/usr/bin/env python3
"""A terminal chat with presence on velp2p: one line typed is one message to everyone online.

    python3 chat.py NAME [--config FILE]

Commands: /to PEER TEXT (to one peer), /status NUMBER TEXT, /peers, /quit (or end of input). Shows
"+ PEER" when a peer comes online, "- PEER" when it leaves, "= PEER NUMBER TEXT" for a status and
"<PEER> TEXT" for a message. The node and standard input share one selectors loop.
"""

import argparse
import os
import selectors
import sys

import velp2p

CHAT = 1  # the message type of a chat line


def show(line):
    print(line, flush=True)


def handle(node, event):
    if event.peer == node.name and event.kind in ("born", "status"):
        return  # our own announcements come back too
    if event.kind == "born":
        show(f"+ {event.peer}")
    elif event.kind == "left":
        show(f"- {event.peer}" + (f" ({event.text})" if event.text else ""))
    elif event.kind == "status":
        show(f"= {event.peer} {event.status} {event.text}")
    elif event.kind == "message" and event.type == CHAT:
        show(f"<{event.peer}> {event.data.decode('utf-8', 'replace')}")
    elif event.kind in ("send_failed", "dropped"):
        show(f"! {event.kind} {event.peer} {event.text}")


def command(node, line):
    """Runs one line of input; False when the chat ends."""
    word, _, rest = line.partition(" ")
    try:
        if word == "/quit":
            return False
        if word == "/peers":
            show("online: " + ", ".join(sorted(peer for peer in node.peers() if peer != node.name)))
        elif word == "/status":
            number, _, text = rest.partition(" ")
            node.set_status(int(number), text)
        elif word == "/to":
            peer, _, text = rest.partition(" ")
            node.send(peer, CHAT, "chat", text)
        elif line:
            for peer in node.peers():
                if peer != node.name:
                    node.send(peer, CHAT, "chat", line)
    except (velp2p.Error, ValueError) as error:
        show(f"! {error}")
    return True


def main():
    parser = argparse.ArgumentParser(description="A terminal chat with presence on velp2p.")
    parser.add_argument("name")
    parser.add_argument("--config", help="endpoint configuration file")
    arguments = parser.parse_args()
    try:
        node = velp2p.Node(login=arguments.name, config=arguments.config).start()
    except velp2p.Error as error:
        print(f"chat: {error.reason}", file=sys.stderr)
        return 1
    with node, selectors.DefaultSelector() as selector:
        show(f"* you are {node.name}; type a line to talk to everyone, /quit to leave")
        selector.register(node, selectors.EVENT_READ)
        selector.register(sys.stdin, selectors.EVENT_READ)
        typed = b""  # input read but not yet a whole line
        running = True
        while running:
            for key, _ in selector.select(node.timeout()):
                if key.fileobj is sys.stdin:
                    # Read from the descriptor itself: lines left in a file object's buffer would wait
                    # there until more input makes the descriptor readable again.
                    chunk = os.read(sys.stdin.fileno(), 65536)
                    typed += chunk if chunk else b"\n/quit\n"
                    *lines, typed = typed.split(b"\n")
                    for line in lines:
                        running = running and command(node, line.decode("utf-8", "replace"))
            node.process()
            while (event := node.recv(timeout=0)) is not None:
                handle(node, event)
    return 0


if __name__ == "__main__":
    sys.exit(main())
