// Keeps socket tests inside a private network namespace, where nothing they send can leave the machine.
#ifndef VELP2P_TESTS_SUPPORT_NETSANDBOX_H
#define VELP2P_TESTS_SUPPORT_NETSANDBOX_H

#include <gtest/gtest.h>

// True only when the process's network namespace has no interface but the loopback one.
bool VELTestInPrivateNetwork();

// A port for one test: derived from the process id so that test runs in parallel rarely meet, and from
// the offset so that the tests of one run never do (offsets 0 to 99).
unsigned short VELTestPort(int offset);

// First statement of every test that opens a socket.
#define VELP2P_REQUIRE_SANDBOX()                                                       \
  do {                                                                                 \
    if (!VELTestInPrivateNetwork()) {                                                  \
      GTEST_SKIP() << "socket tests need a private network namespace; run ./run test"; \
    }                                                                                  \
  } while (0)

#endif
