/* velp2p's C interface: a node is one peer on the local network, and everything it hears is pulled as
 * events from a bounded queue. It compiles as C11 and as C++; every handle is opaque, every function says
 * who owns what it takes and gives, no callback crosses the interface, and nothing is valid "only during a
 * callback": an event belongs to whoever received it until it is destroyed.
 *
 * Results: 0 (or a count) for success, a negative VELP2P_E_* code for failure; a failed call never
 * reports success. velp2p_strerror() gives the text of a code, with the details of the calling thread's
 * last failure when the code is that one's. Functions that return a pointer return NULL on failure and
 * leave the code in velp2p_last_error().
 *
 * Threads: a node and its events belong to one thread at a time, the one that calls it; the last failure
 * is kept per thread. A node runs on a loop of its own (or on the process's main VELApplication when a C++
 * part of the program made one first): velp2p_node_recv() runs it while it waits, or an application's own
 * loop watches velp2p_node_fd(), waits at most velp2p_node_timeout_ms() and calls velp2p_node_process().
 *
 * A process may hold many nodes, started together: each is a peer of its own, and they hear one another as
 * peers of other processes do. Nodes on loops of their own share nothing and may run on different
 * threads. */
#ifndef VELP2P_VELP2P_H
#define VELP2P_VELP2P_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VELP2P_C_API __attribute__((visibility("default")))
#else
#define VELP2P_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct velp2p_node_t velp2p_node_t;
typedef struct velp2p_event_t velp2p_event_t;

/* Failure codes: the negated reason numbers of velp2p/VELLastError.h. Stable: new codes are added, none is
 * ever renumbered. */
#define VELP2P_OK 0
#define VELP2P_E_NOT_CONNECTED (-1)        /* the node is not started, or left the network */
#define VELP2P_E_ALREADY_STARTED (-2)      /* the node is started already */
#define VELP2P_E_UNKNOWN_PEER (-3)         /* no peer of that name is known */
#define VELP2P_E_EMPTY_DATA (-4)           /* no data, or a size of zero */
#define VELP2P_E_TOO_LONG (-5)             /* the data would not fit a message */
#define VELP2P_E_DESCRIPTION_TOO_LONG (-6) /* a status text that cannot fit one datagram */
#define VELP2P_E_BAD_GROUP_NAME (-7)       /* empty, or holding "/" */
#define VELP2P_E_AT_ROOT (-8)              /* the root group has no parent */
#define VELP2P_E_NO_STATUS (-9)            /* no status is known for that peer */
#define VELP2P_E_BAD_ARGUMENT (-10)        /* a null or out-of-range argument */
#define VELP2P_E_BAD_CONFIGURATION (-11)   /* the endpoint configuration cannot be used */
#define VELP2P_E_NETWORK (-12)             /* a socket could not be opened, or no route to the peer */
#define VELP2P_E_OUT_OF_MEMORY (-13)
#define VELP2P_E_WRONG_MODE (-14) /* the operation belongs to the other mode */
#define VELP2P_E_QUEUE_FULL (-15) /* the send queue is full: let the node run, then send again */
#define VELP2P_E_BAD_OPTION (-16) /* no such option, or a value it cannot take */
#define VELP2P_E_BUSY (-17)       /* no longer returned: a process holds as many nodes as it likes */
#define VELP2P_E_FAILED (-18)     /* a failure without a more precise reason */
#define VELP2P_E_NO_LOOP (-19)    /* no event loop to run on (not returned by the C interface) */

/* The event queue holds at most this many events by default (option "queue"), and at most
 * VELP2P_QUEUE_BYTES bytes of message data. When an event does not fit, the oldest events are dropped to
 * make room, counted, and the next event received is a "dropped" event whose status is how many were
 * dropped since the last one: nothing is lost without a word. */
#define VELP2P_QUEUE_DEFAULT 4096
#define VELP2P_QUEUE_BYTES (64 * 1024 * 1024)

/* ---- Nodes ---- */

/* A new node, not started. The caller owns it and ends it with velp2p_node_destroy. NULL when memory is
 * short. */
VELP2P_C_API velp2p_node_t* velp2p_node_new(void);

