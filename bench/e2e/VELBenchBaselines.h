// What the machine does with plain sockets and memory in the same run: the yardsticks of the velp2p figures.
#ifndef VELP2P_BENCH_VELBENCHBASELINES_H
#define VELP2P_BENCH_VELBENCHBASELINES_H

#include <netinet/in.h>

#include "VELBenchProcess.h"

// rate: messages/s at the receiver, one loopback TCP connection per message of the given size.
VELBenchResult BaselineConnectionPerMessage(int count, int bytes);
// rate: datagrams/s heard by a member of a multicast group on lo; lost.
VELBenchResult BaselineMulticast(int count, int bytes);
// A UDP socket that sends to group:port (filled into to) through lo.
int OpenMulticastSender(const char* group, int port, sockaddr_in& to);
// mbps: memcpy of 1 MiB blocks.
VELBenchResult BaselineMemcpy();

#endif
