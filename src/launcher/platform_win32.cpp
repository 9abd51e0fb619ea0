// The one place that talks to Win32 and the C runtime. W entry points only:
// an ANSI call would push paths and arguments through the code page, where
// best-fit mapping can turn foreign characters into quotes or slashes.
// stdio.h before any other header: once a C++ header has been seen, MinGW
// maps printf-family calls to its own, much larger implementation instead
// of msvcrt's.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "platform.h"

static_assert(sizeof(STARTUPINFOW) == 104, "the startup record of x86-64");

uint32_t platform_module_path(text_unit* buffer, uint32_t capacity) {
    return GetModuleFileNameW(nullptr, buffer, capacity);
}

bool platform_exists(const text_unit* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

void platform_set_environment(const text_unit* variable, const text_unit* value) {
    SetEnvironmentVariableW(variable, value);
}

const text_unit* platform_command_line() { return GetCommandLineW(); }

void* platform_allocate(size_t bytes) { return malloc(bytes); }

bool platform_start(text_unit* command_line, const text_unit* working_dir,
                    ChildProcess& child) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    // The executable comes from the first, quoted token of the command line.
    if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, TRUE, 0,
                        nullptr, working_dir, &startup, &process)) {
        return false;
    }
    child.process = process.hProcess;
    child.thread = process.hThread;
    return true;
}

uint32_t platform_last_error() { return GetLastError(); }

void platform_wait(platform_handle process) {
    WaitForSingleObject(process, INFINITE);
}

void platform_exit_code(platform_handle process, uint32_t& exit_code) {
    DWORD code = exit_code;
    GetExitCodeProcess(process, &code);
    exit_code = code;
}

void platform_close(platform_handle handle) { CloseHandle(handle); }