/* Sets an option before the start; value is copied (neither pointer is kept). Options not set take the
 * environment's values, as the C++ API does (VELP2PLogin, VELP2PConfig, VELP2PLiveness, VELP2PAnnounce):
 *   login       the peer's name: in collaboration mode it becomes LOGIN_KVZ, in standard mode it replaces
 *               the account's login in LOGIN_ON_HOST#PID
 *   mode        "collaboration" (the default: presence, status, messages, sessions) or "standard" (groups)
 *   config      the path of an endpoint configuration file (one CLASS|ADDRESS|PORT per line)
 *   endpoints   the configuration's text itself; "" for the default endpoints (replaces "config")
 *   liveness    seconds of silence before a peer is checked, 0 to 3600 (0: off; default 10)
 *   announce    "1" (the default): the node announces itself again after its birth, periodically; "0": not
 *   diagnostics "off" (the default), "stderr", "stdout", or "events" (each line a "diagnostic" event)
 *   queue       the most events the queue holds, 1 to 1000000 (default VELP2P_QUEUE_DEFAULT)
 *   linger      milliseconds velp2p_node_destroy lets queued messages leave, 0 to 60000 (default 1000)
 * VELP2P_E_BAD_OPTION for an unknown option or a value it cannot take; VELP2P_E_ALREADY_STARTED after
 * the start. The configuration's content is checked at the start. */
VELP2P_C_API int velp2p_node_set(velp2p_node_t* node, const char* option, const char* value);

/* Joins the network. A start that cannot use its options fails with the reason, before anything is opened:
 * a configuration file that cannot be read, a line that is not CLASS|ADDRESS|PORT, a port that is not a
 * number from 0 to 65535, a bad liveness value... (VELP2P_E_BAD_CONFIGURATION, VELP2P_E_BAD_OPTION).
 * Also VELP2P_E_NETWORK (a socket that cannot be opened), VELP2P_E_ALREADY_STARTED. The first events
 * ("group", "started") are queued before it returns. */
VELP2P_C_API int velp2p_node_start(velp2p_node_t* node);

/* Leaves the network (the other peers hear it leave), lets queued messages leave for at most the linger
 * time, frees the node with its queued events, and sets *node_p to NULL. Events received earlier stay
 * valid. NULL or *node_p NULL: nothing. */
VELP2P_C_API void velp2p_node_destroy(velp2p_node_t** node_p);

/* The peer's name (UTF-8), "" before the start. Owned by the node; valid until it is destroyed or started
 * again. */
VELP2P_C_API const char* velp2p_node_name(velp2p_node_t* node);

/* For an application's own loop: a descriptor that is readable while events are queued or the node has
 * work; watch it for reading (select, poll, epoll, asyncio's add_reader), never read or close it. Owned
 * by the node. -1 on failure. */
VELP2P_C_API int velp2p_node_fd(velp2p_node_t* node);
/* Milliseconds to wait at most before calling velp2p_node_process: 0 while events are queued, -1 when
 * nothing is due (poll's "no limit", not a failure; a NULL node gives VELP2P_E_BAD_ARGUMENT). */
VELP2P_C_API int velp2p_node_timeout_ms(velp2p_node_t* node);
/* Does the node's ready work without waiting; returns the number of events queued. */
VELP2P_C_API int velp2p_node_process(velp2p_node_t* node);

/* The oldest queued event, running the node until one comes or timeout_ms passes (0: only looks; -1: no
 * limit). The caller owns it (velp2p_event_destroy). NULL on time-out, with velp2p_last_error() 0, or on
 * failure (VELP2P_E_NOT_CONNECTED once the node left the network and its queue is empty). */
VELP2P_C_API velp2p_event_t* velp2p_node_recv(velp2p_node_t* node, int timeout_ms);

/* How many events were dropped because the queue was full, since the node was made. */
VELP2P_C_API uint64_t velp2p_node_dropped(velp2p_node_t* node);

/* Sends size bytes (at least 1) of data with a type (0 to 255) and a header text (NULL: "") to a peer
 * announced alive; nothing is kept. Success means queued, not delivered: a message that cannot be
 * delivered later comes back as a "send_failed" event. */
VELP2P_C_API int velp2p_node_send(velp2p_node_t* node, const char* peer, int type, const char* header,
                                  const void* data, size_t size);

/* Publishes the local status (a number whose meaning is the application's) and its description (UTF-8,
 * at most 926 bytes; NULL: ""). Every node, this one included, hears it as a "status" event. */
VELP2P_C_API int velp2p_node_set_status(velp2p_node_t* node, int32_t status, const char* text);

/* The status last heard from a peer. *text receives a copy the caller frees with velp2p_str_free; text may
 * be NULL. VELP2P_E_NO_STATUS when none was heard. */
