// A Windows-side parent for the end-to-end tests: Wine rebuilds a program's
// command line from Unix arguments, so exact command lines can only be given
// from here, and only here are all 32 bits of an exit code visible.
//
// spawn.exe REQUEST RESULT. REQUEST is UTF-16LE, fields ending in NUL:
// application, command line, working directory (empty: the parent's), then
// any number of NAME=VALUE (set) or NAME (removed) for the child's
// environment. RESULT receives "exit N" or "refused N" in ASCII.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool read_request(const wchar_t* path, std::vector<std::wstring>& fields) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::wstring content;
    wchar_t chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        content.append(chunk, got / sizeof(wchar_t));
    }
    CloseHandle(file);
    std::size_t start = 0;
    for (std::size_t end; (end = content.find(L'\0', start)) != std::wstring::npos;
         start = end + 1) {
        fields.push_back(content.substr(start, end - start));
    }
    return fields.size() >= 3;
}

void write_result(const wchar_t* path, const char* text) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written;
    WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> fields;
    if (argc != 3 || !read_request(argv[1], fields)) {
        std::fputs("spawn: usage: spawn.exe REQUEST RESULT\n", stderr);
        return 120;
    }
    for (std::size_t i = 3; i < fields.size(); ++i) {
        const std::size_t equals = fields[i].find(L'=');
        if (equals == std::wstring::npos) {
            SetEnvironmentVariableW(fields[i].c_str(), nullptr);
        } else {
            SetEnvironmentVariableW(fields[i].substr(0, equals).c_str(),
                                    fields[i].c_str() + equals + 1);
        }
    }
    std::wstring command_line = fields[1];
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    char result[64];
    if (!CreateProcessW(fields[0].empty() ? nullptr : fields[0].c_str(),
                        command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        fields[2].empty() ? nullptr : fields[2].c_str(), &startup,
                        &process)) {
        std::snprintf(result, sizeof result, "refused %lu", GetLastError());
        write_result(argv[2], result);
        return 121;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    std::snprintf(result, sizeof result, "exit %lu", code);
    write_result(argv[2], result);
    return 0;
}
