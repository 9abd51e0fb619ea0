// Arbitrary module paths (up to 259 code units) and raw command lines
// through the whole plan; any broken property aborts the run.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launch_plan.h"

namespace {

using text = std::basic_string<text_unit>;

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

text units_from(const std::uint8_t* data, std::size_t size) {
    text out;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<text_unit>(data[i] | (data[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        out += unit;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t module_units =
        static_cast<std::size_t>(data[0] | (data[1] << 8)) % module_path_capacity;
    const std::size_t module_bytes = module_units * 2 < size - 2 ? module_units * 2 : size - 2;
    const text module_path = units_from(data + 2, module_bytes);
    const text raw = units_from(data + 2 + module_bytes, size - 2 - module_bytes);

    LaunchPlan plan;
    std::memset(&plan, 0xAB, sizeof plan);
    module_path.copy(plan.launcher_dir, module_path.size());
    plan.launcher_dir[module_path.size()] = 0;
    derive_paths(plan);

    const std::size_t cut = module_path.rfind(u'\\');
    const text dir = cut == text::npos ? module_path : module_path.substr(0, cut);
    require(text(plan.launcher_dir) == dir);
    require(text(plan.python_home) == dir + HL_TEXT("\\python"));
    require(text(plan.python_exe) == dir + HL_TEXT("\\python\\python.exe"));
    require(text(plan.script_path) == dir + HL_TEXT("\\firstrun.py"));
    const bool bare_drive = dir.size() == 2 && dir[1] == u':' &&
                            ((dir[0] >= u'A' && dir[0] <= u'Z') ||
                             (dir[0] >= u'a' && dir[0] <= u'z'));
    require(text(plan.working_dir) == (bare_drive ? dir + HL_TEXT("\\") : dir));

    plan.command_tail = find_command_tail(raw.c_str());
    require(plan.command_tail >= raw.c_str() &&
            plan.command_tail <= raw.c_str() + raw.size());
    const text tail(plan.command_tail);
    require(raw.compare(raw.size() - tail.size(), tail.size(), tail) == 0);

    require(compose_child_command_line(plan, std::malloc));
    const std::size_t length =
        text(plan.python_exe).size() + text(plan.script_path).size() + tail.size();
    const text expected = HL_TEXT("\"") + text(plan.python_exe) + HL_TEXT("\" \"") +
                          text(plan.script_path) + HL_TEXT("\"") + tail;
    require(text(plan.child_command_line) == expected);
    require(plan.child_command_line_length == length + 5);
    require(plan.child_command_line_capacity == length + 16);
    std::free(plan.child_command_line);
    return 0;
}
