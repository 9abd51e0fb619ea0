// Test set-up for Wine 8.0 only, never shipped: programs built with recent
// Rust (uv.exe) import ProcessPrng from bcryptprimitives.dll, which Wine 8.0
// lacks, and do not start without it. This one fills the buffer from
// RtlGenRandom (SystemFunction036 in advapi32), as Windows' own does from
// its random number generator.
#include <windows.h>

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

extern "C" __declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size) {
    while (size > 0) {
        const ULONG part = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
        if (!SystemFunction036(data, part)) {
            return FALSE;
        }
        data += part;
        size -= part;
    }
    return TRUE;
}
