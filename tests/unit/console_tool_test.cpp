// The command-line tool variant: run.cpp built with HL_CONSOLE_TOOL.
#include "run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_platform.h"

namespace {

struct ToolCase {
    const char* name;
    std::uint32_t child_exit_code;
    bool interpreter_exists;
    std::vector<std::string> log_tail;
    std::uint32_t expected_exit;
};

TEST(ConsoleTool, WorksInTheCallersFolderAndPassesEveryCodeOnSilently) {
    const std::vector<std::string> waited = {
        "start \"C:\\App\\python\\python.exe\" \"C:\\App\\firstrun.py\" -v in (null)",
        "wait process", "exit_code process", "close process", "close thread"};
    const std::vector<ToolCase> cases = {
        {"0", 0, true, waited, 0},
        {"1, as a linter says files would change", 1, true, waited, 1},
        {"a crash code, whole", 0xC0000005u, true, waited, 0xC0000005u},
        {"its own failure is still said, with the pause", 0, false,
         {"stderr",
          "write stderr python\\python.exe is missing: extract the whole zip file and "
          "start Harbor-Lantern.exe from the extracted folder.\n",
          "stdin", "is_console stdin", "read_char"},
         1},
    };
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c.name);
        PlatformScript script;
        script.child_exit_code = c.child_exit_code;
        script.interpreter_exists = c.interpreter_exists;
        reset_platform(script);
        EXPECT_EQ(run_launcher(), c.expected_exit);
        ASSERT_GE(platform_log.size(), c.log_tail.size());
        EXPECT_EQ(std::vector<std::string>(platform_log.end() - static_cast<std::ptrdiff_t>(
                                               c.log_tail.size()),
                                           platform_log.end()),
                  c.log_tail);
    }
    reset_platform(PlatformScript{});
}

}  // namespace
