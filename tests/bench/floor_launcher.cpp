// The least launcher: starts the interpreter beside it and waits, nothing
// else: no runtime library, no paths worked out, no messages. It is what
// Harbor-Lantern's overhead is measured against. Started in the bundle
// folder, so the relative path names the bundled interpreter.
#include <windows.h>

extern "C" [[noreturn]] void floor_start() {
    wchar_t command_line[] = L"\"python\\python.exe\" firstrun.py";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    DWORD code = 1;
    if (CreateProcessW(L"python\\python.exe", command_line, nullptr, nullptr, TRUE, 0,
                       nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
    }
    ExitProcess(code);
}
