#include "NoCoreDumps.h"

#include <sys/prctl.h>
#include <sys/resource.h>

void disableCoreDumps()
{
    const struct rlimit none = {0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    // Also covers a core pattern that pipes to a program, which ignores the limit, and
    // keeps other processes of the user from reading our memory through ptrace.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}
