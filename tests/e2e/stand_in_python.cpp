// Stands in for python\python.exe: records what it was started with and
// exits with the code it is asked for (HL_EXIT_CODE, decimal, 32 bits).
// HL_RECORD names a file for the record, UTF-16LE fields ending in NUL;
// a variable's field starts with '=' when set and is "-" when absent.
// HL_HOLD_MS keeps it running that long, so that its parent can be looked
// at while it waits.
//
// KERNEL32 only, with fixed buffers: it is built for every architecture the
// launcher is, some of which have no C or C++ runtime to link.
#include <windows.h>

namespace {

constexpr DWORD largest = 32768;  // an environment value or command line

const wchar_t* const variables[] = {L"PYTHONHOME", L"PYTHONPATH", L"PYTHONUTF8",
                                    L"PYTHONNOUSERSITE", L"HL_UNRELATED"};

struct Text {
    wchar_t units[8 * largest];
    DWORD length;
};

Text record;
Text summary;
wchar_t value[largest];

void append(Text& text, const wchar_t* units, DWORD count) {
    for (DWORD i = 0; i < count && text.length < 8 * largest; ++i) {
        text.units[text.length++] = units[i];
    }
}

void append(Text& text, const wchar_t* units) {
    DWORD count = 0;
    while (units[count] != L'\0') {
        ++count;
    }
    append(text, units, count);
}

// Returns the value's length, or -1 when the variable is absent.
long variable(const wchar_t* name) {
    SetLastError(0);
    const DWORD got = GetEnvironmentVariableW(name, value, largest);
    if (got == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return -1;
    }
    value[got < largest ? got : 0] = L'\0';
    return static_cast<long>(got);
}

unsigned long long number(const wchar_t* digits) {
    unsigned long long result = 0;
    for (; *digits >= L'0' && *digits <= L'9'; ++digits) {
        result = result * 10 + static_cast<unsigned>(*digits - L'0');
    }
    return result;
}

void write_utf8(HANDLE out, const Text& text) {
    static char bytes[4 * 8 * largest];
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.units, static_cast<int>(text.length),
                                         bytes, sizeof bytes, nullptr, nullptr);
    DWORD written;
    WriteFile(out, bytes, static_cast<DWORD>(size), &written, nullptr);
}

}  // namespace

int wmain(int, wchar_t**) {
    const wchar_t nul = L'\0';
    const wchar_t* command_line = GetCommandLineW();
    static wchar_t cwd[largest];
    const DWORD cwd_length = GetCurrentDirectoryW(largest, cwd);

    append(record, command_line);
    append(record, &nul, 1);
    append(record, cwd, cwd_length);
    append(record, &nul, 1);
    append(summary, L"stand-in python.exe received:\n  command line: ");
    append(summary, command_line);
    append(summary, L"\n  working directory: ");
    append(summary, cwd, cwd_length);
    append(summary, L"\n");
    for (const wchar_t* name : variables) {
        const bool set = variable(name) >= 0;
        append(record, set ? L"=" : L"-");
        if (set) {
            append(record, value);
        }
        append(record, &nul, 1);
        if (name[0] == L'P') {
            append(summary, L"  ");
            append(summary, name);
            append(summary, L": ");
            append(summary, set ? value : L"(not set)");
            append(summary, L"\n");
        }
    }

    if (variable(L"HL_RECORD") > 0) {
        HANDLE file = CreateFileW(value, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, record.units, record.length * sizeof(wchar_t), &written,
                      nullptr);
            CloseHandle(file);
        }
    } else {
        write_utf8(GetStdHandle(STD_OUTPUT_HANDLE), summary);
    }

    if (variable(L"HL_HOLD_MS") > 0) {
        Sleep(static_cast<DWORD>(number(value)));
    }
    const unsigned long long code = variable(L"HL_EXIT_CODE") > 0 ? number(value) : 0;
    ExitProcess(static_cast<UINT>(code));
}
