// A stand-in for the platform that answers as a test tells it and writes
// every call into one log, so that the run's order can be compared whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launch_plan.h"

struct PlatformScript {
    std::basic_string<text_unit> module_path = HL_TEXT("C:\\App\\Harbor-Lantern.exe");
    std::uint32_t module_path_result = 0;  // 0: the length of module_path
    bool interpreter_exists = true;
    std::basic_string<text_unit> command_line = HL_TEXT("Harbor-Lantern.exe -v");
    bool allocation_fails = false;
    bool start_succeeds = true;
    std::uint32_t last_error = 2;
    bool exit_code_written = true;
    std::uint32_t child_exit_code = 0;
    bool stdin_is_console = true;
};

extern PlatformScript platform_script;
extern std::vector<std::string> platform_log;

// Sets the script, empties the log and frees what earlier runs allocated.
void reset_platform(const PlatformScript& script);

// ASCII stays as it is; every other unit is written as \uXXXX.
std::string narrow(const text_unit* text);
