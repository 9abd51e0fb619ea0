#include "launch_plan.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using text = std::basic_string<text_unit>;

// Builds a plan from a module path the way the run hands it over.
LaunchPlan plan_for(const text& module_path) {
    LaunchPlan plan{};
    module_path.copy(plan.launcher_dir, module_path_capacity - 1);
    plan.launcher_dir[module_path.size()] = 0;
    derive_paths(plan);
    return plan;
}

struct PathCase {
    text module_path;
    text launcher_dir;
    text python_home;
    text python_exe;
    text script_path;
    text working_dir;
};

TEST(DerivePaths, CutsAtTheLastBackslashAndComposesTheThreePaths) {
    const std::vector<PathCase> cases = {
        {HL_TEXT("C:\\Apps\\Harbor-Lantern.exe"), HL_TEXT("C:\\Apps"),
         HL_TEXT("C:\\Apps\\python"), HL_TEXT("C:\\Apps\\python\\python.exe"),
         HL_TEXT("C:\\Apps\\firstrun.py"), HL_TEXT("C:\\Apps")},
        // A bare drive keeps its text, but the child must start in the root.
        {HL_TEXT("C:\\Harbor-Lantern.exe"), HL_TEXT("C:"), HL_TEXT("C:\\python"),
         HL_TEXT("C:\\python\\python.exe"), HL_TEXT("C:\\firstrun.py"),
         HL_TEXT("C:\\")},
        {HL_TEXT("y:\\Harbor-Lantern.exe"), HL_TEXT("y:"), HL_TEXT("y:\\python"),
         HL_TEXT("y:\\python\\python.exe"), HL_TEXT("y:\\firstrun.py"),
         HL_TEXT("y:\\")},
        // Only a letter and a colon make a bare drive.
        {HL_TEXT("1:\\x.exe"), HL_TEXT("1:"), HL_TEXT("1:\\python"),
         HL_TEXT("1:\\python\\python.exe"), HL_TEXT("1:\\firstrun.py"), HL_TEXT("1:")},
        {HL_TEXT("\\\\?\\C:\\x.exe"), HL_TEXT("\\\\?\\C:"), HL_TEXT("\\\\?\\C:\\python"),
         HL_TEXT("\\\\?\\C:\\python\\python.exe"), HL_TEXT("\\\\?\\C:\\firstrun.py"),
         HL_TEXT("\\\\?\\C:")},
        {HL_TEXT("C:\\A\\B\\Harbor-Lantern.exe"), HL_TEXT("C:\\A\\B"),
         HL_TEXT("C:\\A\\B\\python"), HL_TEXT("C:\\A\\B\\python\\python.exe"),
         HL_TEXT("C:\\A\\B\\firstrun.py"), HL_TEXT("C:\\A\\B")},
        {HL_TEXT("C:\\Apps\\"), HL_TEXT("C:\\Apps"), HL_TEXT("C:\\Apps\\python"),
         HL_TEXT("C:\\Apps\\python\\python.exe"), HL_TEXT("C:\\Apps\\firstrun.py"),
         HL_TEXT("C:\\Apps")},
        {HL_TEXT("\\\\server\\share\\Harbor-Lantern.exe"), HL_TEXT("\\\\server\\share"),
         HL_TEXT("\\\\server\\share\\python"),
         HL_TEXT("\\\\server\\share\\python\\python.exe"),
         HL_TEXT("\\\\server\\share\\firstrun.py"), HL_TEXT("\\\\server\\share")},
        // No backslash: the whole path stays, slashes and colons included.
        {HL_TEXT("Harbor-Lantern.exe"), HL_TEXT("Harbor-Lantern.exe"),
         HL_TEXT("Harbor-Lantern.exe\\python"),
         HL_TEXT("Harbor-Lantern.exe\\python\\python.exe"),
         HL_TEXT("Harbor-Lantern.exe\\firstrun.py"), HL_TEXT("Harbor-Lantern.exe")},
        {HL_TEXT("C:/Apps/Harbor-Lantern.exe"), HL_TEXT("C:/Apps/Harbor-Lantern.exe"),
         HL_TEXT("C:/Apps/Harbor-Lantern.exe\\python"),
         HL_TEXT("C:/Apps/Harbor-Lantern.exe\\python\\python.exe"),
         HL_TEXT("C:/Apps/Harbor-Lantern.exe\\firstrun.py"),
         HL_TEXT("C:/Apps/Harbor-Lantern.exe")},
        {HL_TEXT(""), HL_TEXT(""), HL_TEXT("\\python"), HL_TEXT("\\python\\python.exe"),
         HL_TEXT("\\firstrun.py"), HL_TEXT("")},
        // Text outside ASCII and outside the BMP is copied unit for unit.
        {HL_TEXT("D:\\T\u00e9l\u00e9chargements\\Mon app \U0001F600\\Harbor-Lantern.exe"),
         HL_TEXT("D:\\T\u00e9l\u00e9chargements\\Mon app \U0001F600"),
         HL_TEXT("D:\\T\u00e9l\u00e9chargements\\Mon app \U0001F600\\python"),
         HL_TEXT("D:\\T\u00e9l\u00e9chargements\\Mon app \U0001F600\\python\\python.exe"),
         HL_TEXT("D:\\T\u00e9l\u00e9chargements\\Mon app \U0001F600\\firstrun.py"),
         HL_TEXT("D:\\T\u00e9l\u00e9chargements\\Mon app \U0001F600")},
    };
    for (const PathCase& c : cases) {
        const LaunchPlan plan = plan_for(c.module_path);
        SCOPED_TRACE(testing::Message() << "case with launcher_dir of "
                                        << c.launcher_dir.size() << " units");
        EXPECT_EQ(text(plan.launcher_dir), c.launcher_dir);
        EXPECT_EQ(text(plan.python_home), c.python_home);
        EXPECT_EQ(text(plan.python_exe), c.python_exe);
        EXPECT_EQ(text(plan.script_path), c.script_path);
        EXPECT_EQ(text(plan.working_dir), c.working_dir);
    }
}

