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

OutputStream* platform_stderr() {
    return reinterpret_cast<OutputStream*>(stderr);
}

// msvcrt leaves stderr unbuffered only when it is a console; redirected to
// a pipe or a file it holds the text back until exit. The flush makes every
// message complete before a pause begins, wherever stderr goes.
void platform_write(OutputStream* stream, const char* bytes, size_t count) {
    FILE* file = reinterpret_cast<FILE*>(stream);
    fwrite(bytes, count, 1, file);
    fflush(file);
}

void platform_write_number(OutputStream* stream, const char* format,
                           uint32_t value) {
    FILE* file = reinterpret_cast<FILE*>(stream);
    fprintf(file, format, static_cast<unsigned long>(value));
    fflush(file);
}

platform_handle platform_stdin() { return GetStdHandle(STD_INPUT_HANDLE); }

bool platform_is_console(platform_handle input) {
    DWORD mode;
    return GetConsoleMode(input, &mode) != 0;
}

void platform_read_char() { getchar(); }
