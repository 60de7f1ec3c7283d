"""velp2p: serverless presence and messaging on a local network.

A Node is one peer. It runs on the calling thread only: recv() runs it while waiting for the next Event,
or an application's own loop watches fileno() (selectors, asyncio's add_reader), waits at most timeout()
and calls process(). Failures raise Error, with the library's code and reason.

    with velp2p.Node(login="alice", config="/etc/velp2p.cfg") as node:
        while (event := node.recv(timeout=5)) is not None:
            print(event.kind, event.peer)

The library is found through VELP2P_LIBRARY (a path) when it is set, else through the dynamic loader.
"""

import ctypes
import math

from ._library import load

_lib = load()

__version__ = _lib.velp2p_version().decode()

# The codes of velp2p/velp2p.h (Error.code is one of them).
E_NOT_CONNECTED = -1
E_ALREADY_STARTED = -2
E_UNKNOWN_PEER = -3
E_EMPTY_DATA = -4
E_TOO_LONG = -5
E_DESCRIPTION_TOO_LONG = -6
E_BAD_GROUP_NAME = -7
E_AT_ROOT = -8
E_NO_STATUS = -9
E_BAD_ARGUMENT = -10
E_BAD_CONFIGURATION = -11
E_NETWORK = -12
E_OUT_OF_MEMORY = -13
E_WRONG_MODE = -14
E_QUEUE_FULL = -15
E_BAD_OPTION = -16
E_BUSY = -17
E_FAILED = -18

# The longest the library waits in one call, so that signals (Ctrl-C) are handled between calls.
_SLICE_MS = 250


class Error(Exception):
    """A failed call: code is negative (E_*), reason says why in words."""

    def __init__(self, code, reason):
        super().__init__(reason)
        self.code = code
        self.reason = reason


def _text(raw):
    return raw.decode("utf-8", "replace") if raw else ""


def _bytes(text):
    return text.encode("utf-8") if isinstance(text, str) else bytes(text)


def _check(code):
    if code < 0:
        raise Error(code, _text(_lib.velp2p_strerror(code)))
    return code


def _failure():
    code = _lib.velp2p_last_error()
    return Error(code, _text(_lib.velp2p_strerror(code)))


class Event:
    """What a node heard. kind is one of started, closing, group, subgroup, born, left, joined, parted,
    status, message, session, found, send_failed, dropped, diagnostic; the other attributes are those the
    kind uses (docs/API.md lists them), empty otherwise. data is bytes."""

    __slots__ = ("kind", "peer", "status", "text", "type", "header", "data")

    def __init__(self, kind, peer="", status=0, text="", type=0, header="", data=b""):
        self.kind = kind
        self.peer = peer
        self.status = status
        self.text = text
        self.type = type
        self.header = header
        self.data = data

    @classmethod
    def _take(cls, handle):
        """Copies the C event, then destroys it."""
        size = ctypes.c_size_t()
        data = _lib.velp2p_event_data(handle, ctypes.byref(size))
        event = cls(_lib.velp2p_event_kind(handle).decode(), _text(_lib.velp2p_event_peer(handle)),
                    _lib.velp2p_event_status(handle), _text(_lib.velp2p_event_text(handle)),
                    _lib.velp2p_event_type(handle), _text(_lib.velp2p_event_header(handle)),
                    ctypes.string_at(data, size.value) if data else b"")
        _lib.velp2p_event_destroy(ctypes.byref(ctypes.c_void_p(handle)))
        return event

    def __repr__(self):
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__[1:]
                           if getattr(self, name))
        return f"Event({self.kind!r}{', ' if fields else ''}{fields})"


