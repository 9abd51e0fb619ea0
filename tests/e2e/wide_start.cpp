// The process entry of the Windows-side test programs where no C runtime
// startup can be linked: msvcrt.dll's own wide arguments, then wmain.
#include <stdlib.h>

int wmain(int argc, wchar_t** argv);

extern "C" {
struct startup_info {
    int new_mode;
};
int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                           int expand_wildcards, startup_info* info);

[[noreturn]] void __cdecl test_process_start() {
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    startup_info info{0};
    __wgetmainargs(&argc, &argv, &env, 0, &info);
    exit(wmain(argc, argv));
}
}
