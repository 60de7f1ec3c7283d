"""A peer in a process of its own for the two-process test, run on asyncio with the node's descriptor
added as a reader: it answers every message with its data reversed, type + 1 and header "echo:" + header,
publishes how many it answered as its status, and leaves after a message with the header "bye"."""

import asyncio
import sys
import time

import velp2p


async def serve(node):
    loop = asyncio.get_running_loop()
    ready = asyncio.Event()
    loop.add_reader(node.fileno(), ready.set)
    answered = 0
    deadline = time.monotonic() + 30
    try:
        while time.monotonic() < deadline:
            node.process()
            while (event := node.recv(timeout=0)) is not None:
                if event.kind != "message":
                    continue
                answered += 1
                node.set_status(answered, f"answered {answered}")
                node.send(event.peer, event.type + 1, "echo:" + event.header, event.data[::-1])
                if event.header == "bye":
                    return 0
            ready.clear()
            try:
                await asyncio.wait_for(ready.wait(), node.timeout())
            except asyncio.TimeoutError:
                pass
        return 1
    finally:
        loop.remove_reader(node.fileno())


def main(login, config):
    with velp2p.Node(login=login, config=config) as node:
        print("ready", node.name, flush=True)
        return asyncio.run(serve(node))


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
