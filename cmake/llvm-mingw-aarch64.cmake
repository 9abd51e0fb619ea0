# Cross build for Windows on ARM64 with Debian's LLVM. Debian has MinGW-w64
# headers (the same for every architecture) but no aarch64 MinGW libraries:
# nothing is linked but the import libraries that the build makes from the
# .def files in cmake/arm64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

set(triple aarch64-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=${triple} -I/usr/share/mingw-w64/include")
set(CMAKE_CXX_FLAGS_INIT "-nostdlibinc -isystem /usr/share/mingw-w64/include")
# The compile flags reach the link too, where -nostdlibinc means nothing.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib -Qunused-arguments")
# Not the usual list of Windows import libraries, which Debian lacks for
# ARM64: each program names the few it needs.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "")
# Without a C runtime to link, CMake's check of the compiler stops at objects.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