TEST(DerivePaths, TheLongestModulePathFitsEveryBuffer) {
    const text longest(module_path_capacity - 1, u'a');
    const LaunchPlan plan = plan_for(longest);
    EXPECT_EQ(text(plan.launcher_dir), longest);
    EXPECT_EQ(text(plan.python_home).size(), 259u + 7);
    EXPECT_EQ(text(plan.python_exe), longest + HL_TEXT("\\python\\python.exe"));
    EXPECT_EQ(text(plan.python_exe).size(), 277u);
    EXPECT_EQ(text(plan.script_path).size(), 259u + 12);
}

TEST(DerivePaths, AnUnterminatedBufferIsReadAsItsFirst259Units) {
    LaunchPlan plan{};
    for (text_unit& unit : plan.launcher_dir) {
        unit = u'b';
    }
    plan.launcher_dir[100] = u'\\';
    derive_paths(plan);
    EXPECT_EQ(text(plan.launcher_dir), text(100, u'b'));

    for (text_unit& unit : plan.launcher_dir) {
        unit = u'c';
    }
    derive_paths(plan);
    EXPECT_EQ(text(plan.launcher_dir), text(259, u'c'));
    EXPECT_EQ(text(plan.python_exe), text(259, u'c') + HL_TEXT("\\python\\python.exe"));
}

TEST(EnvironmentChanges, AreTheSameFourInTheirOrder) {
    const LaunchPlan plan = plan_for(HL_TEXT("C:\\My Apps\\Harbor-Lantern.exe"));
    const EnvironmentChanges list = environment_changes(plan);
    const text names[] = {HL_TEXT("PYTHONHOME"), HL_TEXT("PYTHONPATH"),
                          HL_TEXT("PYTHONUTF8"), HL_TEXT("PYTHONNOUSERSITE")};
    for (std::size_t i = 0; i < environment_change_count; ++i) {
        EXPECT_EQ(text(list.changes[i].variable), names[i]);
    }
    EXPECT_EQ(text(list.changes[0].value), HL_TEXT("C:\\My Apps\\python"));
    EXPECT_EQ(list.changes[1].value, nullptr);
    EXPECT_EQ(text(list.changes[2].value), HL_TEXT("1"));
    EXPECT_EQ(text(list.changes[3].value), HL_TEXT("1"));
}

struct TailCase {
    text raw;
    text tail;
};

