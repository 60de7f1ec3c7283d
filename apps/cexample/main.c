/* velp2p-c-example: a peer written in C on velp2p/velp2p.h, driven by its own poll() loop.
 *
 *   velp2p-c-example LOGIN PEER [CONFIG]
 *
 * Joins as LOGIN_KVZ (with the endpoint configuration file CONFIG, or the environment's), waits for PEER to
 * be online, tells it a status and a message, then prints what PEER says until it has heard a message from
 * it and a status it set (any but 6, the status of a peer that set none). Exits 0 then, 1 when that takes
 * more than 20 seconds or the node fails. */
#define _POSIX_C_SOURCE 200809L /* poll and clock_gettime beside strict C11 */

#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "velp2p/velp2p.h"

static double now_seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static int fail(const char* what, int code) {
  fprintf(stderr, "velp2p-c-example: %s: %s\n", what, velp2p_strerror(code));
  return 1;
}

/* Prints one event; tells whether it was the status or the message awaited from peer. */
static void show(const velp2p_event_t* event, const char* peer, int* heard_status, int* heard_message) {
  const char* kind = velp2p_event_kind(event);
  const char* from = velp2p_event_peer(event);
  if (strcmp(kind, "born") == 0 || strcmp(kind, "left") == 0) {
    printf("%s %s\n", kind, from);
  } else if (strcmp(kind, "status") == 0) {
    printf("status %s %d \"%s\"\n", from, (int)velp2p_event_status(event), velp2p_event_text(event));
    *heard_status |= strcmp(from, peer) == 0 && velp2p_event_status(event) != 6;
  } else if (strcmp(kind, "message") == 0) {
    size_t size = 0;
    const char* data = velp2p_event_data(event, &size);
    printf("message %s %d %s \"%.*s\"\n", from, velp2p_event_type(event), velp2p_event_header(event),
           (int)size, data);
    *heard_message |= strcmp(from, peer) == 0;
  } else if (strcmp(kind, "send_failed") == 0 || strcmp(kind, "dropped") == 0) {
    printf("%s %s %s\n", kind, from, velp2p_event_text(event));
  }
  fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: velp2p-c-example LOGIN PEER [CONFIG]\n");
    return 2;
  }
  const char* peer = argv[2];
  velp2p_node_t* node = velp2p_node_new();
  if (!node)
    return fail("cannot make a node", velp2p_last_error());
  int code = velp2p_node_set(node, "login", argv[1]);
  if (code == VELP2P_OK && argc == 4)
    code = velp2p_node_set(node, "config", argv[3]);
  if (code == VELP2P_OK)
    code = velp2p_node_start(node);
  if (code != VELP2P_OK) {
    velp2p_node_destroy(&node);
    return fail("cannot start", code);
  }
  printf("started as %s\n", velp2p_node_name(node));
  fflush(stdout);

  int told = 0, heard_status = 0, heard_message = 0, failed = 0;
  const double deadline = now_seconds() + 20;
  while (!(heard_status && heard_message) && !failed && now_seconds() < deadline) {
    /* The application's own loop: wait on the node's descriptor, no longer than it asks. */
    struct pollfd ready = {velp2p_node_fd(node), POLLIN, 0};
    int wait = velp2p_node_timeout_ms(node);
    if (wait < 0 || wait > 100)
      wait = 100;
    poll(&ready, 1, wait);
    if (velp2p_node_process(node) < 0)
      failed = fail("the node failed", velp2p_last_error());
    velp2p_event_t* event;
    while ((event = velp2p_node_recv(node, 0)) != NULL) {
      show(event, peer, &heard_status, &heard_message);
      if (!told && strcmp(velp2p_event_kind(event), "born") == 0 &&
          strcmp(velp2p_event_peer(event), peer) == 0) {
        static const char greeting[] = "hello from C";
        if ((code = velp2p_node_set_status(node, 3, "writing C")) != VELP2P_OK ||
            (code = velp2p_node_send(node, peer, 7, "greeting", greeting, strlen(greeting))) != VELP2P_OK)
          failed = fail("cannot tell the peer", code);
        told = 1;
        printf("told %s\n", peer);
        fflush(stdout);
      }
      velp2p_event_destroy(&event);
    }
  }
  const int done = heard_status && heard_message;
  printf("%s\n", done ? "done" : "gave up");
  velp2p_node_destroy(&node);
  return done ? 0 : 1;
}
