// The launch plan: everything the launcher works out before it starts the
// interpreter. Plain computation on UTF-16 code units; no platform headers,
// so the same source builds into the Windows launcher and the Linux tests.
#pragma once

#include <stddef.h>

#ifdef _WIN32
// On Windows wchar_t is the 16-bit unit the W APIs take, so no casts are
// needed at the platform boundary.
using text_unit = wchar_t;
#define HL_TEXT(literal) L##literal
#else
using text_unit = char16_t;
#define HL_TEXT(literal) u##literal
#endif

static_assert(sizeof(text_unit) == 2, "text is UTF-16 code units");

// The windowed launcher is built from the same sources and starts the
// interpreter that opens no console window.
#ifdef HL_WINDOWED
#define HL_INTERPRETER "pythonw.exe"
#else
#define HL_INTERPRETER "python.exe"
#endif

// Capacities in code units, each including the terminating NUL.
constexpr size_t module_path_capacity = 260;  // the platform's MAX_PATH
constexpr size_t python_home_capacity = module_path_capacity + 16;
constexpr size_t python_exe_capacity = module_path_capacity + 32;
constexpr size_t script_path_capacity = module_path_capacity + 32;
// What the child's command line buffer holds beyond the three lengths: four
// quotes, one space and the NUL take 6 of these 16.
constexpr size_t child_command_line_slack = 16;

struct LaunchPlan {
    // Holds the module path until derive_paths cuts it in place.
    text_unit launcher_dir[module_path_capacity];
    text_unit python_home[python_home_capacity];
    text_unit python_exe[python_exe_capacity];
    text_unit script_path[script_path_capacity];
    // "X:\" when launcher_dir is a bare drive: the platform reads "X:" as
    // that drive's current directory, not its root.
    text_unit drive_root[4];
    // The child's working directory: launcher_dir or drive_root.
    const text_unit* working_dir;
    // A position inside the raw command line, which outlives the plan.
    const text_unit* command_tail;
    // Heap buffer of child_command_line_capacity code units, writable
    // because process creation may write into it; never freed.
    text_unit* child_command_line;
    size_t child_command_line_length;
    size_t child_command_line_capacity;
};

struct EnvironmentChange {
    const text_unit* variable;
    const text_unit* value;  // null: the variable is removed
};

constexpr size_t environment_change_count = 4;

struct EnvironmentChanges {
    EnvironmentChange changes[environment_change_count];
};

using allocate_fn = void* (*)(size_t bytes);

// Expects the module path, NUL-terminated within the launcher_dir buffer.
void derive_paths(LaunchPlan& plan);

EnvironmentChanges environment_changes(const LaunchPlan& plan);

const text_unit* find_command_tail(const text_unit* raw_command_line);

// Needs python_exe, script_path and command_tail. Returns false, leaving
// child_command_line null, when the buffer cannot be had.
bool compose_child_command_line(LaunchPlan& plan, allocate_fn allocate);
