"""Blocks as a velp2p peer puts them on the network (docs/PROTOCOL.md), built from scratch so that the forging
tool needs nothing but the standard library. Only what the harness forges is here: announcements and
status payloads, whole blocks (no fragments)."""

import socket
import struct

HEADER_BYTES = 88
MAX_DATAGRAM = 1024
DEFAULT_GROUP = "224.0.1.85"
DEFAULT_PORT = 2678

MODE_WHOLE = 0x02
MODE_TCP = 0x08
MODE_MULTICAST = 0x10

KIND_TCP = 1
KIND_MULTICAST = 2

BIRTH, UPDATE, DEATH, NAME_USED = b"0", b"1", b"2", b"3"
PEER_PRESENT, PEER_LEAVING = b"0", b"1"


def _name_field(text):
    raw = text.encode("utf-8")
    if len(raw) > 31:
        raise ValueError("a name field holds at most 31 bytes: %r" % text)
    return raw.ljust(32, b"\0")


def record(kind, address, port):
    """An 8-byte endpoint record. A multicast record holds the address components reversed."""
    packed = socket.inet_aton(address)
    if kind == KIND_MULTICAST:
        packed = packed[::-1]
    return struct.pack("!BBH", 8, kind, port) + packed


def block(service, sender, payload, group="/", mode=MODE_WHOLE | MODE_MULTICAST, sender_record=None,
          other_record=None):
    """One whole block: the fixed part, the group path, the payload. sender_record and other_record are
    the 8-byte records whose address and port go into the header (the sending endpoint's and the first one
    of the other kind); None leaves zeros."""
    path = group.encode("utf-8")
    total = HEADER_BYTES + len(path) + len(payload)
    sender_address, sender_port = (sender_record[4:8], sender_record[2:4]) if sender_record else (b"\0" * 4,
                                                                                                     b"\0" * 2)
    other_address, other_port = (other_record[4:8], other_record[2:4]) if other_record else (b"\0" * 4,
                                                                                             b"\0" * 2)
    fixed = struct.pack("!IHBBHH", total, HEADER_BYTES + len(path), 1, mode, HEADER_BYTES, len(path))
    fixed += _name_field(service) + _name_field(sender)
    fixed += sender_address + other_address + sender_port + other_port
    assert len(fixed) == HEADER_BYTES
    return fixed + path + payload


def announcement(kind, pid, records):
    """An awareness announcement: kind, the record count, the process id (little-endian), the records."""
    return kind + struct.pack("!H", len(records)) + struct.pack("<I", pid & 0xFFFFFFFF) + b"".join(records)


def forged_birth(name, tcp_address, tcp_port, pid=4242, group_address=DEFAULT_GROUP, group_port=DEFAULT_PORT):
    """A multicast birth announcement of a peer called name whose TCP record names tcp_address:tcp_port,
    as a peer that really lived there would send it."""
    multicast = record(KIND_MULTICAST, group_address, group_port)
    tcp = record(KIND_TCP, tcp_address, tcp_port)
    return block("AwarenessService", name, announcement(BIRTH, pid, [multicast, tcp]), group="/",
                 sender_record=multicast, other_record=tcp)


def status_payload(kind, status, description):
    """A status payload in the streamer's format: byte kind, int status, byte array description (an empty
    description travels as one zero byte)."""
    text = description.encode("utf-8") or b"\0"
    return kind + struct.pack("<iI", status, len(text)) + text


def forged_status(name, status, description, group_address=DEFAULT_GROUP, group_port=DEFAULT_PORT):
    multicast = record(KIND_MULTICAST, group_address, group_port)
    return block("StatusService", name, status_payload(b"0", status, description), group="/",
                 sender_record=multicast)


def forged_presence(name, tcp_address, tcp_port, status=6, description="", group_address=DEFAULT_GROUP,
                    group_port=DEFAULT_PORT):
    """A peer announcing itself again: a status of kind '2' to "/", its TCP endpoint in the header."""
    multicast = record(KIND_MULTICAST, group_address, group_port)
    return block("StatusService", name, status_payload(b"2", status, description), group="/",
                 sender_record=multicast, other_record=record(KIND_TCP, tcp_address, tcp_port))
