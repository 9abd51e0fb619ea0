#include "launch_plan.h"

#include <stdint.h>

namespace {

constexpr text_unit backslash = u'\\';
constexpr text_unit quote = u'"';

size_t text_length(const text_unit* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

// Concatenation into a fixed buffer that never writes past it. Every
// buffer here is sized so that its text always fits; the bound is what keeps
// a caller that breaks that contract from overrunning memory.
struct Composer {
    text_unit* buffer;
    size_t capacity;
    size_t length;
};

Composer start_composing(text_unit* buffer, size_t capacity) {
    buffer[0] = 0;
    return Composer{buffer, capacity, 0};
}

void put(Composer& out, const text_unit* part) {
    for (; *part != 0 && out.length + 1 < out.capacity; ++part) {
        out.buffer[out.length++] = *part;
    }
    out.buffer[out.length] = 0;
}

bool is_ascii_letter(text_unit unit) {
    return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

}  // namespace

void derive_paths(LaunchPlan& plan) {
    // The platform never hands over more than 259 code units; holding any
    // caller to that bound is what makes the three buffers below large
    // enough for every input.
    plan.launcher_dir[module_path_capacity - 1] = 0;

    text_unit* last_backslash = nullptr;
    for (text_unit* at = plan.launcher_dir; *at != 0; ++at) {
        if (*at == backslash) {
            last_backslash = at;
        }
    }
    if (last_backslash != nullptr) {
        *last_backslash = 0;
    }

    Composer home = start_composing(plan.python_home, python_home_capacity);
    put(home, plan.launcher_dir);
    put(home, HL_TEXT("\\python"));

    Composer exe = start_composing(plan.python_exe, python_exe_capacity);
    put(exe, plan.launcher_dir);
    put(exe, HL_TEXT("\\python\\" HL_INTERPRETER));

    Composer script = start_composing(plan.script_path, script_path_capacity);
    put(script, plan.launcher_dir);
    put(script, HL_TEXT("\\firstrun.py"));

    const text_unit* dir = plan.launcher_dir;
    if (is_ascii_letter(dir[0]) && dir[1] == u':' && dir[2] == 0) {
        plan.drive_root[0] = dir[0];
        plan.drive_root[1] = u':';
        plan.drive_root[2] = backslash;
        plan.drive_root[3] = 0;
        plan.working_dir = plan.drive_root;
    } else {
        plan.drive_root[0] = 0;
        plan.working_dir = plan.launcher_dir;
    }
}

EnvironmentChanges environment_changes(const LaunchPlan& plan) {
    return EnvironmentChanges{{
        {HL_TEXT("PYTHONHOME"), plan.python_home},
        {HL_TEXT("PYTHONPATH"), nullptr},
        {HL_TEXT("PYTHONUTF8"), HL_TEXT("1")},
        {HL_TEXT("PYTHONNOUSERSITE"), HL_TEXT("1")},
    }};
}

const text_unit* find_command_tail(const text_unit* raw_command_line) {
    const text_unit* at = raw_command_line;
    if (*at == quote) {
        ++at;
        while (*at != 0 && *at != quote) {
            ++at;
        }
        // Without a closing quote the name runs to the end: no tail.
        return *at == quote ? at + 1 : at;
    }
    while (*at != 0 && *at != u'\t' && *at != u' ') {
        ++at;
    }
    return at;
}

bool compose_child_command_line(LaunchPlan& plan, allocate_fn allocate) {
    plan.child_command_line = nullptr;
    plan.child_command_line_length = 0;
    plan.child_command_line_capacity = 0;

    const size_t length = text_length(plan.python_exe) +
                               text_length(plan.script_path) +
                               text_length(plan.command_tail);
    if (length > SIZE_MAX / sizeof(text_unit) - child_command_line_slack) {
        return false;
    }
    const size_t capacity = length + child_command_line_slack;
    auto* buffer = static_cast<text_unit*>(allocate(capacity * sizeof(text_unit)));
    if (buffer == nullptr) {
        return false;
    }

    Composer line = start_composing(buffer, capacity);
    put(line, HL_TEXT("\""));
    put(line, plan.python_exe);
    put(line, HL_TEXT("\" \""));
    put(line, plan.script_path);
    put(line, HL_TEXT("\""));
    put(line, plan.command_tail);

    plan.child_command_line = buffer;
    plan.child_command_line_length = line.length;
    plan.child_command_line_capacity = capacity;
    return true;
}
