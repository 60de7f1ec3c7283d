// What a flood of large blocks that never finish does to one velp2p console: resident memory at its peak and
// after the flood, and how long a console command takes meanwhile.
#ifndef VELP2P_BENCH_VELBENCHFLOOD_H
#define VELP2P_BENCH_VELBENCHFLOOD_H

#include <string>

#include "VELBenchProcess.h"

// Starts console (a velp2p executable) in JSON mode, opens connections to its TCP endpoint, each declaring a
// block of declared bytes and sending all but its last 16, for floodMs, then closes them. Meanwhile it times
// GetStatus commands on the console's input. Returns base_kb (resident before), peak_kb (VmHWM), after_kb
// (resident 5 s after the close), sent_mb, commands, p50_ms, p99_ms and max_ms of the command round trips,
// and alive (1 when the console still answered after the close); empty when the console did not start.
VELBenchResult BenchReceiveFlood(const std::string& console, int connections, int declared, int floodMs);

#endif
