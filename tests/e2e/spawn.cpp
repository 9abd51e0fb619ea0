// A Windows-side parent for the end-to-end tests: Wine rebuilds a program's
// command line from Unix arguments, so exact command lines can only be given
// from here, and only here are all 32 bits of an exit code visible.
//
// spawn.exe REQUEST RESULT. REQUEST is UTF-16LE, fields ending in NUL:
// application, command line, working directory (empty: the parent's), then
// any number of NAME=VALUE (set) or NAME (removed) for the child's
// environment. RESULT receives "exit N" or "refused N" in ASCII.
//
// KERNEL32 only, with fixed buffers: it is built for every architecture the
// launcher is, some of which have no C or C++ runtime to link.
#include <windows.h>

namespace {

constexpr DWORD request_capacity = 1 << 20;  // code units
constexpr DWORD max_fields = 64;

wchar_t request[request_capacity];
wchar_t* fields[max_fields];

DWORD read_request(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD total = 0;
    DWORD got = 0;
    char* bytes = reinterpret_cast<char*>(request);
    const DWORD room = (request_capacity - 1) * sizeof(wchar_t);
    while (total < room && ReadFile(file, bytes + total, room - total, &got, nullptr) &&
           got > 0) {
        total += got;
    }
    CloseHandle(file);
    const DWORD units = total / sizeof(wchar_t);
    DWORD count = 0;
    DWORD start = 0;
    for (DWORD i = 0; i < units && count < max_fields; ++i) {
        if (request[i] == L'\0') {
            fields[count++] = request + start;
            start = i + 1;
        }
    }
    return count;
}

void write_result(const wchar_t* path, const char* word, DWORD number) {
    char text[32];
    DWORD length = 0;
    for (; word[length] != '\0'; ++length) {
        text[length] = word[length];
    }
    text[length++] = ' ';
    char digits[10];
    DWORD count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) {
        text[length++] = digits[--count];
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written;
    WriteFile(file, text, length, &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const DWORD count = argc == 3 ? read_request(argv[1]) : 0;
    if (count < 3) {
        const char usage[] = "spawn: usage: spawn.exe REQUEST RESULT\n";
        DWORD written;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), usage, sizeof usage - 1, &written,
                  nullptr);
        return 120;
    }
    for (DWORD i = 3; i < count; ++i) {
        wchar_t* equals = fields[i];
        while (*equals != L'\0' && *equals != L'=') {
            ++equals;
        }
        if (*equals == L'\0') {
            SetEnvironmentVariableW(fields[i], nullptr);
        } else {
            *equals = L'\0';
            SetEnvironmentVariableW(fields[i], equals + 1);
        }
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(fields[0][0] ? fields[0] : nullptr, fields[1], nullptr, nullptr,
                        TRUE, 0, nullptr, fields[2][0] ? fields[2] : nullptr, &startup,
                        &process)) {
        write_result(argv[2], "refused", GetLastError());
        return 121;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    write_result(argv[2], "exit", code);
    return 0;
}
