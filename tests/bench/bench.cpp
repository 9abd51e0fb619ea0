// Times process starts from one Windows-side parent, so that every sample
// comes from the same Wine session: (a) the interpreter started directly,
// (b) the floor launcher, (c) Harbor-Lantern.exe, in interleaved rounds.
//
// bench.exe BUNDLE FLOOR RUNS ROUNDS; BUNDLE holds Harbor-Lantern.exe and
// python\python.exe, FLOOR is the floor launcher's path.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The platform reports nothing for a process that has ended, so the peak is
// read while the launcher waits for an interpreter told to hold on.
SIZE_T peak_while_waiting(const std::wstring& application, std::wstring command_line,
                          const std::wstring& folder) {
    SetEnvironmentVariableW(L"HL_HOLD_MS", L"600");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    const BOOL started =
        CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr,
                       TRUE, 0, nullptr, folder.c_str(), &startup, &process);
    SetEnvironmentVariableW(L"HL_HOLD_MS", nullptr);
    if (!started) {
        return 0;
    }
    Sleep(300);
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return counters.PeakWorkingSetSize;
}

bool start_and_wait(const std::wstring& application, std::wstring command_line,
                    const std::wstring& folder, double& milliseconds) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr,
                        TRUE, 0, nullptr, folder.c_str(), &startup, &process)) {
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    QueryPerformanceCounter(&end);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    milliseconds = 1000.0 * static_cast<double>(end.QuadPart - begin.QuadPart) /
                          static_cast<double>(frequency.QuadPart);
    return true;
}

template <typename T>
T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        std::fputs("usage: bench.exe BUNDLE FLOOR RUNS ROUNDS\n", stderr);
        return 2;
    }
    const std::wstring bundle = argv[1];
    const std::wstring interpreter = bundle + L"\\python\\python.exe";
    const std::wstring script = bundle + L"\\firstrun.py";
    const std::wstring launcher = bundle + L"\\Harbor-Lantern.exe";
    struct Kind {
        const char* name;
        std::wstring application;
        std::wstring command_line;
    } kinds[] = {
        {"interpreter", interpreter, L"\"" + interpreter + L"\" \"" + script + L"\""},
        {"floor", argv[2], L"\"" + std::wstring(argv[2]) + L"\""},
        {"harbor-lantern", launcher, L"\"" + launcher + L"\""},
    };
    const int runs = _wtoi(argv[3]);
    const int rounds = _wtoi(argv[4]);

    std::vector<double> ratios;
    for (int run = 0; run < runs; ++run) {
        std::vector<double> times[3];
        for (int round = 0; round < rounds; ++round) {
            for (int i = 0; i < 3; ++i) {
                // A different kind goes first each round, so that no kind
                // always follows the same one.
                const int k = (round + i) % 3;
                double milliseconds;
                if (!start_and_wait(kinds[k].application, kinds[k].command_line,
                                    bundle, milliseconds)) {
                    std::fprintf(stderr, "cannot start %s (error %lu)\n", kinds[k].name,
                                 GetLastError());
                    return 1;
                }
                times[k].push_back(milliseconds);
            }
        }
        double medians[3];
        for (int k = 0; k < 3; ++k) {
            medians[k] = median(times[k]);
            // Wine adds a delay of about 20 ms to some process exits and not
            // to others; the tenth percentile shows the runs that had none.
            std::sort(times[k].begin(), times[k].end());
            std::printf("run %d  (%c) %-15s median %7.3f ms  p10 %7.3f ms\n", run + 1,
                        'a' + k, kinds[k].name, medians[k], times[k][times[k].size() / 10]);
        }
        ratios.push_back(medians[2] / medians[1]);
        std::printf("run %d  ratio harbor-lantern / floor: %.3f\n", run + 1, ratios.back());
    }
    std::printf("median ratio harbor-lantern / floor over %d runs of %d rounds: %.3f\n",
                runs, rounds, median(ratios));
    for (int k = 1; k < 3; ++k) {
        const SIZE_T peak = peak_while_waiting(kinds[k].application, kinds[k].command_line,
                                               bundle);
        std::printf("peak working set (%c) %-15s %zu KiB\n", 'a' + k, kinds[k].name,
                    peak / 1024);
    }
    return 0;
}
