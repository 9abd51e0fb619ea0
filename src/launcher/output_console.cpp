// Messages and the pause of the console launcher: standard error, and one
// character from standard input when that is a console.
// stdio.h before any other header: once a C++ header has been seen, MinGW
// maps printf-family calls to its own, much larger implementation instead
// of msvcrt's.
#include <stdio.h>
#include <windows.h>

#include "platform.h"

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