TEST(FindCommandTail, ReturnsThePositionRightAfterTheLauncherName) {
    const std::vector<TailCase> cases = {
        {HL_TEXT(""), HL_TEXT("")},
        {HL_TEXT("Harbor-Lantern.exe"), HL_TEXT("")},
        {HL_TEXT("Harbor-Lantern.exe -v x"), HL_TEXT(" -v x")},
        {HL_TEXT("Harbor-Lantern.exe\t-v"), HL_TEXT("\t-v")},
        {HL_TEXT("Harbor-Lantern.exe   -v"), HL_TEXT("   -v")},
        {HL_TEXT("\"C:\\My Apps\\Harbor-Lantern.exe\" -v"), HL_TEXT(" -v")},
        {HL_TEXT("\"C:\\My Apps\\Harbor-Lantern.exe\""), HL_TEXT("")},
        {HL_TEXT("\"C:\\My Apps\\Harbor-Lantern.exe -v"), HL_TEXT("")},
        {HL_TEXT("\"\" -v"), HL_TEXT(" -v")},
        {HL_TEXT("\""), HL_TEXT("")},
        {HL_TEXT("\"C:\\Apps\\Harbor-Lantern.exe\"-v"), HL_TEXT("-v")},
        {HL_TEXT(" Harbor-Lantern.exe -v"), HL_TEXT(" Harbor-Lantern.exe -v")},
        {HL_TEXT("\tx"), HL_TEXT("\tx")},
        {HL_TEXT("Harbor-Lantern.exe\n-v -w"), HL_TEXT(" -w")},
        {HL_TEXT("Harbor-Lantern.exe\r\x01\x1f -w"), HL_TEXT(" -w")},
        {HL_TEXT("a\"b c\".exe d"), HL_TEXT(" c\".exe d")},
        {HL_TEXT("Harbor-Lantern.exe \"a b\"  c\\"), HL_TEXT(" \"a b\"  c\\")},
        {HL_TEXT("\"C:\\\u00c9t\u00e9\\Harbor-Lantern.exe\" \U0001F600 \u00e9"),
         HL_TEXT(" \U0001F600 \u00e9")},
    };
    for (const TailCase& c : cases) {
        const text_unit* tail = find_command_tail(c.raw.c_str());
        EXPECT_EQ(text(tail), c.tail);
        // A position inside the line, not a copy of it.
        EXPECT_EQ(tail, c.raw.c_str() + (c.raw.size() - c.tail.size()));
    }
}

std::vector<std::size_t> requested_sizes;

void* recording_malloc(std::size_t bytes) {
    requested_sizes.push_back(bytes);
    return std::malloc(bytes);
}

void* failing_malloc(std::size_t bytes) {
    requested_sizes.push_back(bytes);
    return nullptr;
}

struct LineCase {
    text module_path;
    text raw_command_line;
    text child_command_line;
};

TEST(ComposeChildCommandLine, QuotesBothPathsAndAppendsTheTailVerbatim) {
    const std::vector<LineCase> cases = {
        {HL_TEXT("C:\\Apps\\Harbor-Lantern.exe"), HL_TEXT("Harbor-Lantern.exe"),
         HL_TEXT("\"C:\\Apps\\python\\python.exe\" \"C:\\Apps\\firstrun.py\"")},
        {HL_TEXT("C:\\My Apps\\Harbor-Lantern.exe"),
         HL_TEXT("\"C:\\My Apps\\Harbor-Lantern.exe\" --flag x"),
         HL_TEXT("\"C:\\My Apps\\python\\python.exe\" \"C:\\My Apps\\firstrun.py\" --flag x")},
        // No separator is put in where the launcher's name had none.
        {HL_TEXT("C:\\Apps\\Harbor-Lantern.exe"),
         HL_TEXT("\"C:\\Apps\\Harbor-Lantern.exe\"-v"),
         HL_TEXT("\"C:\\Apps\\python\\python.exe\" \"C:\\Apps\\firstrun.py\"-v")},
        {HL_TEXT("C:\\Harbor-Lantern.exe"), HL_TEXT("x \"a b\"\t\t c\\\\\" \U0001F600"),
         HL_TEXT("\"C:\\python\\python.exe\" \"C:\\firstrun.py\" \"a b\"\t\t c\\\\\" \U0001F600")},
    };
    for (const LineCase& c : cases) {
        LaunchPlan plan = plan_for(c.module_path);
        plan.command_tail = find_command_tail(c.raw_command_line.c_str());
        requested_sizes.clear();
        ASSERT_TRUE(compose_child_command_line(plan, recording_malloc));

        const std::size_t length = text(plan.python_exe).size() +
                                   text(plan.script_path).size() +
                                   text(plan.command_tail).size();
        EXPECT_EQ(text(plan.child_command_line), c.child_command_line);
        EXPECT_EQ(plan.child_command_line_length, length + 5);
        EXPECT_EQ(text(plan.child_command_line).size(), length + 5);
        EXPECT_EQ(plan.child_command_line_capacity, length + 16);
        EXPECT_EQ(requested_sizes, std::vector<std::size_t>{2 * length + 32});
        std::free(plan.child_command_line);
    }
}

TEST(ComposeChildCommandLine, ReportsAnAllocationThatFails) {
    LaunchPlan plan = plan_for(HL_TEXT("C:\\Apps\\Harbor-Lantern.exe"));
    plan.command_tail = find_command_tail(HL_TEXT("x -v"));
    requested_sizes.clear();
    EXPECT_FALSE(compose_child_command_line(plan, failing_malloc));
    EXPECT_EQ(plan.child_command_line, nullptr);
    EXPECT_EQ(requested_sizes.size(), 1u);
}

}  // namespace
