// What the machine does with plain sockets and memory in the same run: the yardsticks of the velp2p figures.
#ifndef VELP2P_BENCH_VELBENCHBASELINES_H
#define VELP2P_BENCH_VELBENCHBASELINES_H

#include <netinet/in.h>

#include "VELBenchNet.h"
#include "VELBenchProcess.h"

// rate: messages/s at the receiver, one TCP connection per message of the given size, from side 1 of net
// to side 0 (both on loopback by default).
VELBenchResult BaselineConnectionPerMessage(int count, int bytes, const VELBenchNet& net = VELBenchNet());
// rate (messages/s) and mbps at the receiver: count blocks of the given size, each led by its four-byte
// length, written one write call each, back to back on one connection with no-delay set, from side 1 to side
// 0.
VELBenchResult BaselinePersistent(int count, int bytes, const VELBenchNet& net = VELBenchNet());
// p50_us, p99_us: round trips of 100 bytes on one connection with no-delay set, an echo answering each.
VELBenchResult BaselineRoundTrip(int rounds, const VELBenchNet& net = VELBenchNet());
// rate: datagrams/s heard by a member of a multicast group on lo; lost.
VELBenchResult BaselineMulticast(int count, int bytes);
// A UDP socket that sends to group:port (filled into to) through lo.
int OpenMulticastSender(const char* group, int port, sockaddr_in& to);
// mbps: memcpy of 1 MiB blocks.
VELBenchResult BaselineMemcpy();

#endif
