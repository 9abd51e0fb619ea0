// Stands in for python\python.exe: records what it was started with and
// exits with the code it is asked for (HL_EXIT_CODE, decimal, 32 bits).
// HL_RECORD names a file for the record, UTF-16LE fields ending in NUL;
// a variable's field starts with '=' when set and is "-" when absent.
// HL_HOLD_MS keeps it running that long, so that its parent can be looked
// at while it waits.
#include <windows.h>

#include <string>

namespace {

const wchar_t* const variables[] = {L"PYTHONHOME", L"PYTHONPATH", L"PYTHONUTF8",
                                    L"PYTHONNOUSERSITE", L"HL_UNRELATED"};

bool variable(const wchar_t* name, std::wstring& value) {
    wchar_t buffer[32768];
    SetLastError(0);
    const DWORD got = GetEnvironmentVariableW(name, buffer, 32768);
    if (got == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return false;
    }
    value.assign(buffer, got);
    return true;
}

std::wstring current_dir() {
    wchar_t buffer[32768];
    const DWORD got = GetCurrentDirectoryW(32768, buffer);
    return std::wstring(buffer, got);
}

void write_utf8(HANDLE out, const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                        bytes.data(), size, nullptr, nullptr);
    DWORD written;
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain() {
    const std::wstring command_line = GetCommandLineW();
    const std::wstring cwd = current_dir();

    std::wstring record = command_line + L'\0' + cwd + L'\0';
    std::wstring summary = L"stand-in python.exe received:\n  command line: " +
                           command_line + L"\n  working directory: " + cwd + L"\n";
    for (const wchar_t* name : variables) {
        std::wstring value;
        const bool set = variable(name, value);
        record += set ? L"=" + value : L"-";
        record += L'\0';
        if (name[0] == L'P') {
            summary += L"  " + std::wstring(name) + L": " +
                       (set ? value : L"(not set)") + L"\n";
        }
    }

    std::wstring record_path;
    if (variable(L"HL_RECORD", record_path)) {
        HANDLE file = CreateFileW(record_path.c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(file, record.data(),
                      static_cast<DWORD>(record.size() * sizeof(wchar_t)), &written,
                      nullptr);
            CloseHandle(file);
        }
    } else {
        write_utf8(GetStdHandle(STD_OUTPUT_HANDLE), summary);
    }

    std::wstring hold;
    if (variable(L"HL_HOLD_MS", hold)) {
        Sleep(static_cast<DWORD>(std::stoul(hold)));
    }

    std::wstring code_text;
    unsigned long long code = 0;
    if (variable(L"HL_EXIT_CODE", code_text)) {
        code = std::stoull(code_text);
    }
    ExitProcess(static_cast<UINT>(code));
}
