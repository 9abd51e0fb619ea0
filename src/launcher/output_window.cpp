// Messages of the windowed launcher. It has no console, so each message is a
// dialog box titled with the product name, and the box is the pause: the run
// ends once the user has closed it. Standard input is never read.
// stdio.h before any other header, so that _snprintf is msvcrt's own.
#include <stdio.h>
#include <windows.h>

#include "platform.h"

namespace {

// Room for the longest message the run writes (under 120 bytes, a 32-bit
// number included), so nothing is ever cut.
constexpr size_t message_capacity = 256;
// String 1 of the launcher's own string table: the product name, which the
// packer brands together with the version resource's ProductName. The
// packer allows at most 100 characters.
constexpr UINT product_name_id = 1;
constexpr int title_capacity = 128;
constexpr wchar_t unbranded_title[] = L"Harbor-Lantern";

void show(const char* bytes, size_t count) {
    // The line feeds around a message are a console's layout.
    while (count > 0 && bytes[count - 1] == '\n') {
        --count;
    }
    while (count > 0 && bytes[0] == '\n') {
        ++bytes;
        --count;
    }
    wchar_t text[message_capacity];
    size_t length = 0;
    for (; length < count && length + 1 < message_capacity; ++length) {
        text[length] = static_cast<unsigned char>(bytes[length]);  // ASCII
    }
    text[length] = 0;
    wchar_t title[title_capacity];
    const wchar_t* shown_title = title;
    if (LoadStringW(GetModuleHandleW(nullptr), product_name_id, title,
                    title_capacity) <= 0) {
        shown_title = unbranded_title;
    }
    MessageBoxW(nullptr, text, shown_title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace

// No stream: the dialog is the output.
OutputStream* platform_stderr() { return nullptr; }

void platform_write(OutputStream*, const char* bytes, size_t count) {
    show(bytes, count);
}

void platform_write_number(OutputStream*, const char* format, uint32_t value) {
    char text[message_capacity];
    const int length =
        _snprintf(text, sizeof text, format, static_cast<unsigned long>(value));
    show(text, length < 0 ? 0 : static_cast<size_t>(length));
}

// Never a console: the box has already waited for the user.
platform_handle platform_stdin() { return nullptr; }
bool platform_is_console(platform_handle) { return false; }
void platform_read_char() {}
