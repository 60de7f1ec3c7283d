// Point to point through the other faces of the library: peers on the C interface (velp2p/velp2p.h), and
// a receiver in Python on the velp2p package, fed by a C++ sender. Same messages, same figures as
// BenchPointToPoint, so that each compares with the C++ interface measured in the same run.
#ifndef VELP2P_BENCH_VELBENCHFACES_H
#define VELP2P_BENCH_VELBENCHFACES_H

#include "VELBenchProcess.h"

// A sender and a receiver, both C nodes.
VELBenchResult BenchPointToPointC(int count, int bytes);
// A C++ sender and a Python receiver (bench/e2e/python_receiver.py); empty when Python cannot run it.
VELBenchResult BenchPointToPointPython(int count, int bytes);

#endif
