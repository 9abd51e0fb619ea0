// Reads a message box as Windows shows it: dialog_text.exe TITLE RESULT
// waits up to 30 s for a top-level window titled TITLE and writes the text of
// its message (the static control a message box gives the id 0xFFFF) to
// RESULT as UTF-16LE. Exits 1 when no such window appears.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    HWND box = nullptr;
    for (int tries = 0; tries < 300 && box == nullptr; ++tries) {
        box = FindWindowW(nullptr, argv[1]);
        if (box == nullptr) {
            Sleep(100);
        }
    }
    if (box == nullptr) {
        return 1;
    }
    wchar_t text[1024];
    const UINT length = GetDlgItemTextW(box, 0xFFFF, text, 1024);
    HANDLE out = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(out, text, length * sizeof(wchar_t), &written, nullptr);
    CloseHandle(out);
    return 0;
}
