#include "run.h"

#include "launch_plan.h"
#include "platform.h"

namespace {

// The command-line tool variant is for apps typed at a prompt: the child
// works in the folder the user is in, and its exit code is its whole answer,
// passed on without a word or a pause. The launcher's own failures are
// reported as in the other variants.
#ifdef HL_CONSOLE_TOOL
constexpr bool console_tool = true;
#else
constexpr bool console_tool = false;
#endif

// Error number the platform reports for an allocation it cannot satisfy
// (ERROR_NOT_ENOUGH_MEMORY).
constexpr uint32_t not_enough_memory = 8;

constexpr char own_folder_missing[] = "cannot find my own folder\n";
constexpr char interpreter_missing[] =
    "python\\" HL_INTERPRETER " is missing: extract the whole zip file and start "
    "Harbor-Lantern.exe from the extracted folder.\n";
constexpr char start_refused[] = "cannot start the bundled Python (error %lu)\n";
constexpr char child_stopped[] =
    "\nHarbor-Lantern stopped (code %lu). Press Enter to close this window.\n";

static_assert(sizeof own_folder_missing - 1 == 26, "the message's byte count");
static_assert(sizeof interpreter_missing - 1 == 103 + sizeof HL_INTERPRETER - 1,
              "the message's byte count: 113 for python.exe");

// A fixed message goes out as its bytes, without its NUL and unformatted.
template <size_t size>
void write_fixed(const char (&message)[size]) {
    platform_write(platform_stderr(), message, size - 1);
}

// Keeps a window that was opened for the launcher readable until the user
// has seen the message; a redirected input is never waited on.
void pause_if_console() {
    if (platform_is_console(platform_stdin())) {
        platform_read_char();
    }
}

uint32_t report_refused_start(OutputStream* err, uint32_t error) {
    platform_write_number(err, start_refused, error);
    pause_if_console();
    return 1;
}

}  // namespace

uint32_t run_launcher() {
    uint32_t exit_code = 1;
    LaunchPlan plan;

    // A full buffer means the platform cut the path: the cut text names
    // some other folder, whose python.exe must never be started.
    const uint32_t got =
        platform_module_path(plan.launcher_dir, module_path_capacity);
    if (got == 0 || got >= module_path_capacity) {
        write_fixed(own_folder_missing);
        return 1;
    }

    derive_paths(plan);

    if (!platform_exists(plan.python_exe)) {
        write_fixed(interpreter_missing);
        pause_if_console();
        return 1;
    }

    const EnvironmentChanges changes = environment_changes(plan);
    for (const EnvironmentChange& change : changes.changes) {
        platform_set_environment(change.variable, change.value);
    }

    plan.command_tail = find_command_tail(platform_command_line());
    if (!compose_child_command_line(plan, platform_allocate)) {
        return report_refused_start(platform_stderr(), not_enough_memory);
    }

    ChildProcess child{};
    // A null working directory: the child inherits the launcher's.
    const text_unit* working_dir = console_tool ? nullptr : plan.working_dir;
    if (!platform_start(plan.child_command_line, working_dir, child)) {
        // The stream is fetched before the error number is read, so that
        // nothing else can touch the thread's last error in between.
        OutputStream* err = platform_stderr();
        const uint32_t error = platform_last_error();
        return report_refused_start(err, error);
    }

    platform_wait(child.process);
    platform_exit_code(child.process, exit_code);
    platform_close(child.process);
    platform_close(child.thread);

    if (console_tool || (exit_code & ~uint32_t{2}) == 0) {
        return exit_code;
    }
    platform_write_number(platform_stderr(), child_stopped, exit_code);
    pause_if_console();
    return exit_code;
}