VELP2P_C_API int velp2p_node_peer_status(velp2p_node_t* node, const char* peer, int32_t* status, char** text);

/* Tells a peer that a session of the application's type opened or closed; both sides get a "session"
 * event. */
VELP2P_C_API int velp2p_node_open_session(velp2p_node_t* node, const char* peer, int32_t type);
VELP2P_C_API int velp2p_node_close_session(velp2p_node_t* node, const char* peer, int32_t type);

/* The peers known: in collaboration mode those announced alive (the local one included), in standard mode
 * those of the current group. A NULL-terminated array the caller frees with velp2p_strv_free; NULL on
 * failure. */
VELP2P_C_API char** velp2p_node_peers(velp2p_node_t* node);

/* Groups (standard mode). join moves one level down to CURRENT/name, leave one level up; search asks every
 * group, and each answer is a "found" event. group gives the current group, a copy the caller frees with
 * velp2p_str_free; subgroups the known sub-groups, freed with velp2p_strv_free. */
VELP2P_C_API int velp2p_node_join(velp2p_node_t* node, const char* name);
VELP2P_C_API int velp2p_node_leave(velp2p_node_t* node);
VELP2P_C_API int velp2p_node_search(velp2p_node_t* node);
VELP2P_C_API char* velp2p_node_group(velp2p_node_t* node);
VELP2P_C_API char** velp2p_node_subgroups(velp2p_node_t* node);

/* Frees what the functions above gave and sets the caller's pointer to NULL; NULL: nothing. */
VELP2P_C_API void velp2p_strv_free(char*** strv_p);
VELP2P_C_API void velp2p_str_free(char** text_p);

/* ---- Events ---- */

/* What happened, a static text (never NULL):
 *   started, closing  the node joined the network, or is leaving it (peer: the local name; text for
 *                     closing: "" when the application asked, "name in use" when another peer holds the
 *                     name)
 *   group             the current group changed (text: the group)
 *   subgroup          a new sub-group of the current group became known (text: the current group)
 *   born, left        a peer announced itself alive, or left (text for left: "" when it said so,
 *                     "expired" when it went silent, "restarted" when it came back from elsewhere)
 *   joined, parted    a peer entered or left the current group (standard mode)
 *   status            a status was heard, the local one included (status, text: its description)
 *   message           a message arrived (type, header, data)
 *   session           a session opened or closed (type: the session type; text: "opened" or "closed")
 *   found             a peer answered a search (text: its group)
 *   send_failed       a queued message was not delivered (peer, may be ""; text: "timed out", "refused",
 *                     "reset" or "unreachable"; header: the address, "a.b.c.d:port")
 *   dropped           events were dropped, the queue being full (status: how many)
 *   diagnostic        a diagnostic line, with the option diagnostics=events (text) */
VELP2P_C_API const char* velp2p_event_kind(const velp2p_event_t* event);
/* Texts owned by the event, "" when the kind has none, valid until it is destroyed. */
VELP2P_C_API const char* velp2p_event_peer(const velp2p_event_t* event);
VELP2P_C_API const char* velp2p_event_text(const velp2p_event_t* event);
VELP2P_C_API const char* velp2p_event_header(const velp2p_event_t* event);
VELP2P_C_API int32_t velp2p_event_status(const velp2p_event_t* event);
VELP2P_C_API int velp2p_event_type(const velp2p_event_t* event);
/* The message's bytes, owned by the event; *size (when size is not NULL) receives their count. NULL and 0
 * for events without data. */
VELP2P_C_API const void* velp2p_event_data(const velp2p_event_t* event, size_t* size);
/* Frees the event and sets *event_p to NULL; NULL or *event_p NULL: nothing. */
VELP2P_C_API void velp2p_event_destroy(velp2p_event_t** event_p);

/* ---- Errors and version ---- */

/* The code of the calling thread's last failure, 0 when there was none: each velp2p_node_* call starts
 * by setting it to 0, so after one it tells whether that call failed. */
VELP2P_C_API int velp2p_last_error(void);
/* The text of a code (never NULL). For the code of the thread's last failure, the text with its details
 * ("bad configuration: /etc/p2p.cfg:3: the port 2678O is not a number from 0 to 65535"), valid until the
 * thread's next call. */
VELP2P_C_API const char* velp2p_strerror(int code);
/* The library's version, "MAJOR.MINOR.PATCH". */
VELP2P_C_API const char* velp2p_version(void);

#ifdef __cplusplus
}
#endif

#endif
