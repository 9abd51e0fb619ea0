// Reads a branded launcher back as Windows does: resource_probe.exe EXE
// RESULT writes UTF-16LE lines "name=value" to RESULT for the version
// strings (GetFileVersionInfoW, VerQueryValueW), the icon count
// (ExtractIconExW) and, for the first icon group, the number of its images
// and how many of them are found with the size the group gives.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
struct GroupHeader {
    WORD reserved, type, count;
};
#pragma pack(pop)

void line(FILE* out, const wchar_t* name, const wchar_t* value) {
    fwprintf(out, L"%ls=%ls\n", name, value);
}

void number(FILE* out, const wchar_t* name, unsigned long value) {
    wchar_t text[16];
    swprintf(text, 16, L"%lu", value);
    line(out, name, text);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    FILE* out = _wfopen(argv[2], L"w, ccs=UTF-16LE");
    if (out == nullptr) {
        return 2;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    void* info = malloc(size ? size : 1);
    if (size && GetFileVersionInfoW(argv[1], 0, size, info)) {
        const wchar_t* const keys[] = {L"ProductName", L"ProductVersion",
                                       L"FileVersion", L"FileDescription"};
        for (const wchar_t* key : keys) {
            wchar_t path[64];
            swprintf(path, 64, L"\\StringFileInfo\\040904B0\\%ls", key);
            wchar_t* value = nullptr;
            UINT length = 0;
            if (VerQueryValueW(info, path, reinterpret_cast<void**>(&value), &length)) {
                line(out, key, value);
            }
        }
    }
    number(out, L"icons", ExtractIconExW(argv[1], -1, nullptr, nullptr, 0));

    HMODULE module = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC group = module ? FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON)
                         : nullptr;
    if (group != nullptr) {
        auto* header = static_cast<const GroupHeader*>(
            LockResource(LoadResource(module, group)));
        auto* entries = reinterpret_cast<const GroupEntry*>(header + 1);
        unsigned long found = 0;
        for (WORD i = 0; i < header->count; ++i) {
            HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(entries[i].id), RT_ICON);
            if (image != nullptr && SizeofResource(module, image) == entries[i].bytes) {
                ++found;
            }
        }
        number(out, L"group_images", header->count);
        number(out, L"images_found", found);
    }
    fclose(out);
    return 0;
}
