// The process-wide fault guard.
//
// While installed: SIGPIPE is ignored (a peer that closes its socket while we write must not end the process;
// writes fail with EPIPE instead), and a hardware fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) on a thread that
// runs its work under a recovery point (network, worker and task threads, see util/recovery_point.h) abandons
// that unit of work and returns the thread to its loop. Each recovered fault or escaped exception gets one
// log line, type "sys/fault", written on the recovered thread, which then waits until the log's buffered
// lines, that one included, are in the file. A fault anywhere else, or a second fault while recovering, ends
// the process with the signal's default action (a core dump where enabled).
#pragma once

#include <cstdint>

namespace kestrum {

void installFaultGuard();
void removeFaultGuard();

// Faults and exceptions recovered since start-up.
uint64_t recoveredFaults();

}  // namespace kestrum
