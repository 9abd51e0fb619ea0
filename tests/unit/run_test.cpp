#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "recording_platform.h"

namespace {

using log_lines = std::vector<std::string>;

log_lines operator+(log_lines head, const log_lines& rest) {
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
}

const log_lines found_interpreter = {
    "module_path 260",
    "exists C:\\App\\python\\python.exe",
};
const log_lines environment_and_line = {
    "set PYTHONHOME=C:\\App\\python",
    "set PYTHONPATH removed",
    "set PYTHONUTF8=1",
    "set PYTHONNOUSERSITE=1",
    "command_line",
    // L = 24 + 18 + 3 code units: 2L + 32 bytes.
    "allocate 122",
};
const log_lines started = {
    "start \"C:\\App\\python\\python.exe\" \"C:\\App\\firstrun.py\" -v in C:\\App",
};
const log_lines waited = {
    "wait process",
    "exit_code process",
    "close process",
    "close thread",
};
const log_lines pause = {"stdin", "is_console stdin", "read_char"};
const log_lines no_pause = {"stdin", "is_console stdin"};
const std::string stopped = "write stderr \nHarbor-Lantern stopped (code ";
const std::string press_enter = "). Press Enter to close this window.\n";
const std::string missing =
    "write stderr python\\python.exe is missing: extract the whole zip file and "
    "start Harbor-Lantern.exe from the extracted folder.\n";

struct RunCase {
    const char* name;
    PlatformScript script;
    log_lines expected_log;
    std::uint32_t expected_exit;
};

PlatformScript with(void (*change)(PlatformScript&)) {
    PlatformScript script;
    change(script);
    return script;
}

std::vector<RunCase> run_cases() {
    return {
        {"module path not obtained: no pause, nothing else",
         with([](PlatformScript& s) { s.module_path_result = 0; s.module_path.clear(); }),
         {"module_path 260", "stderr", "write stderr cannot find my own folder\n"},
         1},
        {"module path cut by the platform counts as not obtained",
         with([](PlatformScript& s) {
             s.module_path = std::basic_string<text_unit>(300, u'x');
             s.module_path_result = 260;
         }),
         {"module_path 260", "stderr", "write stderr cannot find my own folder\n"},
         1},
        {"interpreter missing: nothing touched, then the pause",
         with([](PlatformScript& s) { s.interpreter_exists = false; }),
         found_interpreter + log_lines{"stderr", missing} + pause, 1},
        {"interpreter missing without a console",
         with([](PlatformScript& s) {
             s.interpreter_exists = false;
             s.stdin_is_console = false;
         }),
         found_interpreter + log_lines{"stderr", missing} + no_pause, 1},
        {"allocation fails: reported as a refused start with error 8",
         with([](PlatformScript& s) { s.allocation_fails = true; }),
         found_interpreter + environment_and_line +
             log_lines{"stderr",
                       "write stderr cannot start the bundled Python (error 8)\n"} +
             pause,
         1},
        {"start refused: only the stream is fetched before the last error",
         with([](PlatformScript& s) {
             s.start_succeeds = false;
             s.last_error = 0x800700C1u;
         }),
         found_interpreter + environment_and_line + started +
             log_lines{"stderr", "last_error",
                       "write stderr cannot start the bundled Python (error 2147942593)\n"} +
             pause,
         1},
        {"child ends with 0: silent",
         with([](PlatformScript& s) { s.child_exit_code = 0; }),
         found_interpreter + environment_and_line + started + waited, 0},
        {"child ends with 2: silent",
         with([](PlatformScript& s) { s.child_exit_code = 2; }),
         found_interpreter + environment_and_line + started + waited, 2},
        {"child ends with 1: reported after both handles are closed",
         with([](PlatformScript& s) { s.child_exit_code = 1; }),
         found_interpreter + environment_and_line + started + waited +
             log_lines{"stderr", stopped + "1" + press_enter} + pause,
         1},
        {"child ends with 3 without a console",
         with([](PlatformScript& s) {
             s.child_exit_code = 3;
             s.stdin_is_console = false;
         }),
         found_interpreter + environment_and_line + started + waited +
             log_lines{"stderr", stopped + "3" + press_enter} + no_pause,
         3},
        {"a crash code is shown unsigned and passed on whole",
         with([](PlatformScript& s) { s.child_exit_code = 0xC0000005u; }),
         found_interpreter + environment_and_line + started + waited +
             log_lines{"stderr", stopped + "3221225477" + press_enter} + pause,
         0xC0000005u},
        {"exit code query writes nothing: the preset 1 stands",
         with([](PlatformScript& s) {
             s.exit_code_written = false;
             s.child_exit_code = 0;
         }),
         found_interpreter + environment_and_line + started + waited +
             log_lines{"stderr", stopped + "1" + press_enter} + pause,
         1},
    };
}

TEST(Run, EachRoadTakesItsStepsInOrder) {
    for (const RunCase& c : run_cases()) {
        SCOPED_TRACE(c.name);
        reset_platform(c.script);
        EXPECT_EQ(run_launcher(), c.expected_exit);
        EXPECT_EQ(platform_log, c.expected_log);
    }
    reset_platform(PlatformScript{});
}

TEST(Run, StartsABareDriveLauncherInTheDriveRoot) {
    PlatformScript script;
    script.module_path = HL_TEXT("Y:\\Harbor-Lantern.exe");
    script.command_line = HL_TEXT("\"Y:\\Harbor-Lantern.exe\"");
    reset_platform(script);
    EXPECT_EQ(run_launcher(), 0u);
    const log_lines expected_start = {
        "start \"Y:\\python\\python.exe\" \"Y:\\firstrun.py\" in Y:\\"};
    EXPECT_NE(std::find(platform_log.begin(), platform_log.end(), expected_start[0]),
              platform_log.end());
    EXPECT_EQ(platform_log[2], "set PYTHONHOME=Y:\\python");
    reset_platform(PlatformScript{});
}

}  // namespace
