#include <stdlib.h>

#include "run.h"

// The runtime's arguments and environment are not used: the child's
// arguments come from the raw command line alone, so they reach it exactly
// as typed.
int wmain(int, wchar_t**, wchar_t**) {
    return static_cast<int>(run_launcher());
}

// The process entry. msvcrt.dll sets up its heap and its streams when it is
// loaded, so all that is left for an executable's startup is to fetch the
// wide arguments from it and pass wmain's result to exit. MinGW's generic
// startup would also bring pseudo-relocation, TLS and floating-point setup
// that this program never uses, and more than double its size. No C++ static
// constructor runs from here: the launcher has none and must not gain one.
extern "C" {
struct startup_info {
    int new_mode;
};
int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                           int expand_wildcards, startup_info* info);
void __cdecl __set_app_type(int type);

[[noreturn]] void __cdecl launcher_process_start() {
#ifdef HL_WINDOWED
    constexpr int app_type = 2;  // a GUI program: runtime errors in a box
#else
    constexpr int app_type = 1;  // runtime errors go to stderr, not a box
#endif
    __set_app_type(app_type);
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    startup_info info{0};
    __wgetmainargs(&argc, &argv, &env, 0, &info);
    exit(wmain(argc, argv, env));
}
}
