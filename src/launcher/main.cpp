#include "run.h"

// The runtime's arguments and environment are not used: the child's
// arguments come from the raw command line alone, so they reach it exactly
// as typed.
int wmain(int, wchar_t**, wchar_t**) {
    return static_cast<int>(run_launcher());
}
