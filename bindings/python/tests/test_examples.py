"""The examples of the README, each against a console: the C example and the Python chat exchange a
message and a status with it."""

import os

from conftest import HERE, Child, Console, hex_of, program

CHAT = os.path.join(HERE, "..", "examples", "chat.py")


def test_c_example_exchanges_a_message_and_a_status_with_a_console(config, children):
    bob = children(Console, config, "bob")
    example = children(Child, [program("VELP2P_C_EXAMPLE"), "carol", "bob_KVZ", config])
    bob.wait_event("VELP2PChangeStatusNotif", "carol_KVZ", status=3, description="writing C")
    bob.wait_event("VELP2PMessageReceivedNotif", "carol_KVZ", type=7, header="greeting",
                   dataHex=hex_of("hello from C"))
    bob.run('ChangeP2PStatus 2 "reading C"')
    bob.run('SendP2PMessage carol_KVZ 1 reply "hi carol"')
    example.wait_for(lambda line: line == "done")
    assert 'status bob_KVZ 2 "reading C"' in example.lines
    assert 'message bob_KVZ 1 reply "hi carol"' in example.lines
    assert example.finish() == 0
    bob.wait_event("VELP2PPeerDeathNotif", "carol_KVZ")


def test_chat_exchanges_a_message_and_a_status_with_a_console(config, children, python):
    bob = children(Console, config, "bob")
    chat = children(Child, [python, CHAT, "carol", "--config", config])
    chat.wait_for(lambda line: line == "+ bob_KVZ")
    chat.write("/status 3 on a break")
    chat.write("/to bob_KVZ hello bob")
    bob.wait_event("VELP2PChangeStatusNotif", "carol_KVZ", status=3, description="on a break")
    bob.wait_event("VELP2PMessageReceivedNotif", "carol_KVZ", type=1, header="chat", dataHex=hex_of("hello bob"))
    bob.run('ChangeP2PStatus 2 "busy bee"')
    bob.run('SendP2PMessage carol_KVZ 1 chat "hi carol"')
    chat.wait_all(["= bob_KVZ 2 busy bee", "<bob_KVZ> hi carol"])
    chat.write("/quit")
    assert chat.finish() == 0
    bob.wait_event("VELP2PPeerDeathNotif", "carol_KVZ")
