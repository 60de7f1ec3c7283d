"""velp2p.Node against another Python node in another process, and against the C++ console."""

import os
import time

import pytest

import velp2p
from conftest import HERE, WAIT, Child, Console, expect, hex_of


def test_two_nodes_in_two_processes_exchange_messages_and_statuses(config, children, python):
    peer = children(Child, [python, os.path.join(HERE, "echo_peer.py"), "bob", config])
    peer.wait_for(lambda line: line == "ready bob_KVZ")
    with velp2p.Node(login="alice", config=config) as node:
        assert node.name == "alice_KVZ"
        expect(node, lambda e: e.kind == "born" and e.peer == "bob_KVZ")
        data = bytes(range(256))  # every byte value, not UTF-8
        node.send("bob_KVZ", 9, "hello", data)
        echo, status = expect(node, lambda e: e.kind == "message",
                              lambda e: e.kind == "status" and e.peer == "bob_KVZ" and e.status == 1)
        assert (echo.peer, echo.type, echo.header, echo.data) == ("bob_KVZ", 10, "echo:hello", data[::-1])
        assert status.text == "answered 1"
        node.send("bob_KVZ", 1, "bye", "x")
        expect(node, lambda e: e.kind == "left" and e.peer == "bob_KVZ")
    assert peer.finish() == 0


def receive_while(node, others, match):
    """The first event of node that match accepts, the other nodes of the process running meanwhile (each
    has a loop of its own, which only runs when asked); fails the test at the deadline."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        for other in others:
            other.process()
        event = node.recv(timeout=0.01)
        if event is not None and match(event):
            return event
    pytest.fail("the event did not come")


def test_two_nodes_of_one_process_talk_and_a_third_under_a_taken_name_closes_saying_why(config):
    with velp2p.Node(login="alice", config=config) as alice, velp2p.Node(login="bob", config=config) as bob:
        receive_while(bob, [alice], lambda e: e.kind == "born" and e.peer == "alice_KVZ")
        receive_while(alice, [bob], lambda e: e.kind == "born" and e.peer == "bob_KVZ")
        alice.send("bob_KVZ", 4, "hi", b"\x00bob")
        message = receive_while(bob, [alice], lambda e: e.kind == "message")
        assert (message.peer, message.type, message.header, message.data) == ("alice_KVZ", 4, "hi", b"\x00bob")
        with velp2p.Node(login="alice", config=config) as again:
            closing = receive_while(again, [alice, bob], lambda e: e.kind == "closing")
            assert closing.text == "name in use"
        assert sorted(bob.peers()) == ["alice_KVZ", "bob_KVZ"]


def test_node_and_console_exchange_messages_and_statuses(config, children):
    bob = children(Console, config, "bob")
    with velp2p.Node(login="alice", config=config) as node:
        expect(node, lambda e: e.kind == "born" and e.peer == "bob_KVZ")
        bob.wait_event("VELP2PPeerBirthNotif", "alice_KVZ")
        node.set_status(3, "out to lunch")
        node.send("bob_KVZ", 7, "hdr", b"\x00\x01\xfe")
        bob.wait_event("VELP2PChangeStatusNotif", "alice_KVZ", status=3, description="out to lunch")
        bob.wait_event("VELP2PMessageReceivedNotif", "alice_KVZ", node, type=7, header="hdr", dataHex="0001fe")

        bob.run('ChangeP2PStatus 2 "in a meeting"')
        bob.run('SendP2PMessage alice_KVZ 5 greeting "hi alice"')
        status, message = expect(node, lambda e: e.kind == "status" and e.peer == "bob_KVZ" and e.status == 2,
                                 lambda e: e.kind == "message")
        assert (status.status, status.text) == (2, "in a meeting")
        assert (message.peer, message.type, message.header, message.data) == ("bob_KVZ", 5, "greeting",
                                                                               b"hi alice")
        assert sorted(node.peers()) == ["alice_KVZ", "bob_KVZ"]
        assert node.peer_status("bob_KVZ") == (2, "in a meeting")
        with pytest.raises(velp2p.Error) as failure:
            node.send("carol_KVZ", 1, "", b"x")
        assert failure.value.code == velp2p.E_UNKNOWN_PEER
        assert failure.value.reason == "unknown peer: carol_KVZ"
    bob.wait_event("VELP2PPeerDeathNotif", "alice_KVZ")


def test_options_that_cannot_be_used_raise_with_their_reason(tmp_path):
    with pytest.raises(velp2p.Error) as failure:
        velp2p.Node(mode="rtc")
    assert failure.value.code == velp2p.E_BAD_OPTION
    missing = str(tmp_path / "missing.cfg")
    node = velp2p.Node(login="x", config=missing)
    with pytest.raises(velp2p.Error) as failure:
        node.start()
    assert failure.value.code == velp2p.E_BAD_CONFIGURATION
    assert failure.value.reason.startswith(f"bad configuration: {missing}: cannot read the file")
    node.close()
    node.close()
    with pytest.raises(velp2p.Error):
        node.recv(0)
