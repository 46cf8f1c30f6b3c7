# Sourced by the benchmark scripts: what a process has used so far, read from /proc.

# CPU time in clock ticks (user + system).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Context switches, voluntary and forced, of all its threads.
ctx_switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'; }
