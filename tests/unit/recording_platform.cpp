#include "recording_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

PlatformScript platform_script;
std::vector<std::string> platform_log;

namespace {

std::vector<void*> allocations;

// Sentinels that stand for the runtime's objects; never dereferenced.
int stderr_object;
int stdin_object;
int process_object;
int thread_object;

const char* handle_name(platform_handle handle) {
    if (handle == &process_object) return "process";
    if (handle == &thread_object) return "thread";
    if (handle == &stdin_object) return "stdin";
    return "unknown";
}

std::string stream_name(OutputStream* stream) {
    return stream == reinterpret_cast<OutputStream*>(&stderr_object) ? "stderr"
                                                                        : "unknown";
}

}  // namespace

void reset_platform(const PlatformScript& script) {
    platform_script = script;
    platform_log.clear();
    for (void* block : allocations) {
        std::free(block);
    }
    allocations.clear();
}

std::string narrow(const text_unit* text) {
    if (text == nullptr) {
        return "(null)";
    }
    std::string out;
    for (; *text != 0; ++text) {
        const unsigned unit = static_cast<unsigned>(*text);
        if (unit >= 0x20 && unit < 0x7f) {
            out += static_cast<char>(unit);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", unit);
            out += escape;
        }
    }
    return out;
}

std::uint32_t platform_module_path(text_unit* buffer, std::uint32_t capacity) {
    platform_log.push_back("module_path " + std::to_string(capacity));
    const auto& path = platform_script.module_path;
    const std::size_t written = path.size() < capacity ? path.size() : capacity - 1;
    path.copy(buffer, written);
    buffer[written] = 0;
    return platform_script.module_path_result != 0
               ? platform_script.module_path_result
               : static_cast<std::uint32_t>(written);
}

bool platform_exists(const text_unit* path) {
    platform_log.push_back("exists " + narrow(path));
    return platform_script.interpreter_exists;
}

void platform_set_environment(const text_unit* variable, const text_unit* value) {
    platform_log.push_back("set " + narrow(variable) +
                           (value == nullptr ? " removed" : "=" + narrow(value)));
}

const text_unit* platform_command_line() {
    platform_log.push_back("command_line");
    return platform_script.command_line.c_str();
}

void* platform_allocate(std::size_t bytes) {
    platform_log.push_back("allocate " + std::to_string(bytes));
    if (platform_script.allocation_fails) {
        return nullptr;
    }
    void* block = std::malloc(bytes);
    allocations.push_back(block);
    return block;
}

bool platform_start(text_unit* command_line, const text_unit* working_dir,
                    ChildProcess& child) {
    platform_log.push_back("start " + narrow(command_line) + " in " +
                           narrow(working_dir));
    if (!platform_script.start_succeeds) {
        return false;
    }
    child.process = &process_object;
    child.thread = &thread_object;
    return true;
}

std::uint32_t platform_last_error() {
    platform_log.push_back("last_error");
    return platform_script.last_error;
}

void platform_wait(platform_handle process) {
    platform_log.push_back(std::string("wait ") + handle_name(process));
}

void platform_exit_code(platform_handle process, std::uint32_t& exit_code) {
    platform_log.push_back(std::string("exit_code ") + handle_name(process));
    if (platform_script.exit_code_written) {
        exit_code = platform_script.child_exit_code;
    }
}

void platform_close(platform_handle handle) {
    platform_log.push_back(std::string("close ") + handle_name(handle));
}

OutputStream* platform_stderr() {
    platform_log.push_back("stderr");
    return reinterpret_cast<OutputStream*>(&stderr_object);
}

void platform_write(OutputStream* stream, const char* bytes, std::size_t count) {
    platform_log.push_back("write " + stream_name(stream) + " " +
                           std::string(bytes, count));
}

void platform_write_number(OutputStream* stream, const char* format,
                           std::uint32_t value) {
    char formatted[256];
    std::snprintf(formatted, sizeof formatted, format, static_cast<unsigned long>(value));
    platform_log.push_back("write " + stream_name(stream) + " " + formatted);
}

platform_handle platform_stdin() {
    platform_log.push_back("stdin");
    return &stdin_object;
}

bool platform_is_console(platform_handle input) {
    platform_log.push_back(std::string("is_console ") + handle_name(input));
    return platform_script.stdin_is_console;
}

void platform_read_char() { platform_log.push_back("read_char"); }
