// The process-wide fault guard: a last-chance handler for faults nothing else handles.
#pragma once

namespace kestrum {

void installFaultGuard();
void removeFaultGuard();

}  // namespace kestrum
