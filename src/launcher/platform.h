// Every platform service the run uses, one function per call. The launcher
// links the Win32 implementation; the native tests link a recording stand-in,
// so the run's order of calls can be checked on Linux.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "launch_plan.h"

struct OutputStream;  // the C runtime's FILE
using platform_handle = void*;

struct ChildProcess {
    platform_handle process;
    platform_handle thread;
};

// The module path into a buffer of `capacity` code units; the count written,
// 0 on failure, `capacity` when the platform had to cut the path.
uint32_t platform_module_path(text_unit* buffer, uint32_t capacity);
bool platform_exists(const text_unit* path);
void platform_set_environment(const text_unit* variable, const text_unit* value);
const text_unit* platform_command_line();
void* platform_allocate(size_t bytes);
// Inherits handles, environment and console; false with the reason left for
// platform_last_error.
bool platform_start(text_unit* command_line, const text_unit* working_dir,
                    ChildProcess& child);
uint32_t platform_last_error();
void platform_wait(platform_handle process);
void platform_exit_code(platform_handle process, uint32_t& exit_code);
void platform_close(platform_handle handle);
OutputStream* platform_stderr();
void platform_write(OutputStream* stream, const char* bytes, size_t count);
void platform_write_number(OutputStream* stream, const char* format,
                           uint32_t value);
platform_handle platform_stdin();
bool platform_is_console(platform_handle input);
void platform_read_char();
