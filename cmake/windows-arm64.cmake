# ARM64 with LLVM: the import libraries, made from .def files that list just
# what the programs import, and the Windows-side test programs. Their
# end-to-end tests run under emulation (make test-arm64).
set(import_libs)
foreach(dll kernel32 msvcrt user32)
    set(def ${CMAKE_CURRENT_LIST_DIR}/arm64/${dll}.def)
    set(lib ${CMAKE_BINARY_DIR}/lib/lib${dll}.a)
    add_custom_command(OUTPUT ${lib}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
        COMMAND llvm-dlltool-14 -m arm64 -d ${def} -l ${lib}
        DEPENDS ${def} VERBATIM)
    list(APPEND import_libs ${lib})
endforeach()
add_custom_target(import_libs DEPENDS ${import_libs})

# -fno-builtin: clang would otherwise turn loops and small writes into calls
# (memcpy, fputc) that no imported DLL is asked for. The headers' stderr
# calls __acrt_iob_func, which MinGW's libmsvcrt.a provides on x86-64 but
# msvcrt.dll does not export: index msvcrt's own table as that shim does.
set(arm64_compile -fno-builtin -D_STDSTREAM_DEFINED "-Dstdin=(&__iob_func()[0])"
    "-Dstdout=(&__iob_func()[1])" "-Dstderr=(&__iob_func()[2])")

function(link_imports name)
    add_dependencies(${name} import_libs)
    target_compile_options(${name} PRIVATE ${arm64_compile})
    target_link_libraries(${name} PRIVATE ${import_libs})
endfunction()
link_imports(Harbor-Lantern)
link_imports(Harbor-Lantern-windowed)
link_imports(Harbor-Lantern-tool)

function(windows_test_program name)
    add_executable(${name} ${ARGN} tests/e2e/wide_start.cpp)
    target_compile_options(${name} PRIVATE ${warnings} ${reproducible} -Os
        -fno-exceptions -fno-rtti -DUNICODE -D_UNICODE)
    target_link_options(${name} PRIVATE -s ${reproducible_link}
        -Wl,--entry,test_process_start -Wl,--subsystem,console)
    link_imports(${name})
endfunction()

windows_test_program(stand_in_python tests/e2e/stand_in_python.cpp)
windows_test_program(spawn tests/e2e/spawn.cpp)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(launcher Harbor-Lantern Harbor-Lantern-windowed Harbor-Lantern-tool)
    add_custom_command(TARGET ${launcher} POST_BUILD
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/set-pe-checksum.py
            $<TARGET_FILE:${launcher}> VERBATIM)
endforeach()
