#pragma once

// The process holds backup passwords in memory: it must never leave them in a core dump.
// Call first thing in main(). Linux/POSIX; another system replaces this unit.
void disableCoreDumps();