class Node:
    """One peer. login, mode ("collaboration" or "standard") and config (an endpoint configuration file)
    are options of velp2p_node_set, as are the keyword options: endpoints (the configuration's text),
    liveness (seconds), announce ("0" or "1"), diagnostics ("off", "stderr", "stdout", "events"), queue
    (events), linger (ms). Options left out take the environment's values (VELP2PLogin, VELP2PConfig,
    VELP2PLiveness, VELP2PAnnounce)."""

    def __init__(self, login=None, mode="collaboration", config=None, **options):
        self._handle = _lib.velp2p_node_new()
        if not self._handle:
            raise _failure()
        try:
            settings = {"login": login, "mode": mode, "config": config, **options}
            for option, value in settings.items():
                if value is not None:
                    _check(_lib.velp2p_node_set(self._handle, _bytes(option), _bytes(str(value))))
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        if not self.name:
            self.start()
        return self

    def __exit__(self, *exception):
        self.close()

    def __del__(self):
        self.close()

    def _node(self):
        if not self._handle:
            raise Error(E_NOT_CONNECTED, "the node is closed")
        return self._handle

    def start(self):
        """Joins the network; options that cannot be used fail here with their reason."""
        _check(_lib.velp2p_node_start(self._node()))
        return self

    def close(self):
        """Leaves the network (letting queued messages leave for the linger time); idempotent."""
        # At the interpreter's exit the module's names may be gone before the node is collected.
        if getattr(self, "_handle", None) and ctypes and _lib:
            handle = ctypes.c_void_p(self._handle)
            self._handle = None
            _lib.velp2p_node_destroy(ctypes.byref(handle))

    @property
    def name(self):
        """The peer's name, "" before the start."""
        return _text(_lib.velp2p_node_name(self._node()))

    @property
    def dropped(self):
        """Events dropped so far because the queue was full."""
        return _lib.velp2p_node_dropped(self._node())

    def recv(self, timeout=None):
        """The next Event, running the node until one comes; None when timeout seconds pass first (None:
        no limit, 0: only looks)."""
        node = self._node()
        if timeout is None:
            while True:
                handle = _lib.velp2p_node_recv(node, _SLICE_MS)
                if handle:
                    return Event._take(handle)
                if _lib.velp2p_last_error():
                    raise _failure()
        left = max(0, math.ceil(timeout * 1000))
        while True:
            wait = min(left, _SLICE_MS)
            handle = _lib.velp2p_node_recv(node, wait)
            if handle:
                return Event._take(handle)
            if _lib.velp2p_last_error():
                raise _failure()
            left -= wait
            if left <= 0:
                return None

    def fileno(self):
        """A descriptor that is readable while events are queued or the node has work (never read it)."""
        return _check(_lib.velp2p_node_fd(self._node()))

    def timeout(self):
        """Seconds to wait at most before process(), None when nothing is due."""
        milliseconds = _lib.velp2p_node_timeout_ms(self._node())
        return None if milliseconds == -1 else _check(milliseconds) / 1000

    def process(self):
        """Does the ready work without waiting; returns the number of events queued."""
        return _check(_lib.velp2p_node_process(self._node()))

    def send(self, peer, type, header, data):
        """Queues a message (data: bytes, or str as UTF-8; type 0 to 255) to a peer announced alive."""
        payload = _bytes(data)
        _check(_lib.velp2p_node_send(self._node(), _bytes(peer), type, _bytes(header or ""), payload,
                                     len(payload)))

    def set_status(self, status, text=""):
        """Publishes the local status (a number) and its description."""
        _check(_lib.velp2p_node_set_status(self._node(), status, _bytes(text)))

    def peer_status(self, peer):
        """(status, description) last heard from peer."""
        status = ctypes.c_int32()
        text = ctypes.c_void_p()
        _check(_lib.velp2p_node_peer_status(self._node(), _bytes(peer), ctypes.byref(status),
                                            ctypes.byref(text)))
        description = _text(ctypes.string_at(text.value)) if text.value else ""
        _lib.velp2p_str_free(ctypes.byref(text))
        return status.value, description

    def open_session(self, peer, type):
        _check(_lib.velp2p_node_open_session(self._node(), _bytes(peer), type))

    def close_session(self, peer, type):
        _check(_lib.velp2p_node_close_session(self._node(), _bytes(peer), type))

    def peers(self):
        """The peers known: announced alive (collaboration mode), or of the current group (standard)."""
        return self._texts(_lib.velp2p_node_peers(self._node()))

    def join(self, group):
        _check(_lib.velp2p_node_join(self._node(), _bytes(group)))

    def leave(self):
        _check(_lib.velp2p_node_leave(self._node()))

    def search(self):
        _check(_lib.velp2p_node_search(self._node()))

    @property
    def group(self):
        pointer = _lib.velp2p_node_group(self._node())
        if not pointer:
            raise _failure()
        group = _text(ctypes.string_at(pointer))
        _lib.velp2p_str_free(ctypes.byref(ctypes.c_void_p(pointer)))
        return group

    def subgroups(self):
        return self._texts(_lib.velp2p_node_subgroups(self._node()))

    @staticmethod
    def _texts(strv):
        if not strv:
            raise _failure()
        texts = []
        while strv[len(texts)] is not None:
            texts.append(_text(strv[len(texts)]))
        _lib.velp2p_strv_free(ctypes.byref(strv))
        return texts
