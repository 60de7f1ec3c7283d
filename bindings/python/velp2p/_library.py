"""Loading libvelp2p and declaring the functions of its C interface (velp2p/velp2p.h) to ctypes."""

import ctypes
import ctypes.util
import os

_c_char_pp = ctypes.POINTER(ctypes.c_char_p)
_node = ctypes.c_void_p  # velp2p_node_t *
_event = ctypes.c_void_p  # velp2p_event_t *

# name: (result type, argument types)
_PROTOTYPES = {
    "velp2p_node_new": (_node, []),
    "velp2p_node_set": (ctypes.c_int, [_node, ctypes.c_char_p, ctypes.c_char_p]),
    "velp2p_node_start": (ctypes.c_int, [_node]),
    "velp2p_node_destroy": (None, [ctypes.POINTER(_node)]),
    "velp2p_node_name": (ctypes.c_char_p, [_node]),
    "velp2p_node_fd": (ctypes.c_int, [_node]),
    "velp2p_node_timeout_ms": (ctypes.c_int, [_node]),
    "velp2p_node_process": (ctypes.c_int, [_node]),
    "velp2p_node_recv": (_event, [_node, ctypes.c_int]),
    "velp2p_node_dropped": (ctypes.c_uint64, [_node]),
    "velp2p_node_send": (ctypes.c_int, [_node, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                        ctypes.c_char_p, ctypes.c_size_t]),
    "velp2p_node_set_status": (ctypes.c_int, [_node, ctypes.c_int32, ctypes.c_char_p]),
    "velp2p_node_peer_status": (ctypes.c_int, [_node, ctypes.c_char_p, ctypes.POINTER(ctypes.c_int32),
                                               ctypes.POINTER(ctypes.c_void_p)]),
    "velp2p_node_open_session": (ctypes.c_int, [_node, ctypes.c_char_p, ctypes.c_int32]),
    "velp2p_node_close_session": (ctypes.c_int, [_node, ctypes.c_char_p, ctypes.c_int32]),
    "velp2p_node_peers": (_c_char_pp, [_node]),
    "velp2p_node_join": (ctypes.c_int, [_node, ctypes.c_char_p]),
    "velp2p_node_leave": (ctypes.c_int, [_node]),
    "velp2p_node_search": (ctypes.c_int, [_node]),
    "velp2p_node_group": (ctypes.c_void_p, [_node]),
    "velp2p_node_subgroups": (_c_char_pp, [_node]),
    "velp2p_strv_free": (None, [ctypes.POINTER(_c_char_pp)]),
    "velp2p_str_free": (None, [ctypes.POINTER(ctypes.c_void_p)]),
    "velp2p_event_kind": (ctypes.c_char_p, [_event]),
    "velp2p_event_peer": (ctypes.c_char_p, [_event]),
    "velp2p_event_text": (ctypes.c_char_p, [_event]),
    "velp2p_event_header": (ctypes.c_char_p, [_event]),
    "velp2p_event_status": (ctypes.c_int32, [_event]),
    "velp2p_event_type": (ctypes.c_int, [_event]),
    "velp2p_event_data": (ctypes.c_void_p, [_event, ctypes.POINTER(ctypes.c_size_t)]),
    "velp2p_event_destroy": (None, [ctypes.POINTER(_event)]),
    "velp2p_last_error": (ctypes.c_int, []),
    "velp2p_strerror": (ctypes.c_char_p, [ctypes.c_int]),
    "velp2p_version": (ctypes.c_char_p, []),
}


def _open():
    """The library named by VELP2P_LIBRARY (a path), else the one the dynamic loader finds."""
    path = os.environ.get("VELP2P_LIBRARY")
    if path:
        return ctypes.CDLL(path)
    tried = ["libvelp2p.so.0"]
    found = ctypes.util.find_library("velp2p")
    if found:
        tried.append(found)
    for name in tried:
        try:
            return ctypes.CDLL(name)
        except OSError:
            pass
    raise ImportError("cannot load libvelp2p.so.0: install velp2p where the dynamic loader finds it "
                      "(or add its directory to LD_LIBRARY_PATH), or set VELP2P_LIBRARY to its path")


def load():
    library = _open()
    for name, (result, arguments) in _PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library
